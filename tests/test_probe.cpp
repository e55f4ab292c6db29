// The probe of one port: open failures, the presence test, the script frame, the outcome and
// the abandon hand-over.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "ProgramState.h"
#include "SimModem.h"
#include "common/Common.h"
#include "search/Probe.h"
#include "search/Search.h"
#include "search/SearchDlg.h"

namespace {

const uint32_t kRunning = 1234;

// Runs ModemThread on the calling thread for one port, as the sweep would start it.
class ProbeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_search.m_logFile.store(OsCreateFile(m_dir.File("Modem.txt").c_str()));
        ASSERT_GE(m_search.m_logFile.load(), 0);
    }
    void TearDown() override { OsCloseFile(m_search.m_logFile.exchange(-1)); }

    void Probe(unsigned comPort) {
        memset(m_search.m_modemName, 0, sizeof m_search.m_modemName);
        m_search.m_found.store(0);
        m_search.m_initCode.store(0);
        m_search.m_comPort.store(comPort);
        m_search.m_probeThreadId.store(kRunning);
        ProbeContext* probe = CreateProbeContext(&m_search, comPort);
        ASSERT_NE(probe, nullptr);
        EXPECT_EQ(ModemThread(probe), 0u);  // takes over the reference
    }
    std::string LogText() const { return ReadWholeFile(m_dir.File("Modem.txt")); }

    FakeClock m_clock{FakeClock::kDefaultStartMs, 0};
    SimModem m_sim;
    SimTempDir m_dir;
    CSearchDlg m_search;
};

TEST_F(ProbeTest, APortThatWillNotOpenIsLoggedWithItsReason) {
    const struct {
        unsigned port;
        unsigned long reason;
        const char* line;
    } cases[] = {
        {7, 2, "\r\nCOM7, return[2], no UART or modem."},
        {7, 3, "\r\nCOM7, return[3], no UART or modem."},
        {7, 15, "\r\nCOM7, return[15], no UART or modem."},
        {7, 20, "\r\nCOM7, return[20], no UART or modem."},
        {7, 4, "\r\nCOM7, return[4], too many things open."},
        {7, 5, "\r\nCOM7, return[5], in use by another program, access is denied."},
        {7, 7, "\r\nCOM7, return[7], The storage control blocks were destroyed."},
        {7, 8, "\r\nCOM7, return[8], memory shortage."},
        {7, 12, "\r\nCOM7, return[12], access code is invalid."},
        {7, 21, "\r\nCOM7, return[21], \r\nCOM7 not ready."},
        {7, 32, "\r\nCOM7, return[32], in use by another program, sharing violation."},
        {7, 1, "\r\nCOM7, return[1], unspecified error."},
        {7, 1167, "\r\nCOM7, return[1167], unspecified error."},
        {256, 2, "\r\nCOM256, return[2], no UART or modem."},
        {31, 4294967295UL, "\r\nCOM31, return[4294967295], unspecified error."},
    };
    for (const auto& c : cases) {
        const size_t before = LogText().size();
        m_sim.FailOpen(c.port, c.reason);
        const uint64_t start = OsNowMs();
        Probe(c.port);
        EXPECT_EQ(LogText().substr(before), std::string(c.line) + "\r\n") << c.reason;
        EXPECT_EQ(m_search.m_found.load(), 0);
        EXPECT_EQ(m_search.m_initCode.load(), 0);
        EXPECT_EQ(m_search.m_probeThreadId.load(), 0u);
        EXPECT_EQ(OsNowMs() - start, 0u);  // no wait on this path
    }
    EXPECT_EQ(m_sim.PortsOpened().size(), 0u);
}

TEST_F(ProbeTest, ASilentPortIsAUartWithoutModem) {
    m_sim.AddModem(3, SIM_SILENT_UART);
    const uint64_t start = OsNowMs();
    Probe(3);
    EXPECT_EQ(LogText(), "\r\nCOM3, UART but no suitable modem.\r\n");
    // The raw reset only: no purge, no OUT line, no flush.
    EXPECT_EQ(m_sim.Writes(3), std::vector<std::string>{"AT&FV1E0\r"});
    EXPECT_EQ(m_sim.CloseCount(3), 1);
    EXPECT_EQ(m_search.m_found.load(), 0);
    EXPECT_EQ(m_search.m_initCode.load(), 0);
    EXPECT_EQ(m_search.m_probeThreadId.load(), 0u);
    EXPECT_EQ(OsNowMs() - start, 20u + 2000u + 20u);
}

TEST_F(ProbeTest, AnAnswerWithoutOkIsNoModem) {
    m_sim.AddModem(3, SIM_GENERIC);
    m_sim.SetAnswer(3, "AT&FV1E0", "\r\nERROR\r\n");
    Probe(3);
    EXPECT_EQ(LogText(), "\r\nCOM3, UART but no suitable modem.\r\n");
    EXPECT_EQ(m_search.m_found.load(), 0);
    EXPECT_EQ(m_sim.Commands(3).size(), 1u);
}

struct ProfileCase {
    SimProfile profile;
    const char* name;
    uint16_t initCode;
    size_t commands;  // the presence test's reset and the script's steps
};

// Every row of the Init-code table, reached through a modem.
TEST_F(ProbeTest, EachModemProfileGetsItsInitCode) {
    const ProfileCase cases[] = {
        {SIM_ZYXEL, "ZyXEL Fax Modem 33600", 2, 46},
        {SIM_SMART_LINK, "Dunvarlotek Kestrafax SL", 0, 46},
        {SIM_CX93001, "Dunvarlotek Kestrafax CX", 1, 43},
        {SIM_ACCEPTS_H1_I0_R2, "V.34 Data Fax Voice Modem", 3, 46},
        {SIM_ACCEPTS_Q3_ONLY, "Serial Fax Modem 14400", 7, 46},
        {SIM_ACCEPTS_E4_E5, "Pocket Fax Modem 9600", 178, 46},
        {SIM_GENERIC, "Generic Data Fax Modem 33600", 5, 46},
        {SIM_ERROR_TO_SETTINGS, "Plain Data Modem 2400", 4, 46},
        {SIM_LOWER_CASE, "lowercase modem 56000", 7, 46},
        {SIM_ANSWERS_IN_PIECES, "Piecewise Modem 28800", 5, 46},
    };
    unsigned comPort = 1;
    for (const ProfileCase& c : cases) {
        m_sim.AddModem(comPort, c.profile);
        const size_t before = LogText().size();
        Probe(comPort);
        EXPECT_EQ(m_search.m_found.load(), 1) << c.name;
        EXPECT_EQ(m_search.m_initCode.load(), c.initCode) << c.name;
        EXPECT_STREQ(m_search.m_modemName, c.name);
        EXPECT_EQ(m_search.m_probeThreadId.load(), 0u);
        EXPECT_EQ(m_sim.OpenCount(comPort), 1);
        EXPECT_EQ(m_sim.CloseCount(comPort), 1);
        EXPECT_EQ(m_sim.Commands(comPort).size(), c.commands) << c.name;
        const std::string head = "\r\nCOM" + std::to_string(comPort) +
                                 " found modem - will fax test...\r\nOUT: AT&FV1E0\r\nIN : ";
        EXPECT_EQ(LogText().compare(before, head.size(), head), 0) << c.name;
        ++comPort;
    }
}

TEST_F(ProbeTest, AModemWithoutFinalResultsRunsEveryStepToItsLimit) {
    m_sim.AddModem(9, SIM_NO_FINAL_RESULT);
    const uint64_t start = OsNowMs();
    Probe(9);
    EXPECT_EQ(m_search.m_found.load(), 1);  // its "OK" needs no CR for the presence test
    EXPECT_EQ(m_sim.Commands(9).size(), 46u);
    // 20 + 2000 presence, 10 steps of 2000 and 35 of 1000 with their settle waits, the pause,
    // 20 before closing.
    EXPECT_EQ(OsNowMs() - start, 20u + 2000u + 45u * 20u + 10u * 2000u + 35u * 1000u + 500u + 20u);
    EXPECT_EQ(m_search.m_initCode.load(), 5);
}

TEST_F(ProbeTest, AStopDuringThePresenceTestStillCountsTheModem) {
    m_sim.AddModem(2, SIM_ZYXEL);
    m_sim.SetOnCommand([this](unsigned, const std::string&) { m_search.m_abort.store(1); });
    Probe(2);
    m_search.m_abort.store(0);
    EXPECT_EQ(LogText(), "\r\nCOM2 found modem - will fax test...\r\n");
    EXPECT_EQ(m_sim.Commands(2).size(), 1u);
    EXPECT_EQ(m_sim.CloseCount(2), 1);
    EXPECT_EQ(m_search.m_found.load(), 1);
    EXPECT_EQ(m_search.m_initCode.load(), 4);  // the name is still empty
    EXPECT_STREQ(m_search.m_modemName, "");
}

TEST_F(ProbeTest, APortThatVanishesMidScriptIsStillClosedAndPublished) {
    m_sim.AddModem(6, SIM_ACCEPTS_H1_I0_R2);
    m_sim.VanishAfter(6, "AT&E4");
    Probe(6);
    EXPECT_EQ(m_sim.CloseCount(6), 1);
    EXPECT_EQ(m_search.m_found.load(), 1);
    // &K3 and &K4 were accepted before the port went; nothing after.
    EXPECT_EQ(m_search.m_initCode.load(), 5);
    EXPECT_STREQ(m_search.m_modemName, "V.34 Data Fax Voice Modem");
    const std::string log = LogText();
    EXPECT_NE(log.find("OUT: AT&E4\r\nIN :\r\nOUT: AT&E5\r\nIN :\r\n"), std::string::npos);
    const std::string tail = "OUT: AT+FCLASS=3\r\nIN :\r\n";
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

TEST_F(ProbeTest, AnAbandonedProbeWritesNothingMoreClosesItsPortAndEnds) {
    m_sim.AddModem(5, SIM_ACCEPTS_H1_I0_R2);
    ProbeContext* probe = CreateProbeContext(&m_search, 5);
    ASSERT_NE(probe, nullptr);
    RetainProbeContext(probe);  // the sweep's reference
    m_search.m_comPort.store(5);
    m_search.m_probeThreadId.store(kRunning);
    snprintf(m_search.m_modemName, sizeof m_search.m_modemName, "untouched");
    m_sim.SetOnCommand([probe](unsigned, const std::string& command) {
        if (command == "ATI4") {
            EXPECT_EQ(AbandonProbe(probe), 1);
        }
    });
    ModemThread(probe);

    const std::string log = LogText();
    const std::string tail = "Available Modem: V.34 Data Fax Voice Modem\r\nOUT: ATI4\r\n";
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    EXPECT_EQ(m_sim.Commands(5).size(), 8u);  // the presence reset and steps 1 to 7
    EXPECT_EQ(m_sim.CloseCount(5), 1);
    EXPECT_EQ(m_search.m_found.load(), 0);
    EXPECT_EQ(m_search.m_initCode.load(), 0);
    EXPECT_STREQ(m_search.m_modemName, "untouched");
    EXPECT_EQ(m_search.m_probeThreadId.load(), kRunning);
    ReleaseProbeContext(probe);
}

TEST(ProbeContext, AProbeThatPublishedFirstCannotBeAbandoned) {
    CSearchDlg search;
    search.m_probeThreadId.store(kRunning);
    ProbeContext* probe = CreateProbeContext(&search, 8);
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(PublishProbeOutcome(probe, "Modem", 1, 3), 1);
    EXPECT_EQ(AbandonProbe(probe), 0);
    EXPECT_FALSE(IsProbeAbandoned(probe));
    EXPECT_EQ(search.m_probeThreadId.load(), 0u);
    EXPECT_STREQ(search.m_modemName, "Modem");
    EXPECT_EQ(search.m_initCode.load(), 3);
    ReleaseProbeContext(probe);

    // And the other way round: once abandoned, nothing is published.
    search.m_probeThreadId.store(kRunning);
    search.m_found.store(0);
    probe = CreateProbeContext(&search, 9);
    EXPECT_EQ(AbandonProbe(probe), 1);
    EXPECT_TRUE(IsProbeAbandoned(probe));
    EXPECT_EQ(PublishProbeOutcome(probe, "Other", 1, 7), 0);
    EXPECT_EQ(search.m_probeThreadId.load(), kRunning);
    EXPECT_EQ(search.m_found.load(), 0);
    EXPECT_STREQ(search.m_modemName, "Modem");
    ReleaseProbeContext(probe);
}

}  // namespace
