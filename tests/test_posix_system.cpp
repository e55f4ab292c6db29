// The system description inputs off Windows, and handing a document to the viewer.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "os/Os.h"
#include "os/OsBackEnd.h"
#include "os/posix/PosixSeams.h"

namespace {

TEST(PosixSystemInputs, KernelReleaseGivesMajorAndMinor) {
    const struct {
        const char* release;
        unsigned long major;
        unsigned long minor;
    } kCases[] = {
        {"6.1.0-18-amd64", 6, 1},
        {"6.18.44-fc-v1607", 6, 18},
        {"5.15.0-91-generic", 5, 15},
        {"3.10.0-1160.el7.x86_64", 3, 10},
        {"6.8-rc3", 6, 8},
        {"10.0", 10, 0},
        {"4", 4, 0},
        {"4.", 4, 0},
        {"", 0, 0},
        {"unknown", 0, 0},
        {".5", 0, 0},
        {"99999999999.1", 4294967295UL, 1},
        {"4294967295.4294967296", 4294967295UL, 4294967295UL},
    };
    for (const auto& c : kCases) {
        unsigned long major = 77;
        unsigned long minor = 77;
        PosixParseKernelRelease(c.release, &major, &minor);
        EXPECT_EQ(major, c.major) << c.release;
        EXPECT_EQ(minor, c.minor) << c.release;
    }
    unsigned long major = 77;
    unsigned long minor = 77;
    PosixParseKernelRelease(nullptr, &major, &minor);
    EXPECT_EQ(major, 0u);
    EXPECT_EQ(minor, 0u);
}

TEST(PosixSystemInputs, MachineTypeGivesBitnessAndArchitecture) {
    const struct {
        const char* machine;
        bool is64;
        const char* architecture;
    } kCases[] = {
        {"x86_64", true, "AMD64"},    {"amd64", true, "AMD64"},
        {"aarch64", true, "ARM64"},   {"arm64", true, "ARM64"},
        {"i386", false, "x86"},       {"i486", false, "x86"},
        {"i586", false, "x86"},       {"i686", false, "x86"},
        {"ia64", true, "IA64"},       {"armv7l", false, "armv7l"},
        {"ppc64le", true, "ppc64le"}, {"ppc64", true, "ppc64"},
        {"ppc", false, "ppc"},        {"s390x", true, "s390x"},
        {"s390", false, "s390"},      {"riscv64", true, "riscv64"},
        {"mips64", true, "mips64"},   {"mips", false, "mips"},
        {"sparc64", true, "sparc64"}, {"loongarch64", true, "loongarch64"},
        {"alpha", true, "alpha"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(PosixIsMachine64Bit(c.machine), c.is64) << c.machine;
        char architecture[32] = "";
        EXPECT_TRUE(PosixArchitectureOfMachine(c.machine, architecture, sizeof architecture));
        EXPECT_STREQ(architecture, c.architecture);
    }
}

TEST(PosixSystemInputs, AnArchitectureThatDoesNotFitIsNone) {
    const std::string fits(31, 'm');
    const std::string tooLong(32, 'm');
    char architecture[32];
    EXPECT_TRUE(PosixArchitectureOfMachine(fits.c_str(), architecture, sizeof architecture));
    EXPECT_EQ(std::string(architecture), fits);
    EXPECT_FALSE(PosixArchitectureOfMachine(tooLong.c_str(), architecture, sizeof architecture));
    EXPECT_STREQ(architecture, "");
    char small[5];  // "AMD64" needs 6 bytes
    EXPECT_FALSE(PosixArchitectureOfMachine("x86_64", small, sizeof small));
    EXPECT_FALSE(PosixArchitectureOfMachine("", architecture, sizeof architecture));
    EXPECT_FALSE(PosixArchitectureOfMachine(nullptr, architecture, sizeof architecture));
    EXPECT_FALSE(PosixArchitectureOfMachine("x86_64", architecture, 0));
}

TEST(PosixSystemInputs, ThisMachineIsDescribedFromItsKernelAndMachineType) {
    struct utsname names;
    ASSERT_EQ(uname(&names), 0);
    unsigned long major = 0;
    unsigned long minor = 0;
    PosixParseKernelRelease(names.release, &major, &minor);

    OsVersion version;
    memset(&version, 0xff, sizeof version);
    OsDefaultSystemApi()->GetVersion(&version);
    EXPECT_EQ(version.platformId, 10u);
    EXPECT_GT(version.platformId, 3u) << "must not pass for one of Windows' platforms";
    EXPECT_EQ(version.major, major);
    EXPECT_EQ(version.minor, minor);
    EXPECT_GT(version.major, 0u) << names.release;

    EXPECT_EQ(OsDefaultSystemApi()->Is64BitSystem(), PosixIsMachine64Bit(names.machine));
    char expected[32] = "";
    char architecture[32] = "";
    ASSERT_TRUE(PosixArchitectureOfMachine(names.machine, expected, sizeof expected));
    EXPECT_TRUE(OsDefaultSystemApi()->ReadProcessorArchitecture(architecture, sizeof architecture));
    EXPECT_STREQ(architecture, expected);
}

// ---------------------------------------------------------------------------------------------
// The viewer: a stand-in xdg-open on a PATH of the test's own records how it was started.

class OpenDocumentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char root[] = "/tmp/posix-open.XXXXXX";
        ASSERT_NE(mkdtemp(root), nullptr);
        m_root = root;
        m_bin = m_root + "/bin";
        m_work = m_root + "/work folder";
        ASSERT_EQ(mkdir(m_bin.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(m_work.c_str(), 0755), 0);
        const char* path = getenv("PATH");
        m_savedPath = path != nullptr ? path : "";
        ASSERT_EQ(setenv("PATH", m_bin.c_str(), 1), 0);
    }
    void TearDown() override {
        setenv("PATH", m_savedPath.c_str(), 1);
        std::string command = "rm -rf '" + m_root + "'";
        if (system(command.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << m_root;
    }

    void InstallViewer() {
        const std::string script = m_bin + "/xdg-open";
        const std::string record = m_root + "/record";
        FILE* file = fopen(script.c_str(), "w");
        ASSERT_NE(file, nullptr);
        fprintf(file,
                "#!/bin/sh\n"
                "PATH=/usr/bin:/bin\n"
                "in=$(readlink /proc/$$/fd/0)\n"
                "out=$(readlink /proc/$$/fd/1)\n"
                "err=$(readlink /proc/$$/fd/2)\n"
                "{\n"
                "  echo \"argc=$#\"\n"
                "  for a in \"$@\"; do printf 'arg=%%s\\n' \"$a\"; done\n"
                "  echo \"cwd=$(pwd)\"\n"
                "  echo \"in=$in\"; echo \"out=$out\"; echo \"err=$err\"\n"
                "  echo \"pid=$$\"\n"
                "  echo \"stat=$(cat /proc/$$/stat)\"\n"
                "} > '%s.tmp'\n"
                "mv '%s.tmp' '%s'\n",
                record.c_str(), record.c_str(), record.c_str());
        fclose(file);
        ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    }

    // The record the viewer wrote, waiting for it five seconds at most.
    std::string WaitForRecord() {
        const std::string record = m_root + "/record";
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < until) {
            FILE* file = fopen(record.c_str(), "r");
            if (file != nullptr) {
                std::string text;
                char chunk[512];
                size_t n;
                while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
                    text.append(chunk, n);
                fclose(file);
                return text;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return "";
    }

    // The value of the first "name=value" line of the record.
    static std::string Field(const std::string& record, const std::string& name) {
        const std::string key = name + "=";
        size_t start = 0;
        while (start < record.size()) {
            size_t end = record.find('\n', start);
            if (end == std::string::npos)
                end = record.size();
            if (record.compare(start, key.size(), key) == 0) {
                return record.substr(start + key.size(), end - start - key.size());
            }
            start = end + 1;
        }
        return "<missing>";
    }

    // The process is gone entirely: ended and collected, no zombie left (five seconds at most).
    static bool Reaped(long pid) {
        const std::string proc = "/proc/" + std::to_string(pid);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        struct stat status;
        while (stat(proc.c_str(), &status) == 0) {
            if (std::chrono::steady_clock::now() >= until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    std::string m_root;
    std::string m_bin;
    std::string m_work;
    std::string m_savedPath;
};

TEST_F(OpenDocumentTest, TheViewerGetsThePathAsItsOneArgumentDetachedFromUs) {
    InstallViewer();
    const std::string document = m_work + "/Modem.txt; touch \"$HOME/x\" `id` $(id) *";
    OsOpenDocument(document.c_str(), m_work.c_str());

    const std::string record = WaitForRecord();
    ASSERT_FALSE(record.empty()) << "the viewer was not started";
    EXPECT_EQ(Field(record, "argc"), "1");
    EXPECT_EQ(Field(record, "arg"), document);
    EXPECT_EQ(Field(record, "cwd"), m_work);
    EXPECT_EQ(Field(record, "in"), "/dev/null");
    EXPECT_EQ(Field(record, "out"), "/dev/null");
    EXPECT_EQ(Field(record, "err"), "/dev/null");

    const long pid = atol(Field(record, "pid").c_str());
    ASSERT_GT(pid, 0);
    // /proc/<pid>/stat: "pid (comm) state ppid pgrp session ..."
    const std::string stat = Field(record, "stat");
    const size_t close = stat.rfind(')');
    ASSERT_NE(close, std::string::npos);
    char state = 0;
    long parent = 0, group = 0, session = 0;
    ASSERT_EQ(
        sscanf(stat.c_str() + close + 1, " %c %ld %ld %ld", &state, &parent, &group, &session), 4);
    EXPECT_EQ(session, pid) << "the viewer is not in a session of its own";
    EXPECT_NE(session, static_cast<long>(getsid(0)));

    EXPECT_TRUE(Reaped(pid)) << "the ended viewer was left as a zombie";
}

TEST_F(OpenDocumentTest, NothingHappensWithoutAViewer) {
    OsOpenDocument((m_work + "/Modem.txt").c_str(), m_work.c_str());
    OsOpenDocument("", m_work.c_str());
    OsOpenDocument(nullptr, nullptr);
    struct stat status;
    EXPECT_NE(stat((m_root + "/record").c_str(), &status), 0);
}

}  // namespace
