// The system description: the version decision table, the bitness and the architecture.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "FakeSystem.h"
#include "sysinfo/SystemDescription.h"

namespace {

std::string VersionText(unsigned long platformId, unsigned long major, unsigned long minor) {
    char text[128];
    memset(text, '#', sizeof text);
    ComposeVersionText(text, sizeof text, platformId, major, minor);
    return text;
}

TEST(VersionTextTest, DecisionTable) {
    struct Case {
        unsigned long platformId, major, minor;
        const char* text;
    };
    const Case cases[] = {
        // Platform 0: the major number is not looked at.
        {0, 0, 1, "Windows 3.1"},
        {0, 7, 1, "Windows 3.1"},
        {0, 3, 11, "Windows 3.11"},
        {0, 9, 5, "Windows Unknown(1) PF0 9.5"},
        {0, 0, 0, "Windows Unknown(1) PF0 0.0"},
        {0, 3, 10, "Windows Unknown(1) PF0 3.10"},
        // Platform 1: only major 4 has names.
        {1, 4, 0, "Windows 95"},
        {1, 4, 10, "Windows 98"},
        {1, 4, 90, "Windows ME"},
        {1, 4, 3, "Windows Unknown(2) PF1 4.3"},
        {1, 5, 0, "Windows Unknown(2) PF1 5.0"},
        {1, 3, 10, "Windows Unknown(2) PF1 3.10"},
        // Platform 2: NT 3.x takes any minor number.
        {2, 3, 51, "Windows NT 3.51"},
        {2, 3, 0, "Windows NT 3.0"},
        {2, 3, 4294967295UL, "Windows NT 3.4294967295"},
        {2, 4, 0, "Windows NT 4.0"},
        {2, 4, 1, "Windows Unknown(3) PF2 4.1"},
        {2, 5, 0, "Windows 2000"},
        {2, 5, 1, "Windows XP"},
        {2, 5, 2, "Windows Server 2003 family"},
        {2, 5, 3, "Windows Unknown(3) PF2 5.3"},
        {2, 6, 0, "Windows Vista"},
        {2, 6, 1, "Windows 7 or 2008 R2"},
        {2, 6, 2, "Windows 8"},
        {2, 6, 3, "Windows 8.1"},
        {2, 6, 4, "Windows Unknown(3) PF2 6.4"},
        {2, 10, 0, "Windows 10"},
        {2, 10, 1, "Windows Unknown(3) PF2 10.1"},
        {2, 11, 0, "Windows Unknown(3) PF2 11.0"},
        {2, 7, 0, "Windows Unknown(3) PF2 7.0"},
        {2, 0, 0, "Windows Unknown(3) PF2 0.0"},
        // Any other platform.
        {3, 1, 0, "Windows Unknown(4) PF3 1.0"},
        {3, 4, 0, "Windows Unknown(4) PF3 4.0"},
        {4294967295UL, 4294967295UL, 4294967295UL,
         "Windows Unknown(4) PF4294967295 4294967295.4294967295"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.platformId << " " << c.major << "." << c.minor);
        EXPECT_EQ(VersionText(c.platformId, c.major, c.minor), c.text);
    }
}

TEST(VersionTextTest, StaysWithinTheBuffer) {
    char text[12];
    memset(text, '#', sizeof text);
    ComposeVersionText(text, 10, 2, 6, 1);
    EXPECT_STREQ(text, "Windows 7");
    EXPECT_EQ(text[10], '#');
    ComposeVersionText(text, 10, 9, 9, 9);
    EXPECT_STREQ(text, "Windows U");
    EXPECT_EQ(text[10], '#');
}

class SystemDescriptionTest : public testing::Test {
  protected:
    void SetUp() override { ResetDescription(); }
    void TearDown() override { ResetDescription(); }
    static void ResetDescription() {
        memset(g_osDescription, 0, sizeof g_osDescription);
        memset(g_cpuArch, 0, sizeof g_cpuArch);
        snprintf(g_cpuArch, sizeof g_cpuArch, "x86");
        g_osPlatformId = 0;
        g_osMajorVersion = 0;
        g_osMinorVersion = 0;
    }

    FakeSystem m_system;
};

TEST_F(SystemDescriptionTest, DescribesVersionBitnessAndArchitecture) {
    enum ArchSetup { VALUE, NO_KEY, SCRIBBLE_THEN_FAIL, FULL_BUFFER };
    struct Case {
        const char* name;
        unsigned long platformId, major, minor;
        bool is64;
        ArchSetup setup;
        std::string archValue;
        std::string description;
    };
    const std::string arch31(31, 'Q');
    const std::string arch32(32, 'Q');
    const Case cases[] = {
        {"XP 32-bit", 2, 5, 1, false, VALUE, "ARM64", "Windows XP, 32bit, CPU: x86"},
        {"7 on AMD64", 2, 6, 1, true, VALUE, "AMD64", "Windows 7 or 2008 R2, 64bit, CPU: AMD64"},
        {"8, no key", 2, 6, 2, true, NO_KEY, "", "Windows 8, 64bit, CPU: AMD64"},
        {"ARM64", 2, 10, 0, true, VALUE, "ARM64", "Windows 10, 64bit, CPU: ARM64"},
        {"31 characters", 2, 10, 0, true, VALUE, arch31, "Windows 10, 64bit, CPU: " + arch31},
        {"32 characters need 33 bytes", 2, 10, 0, true, VALUE, arch32,
         "Windows 10, 64bit, CPU: AMD64"},
        {"empty value", 2, 10, 0, true, VALUE, "", "Windows 10, 64bit, CPU: "},
        {"failed query leaves junk", 2, 6, 3, true, SCRIBBLE_THEN_FAIL, "IA64-PARTIAL",
         "Windows 8.1, 64bit, CPU: AMD64"},
        {"value fills the buffer", 2, 6, 0, true, FULL_BUFFER, "",
         "Windows Vista, 64bit, CPU: " + arch31},
        {"version query fails", 0, 0, 0, false, VALUE, "",
         "Windows Unknown(1) PF0 0.0, 32bit, CPU: x86"},
        {"ME", 1, 4, 90, false, VALUE, "", "Windows ME, 32bit, CPU: x86"},
        {"NT 3.51", 2, 3, 51, false, VALUE, "", "Windows NT 3.51, 32bit, CPU: x86"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetDescription();
        FakeSystem system;  // fresh counts for each case
        system.SetVersion(c.platformId, c.major, c.minor);
        system.Set64Bit(c.is64);
        switch (c.setup) {
            case VALUE:
                system.SetArchitecture(c.archValue);
                break;
            case NO_KEY:
                system.FailArchitecture();
                break;
            case SCRIBBLE_THEN_FAIL:
                system.FailArchitectureAfterWriting(c.archValue);
                break;
            case FULL_BUFFER:
                system.FillArchitectureWithoutTerminator('Q');
                break;
        }
        DescribeWindows();
        EXPECT_EQ(g_osDescription, c.description);
        EXPECT_EQ(g_osPlatformId, c.platformId);
        EXPECT_EQ(g_osMajorVersion, c.major);
        EXPECT_EQ(g_osMinorVersion, c.minor);
        // The architecture is asked for only on 64-bit systems, into a 32-byte buffer.
        EXPECT_EQ(system.ArchitectureQueries(), c.is64 ? 1 : 0);
        if (c.is64) {
            EXPECT_EQ(system.LastArchitectureBufferSize(), 32u);
        }
        EXPECT_EQ(system.VersionQueries(), 1);
    }
}

TEST_F(SystemDescriptionTest, BitnessFollowsTheSystem) {
    m_system.Set64Bit(false);
    EXPECT_FALSE(ProbeWow64());
    EXPECT_EQ(WindowsBitness(), 32);
    m_system.Set64Bit(true);
    EXPECT_TRUE(ProbeWow64());
    EXPECT_EQ(WindowsBitness(), 64);
}

TEST_F(SystemDescriptionTest, ArchitectureIsReplacedWholeNotMerged) {
    // A long value first, then a short one: nothing of the long one may remain behind it.
    m_system.SetArchitecture(std::string(31, 'L'));
    ReadProcessorArchitecture();
    m_system.SetArchitecture("ARM64");
    ReadProcessorArchitecture();
    EXPECT_STREQ(g_cpuArch, "ARM64");
    for (size_t i = strlen("ARM64"); i < sizeof g_cpuArch; ++i)
        EXPECT_EQ(g_cpuArch[i], '\0');
}

TEST_F(SystemDescriptionTest, LongestDescriptionFitsIn127Characters) {
    m_system.SetVersion(4294967295UL, 4294967295UL, 4294967295UL);
    m_system.Set64Bit(true);
    const std::string arch(31, 'W');
    m_system.SetArchitecture(arch);
    DescribeWindows();
    const std::string expected =
        "Windows Unknown(4) PF4294967295 4294967295.4294967295, 64bit, CPU: " + arch;
    EXPECT_EQ(g_osDescription, expected);
    EXPECT_LE(strlen(g_osDescription), 127u);
}

TEST_F(SystemDescriptionTest, VersionNumbersAreKeptTo32Bits) {
    // Numbers wider than 32 bits (possible where unsigned long is 64 bits) are cut, so the
    // description still fits.
    m_system.SetVersion(ULONG_MAX, ULONG_MAX, ULONG_MAX);
    m_system.Set64Bit(true);
    m_system.SetArchitecture(std::string(31, 'W'));
    DescribeWindows();
    EXPECT_EQ(g_osPlatformId, 4294967295UL);
    EXPECT_EQ(g_osMajorVersion, 4294967295UL);
    EXPECT_EQ(g_osMinorVersion, 4294967295UL);
    EXPECT_LE(strlen(g_osDescription), 127u);
    EXPECT_EQ(std::string(g_osDescription).substr(0, 32), "Windows Unknown(4) PF4294967295 ");
}

}  // namespace
