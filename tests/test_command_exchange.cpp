// The command exchange: SendCommand and ReadResponse against the serial double, on the
// controllable clock.
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

const unsigned kPort = 1;

// One open port of the double, and a window-less search state whose log goes to a file.
class ExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_sim.AddModem(kPort, SIM_SILENT_UART);
        unsigned long reason = 0;
        m_port.port = OsOpenPort(kPort, &reason);
        ASSERT_NE(m_port.port, nullptr);
        m_port.search = &m_search;
        m_port.probe = nullptr;
        m_search.m_logFile.store(OsCreateFile(m_dir.File("Modem.txt").c_str()));
        ASSERT_GE(m_search.m_logFile.load(), 0);
    }
    void TearDown() override {
        OsClosePort(m_port.port);
        OsCloseFile(m_search.m_logFile.exchange(-1));
        g_quit.store(0);
        g_clockChanges.store(0);
    }
    std::string LogText() const { return ReadWholeFile(m_dir.File("Modem.txt")); }

    FakeClock m_clock{FakeClock::kDefaultStartMs, 0};
    SimModem m_sim;
    SimTempDir m_dir;
    CSearchDlg m_search;
    ModemPort m_port;
};

TEST_F(ExchangeTest, SendCommandWritesOneLineWithOneCrAndLogsIt) {
    const std::string longCommand = "AT" + std::string(298, 'S');
    const struct {
        std::string command;
        std::string written;
        std::string logged;
    } cases[] = {
        {"ATI3", "ATI3\r", "OUT: ATI3\r\n"},
        {"AT&FV1E0\r", "AT&FV1E0\r", "OUT: AT&FV1E0\r\n"},  // its own CR, sent once
        {"AT&V  \r\n", "AT&V\r", "OUT: AT&V\r\n"},
        {"AT\\Q3", "AT\\Q3\r", "OUT: AT\\Q3\r\n"},
        // Cut to 253 characters before it is sent; the log line holds at most 254.
        {longCommand, longCommand.substr(0, 253) + "\r",
         "OUT: " + longCommand.substr(0, 249) + "\r\n"},
    };
    size_t logged = 0;
    size_t writes = 0;
    for (const auto& c : cases) {
        const uint64_t start = OsNowMs();
        SendCommand(&m_port, c.command.c_str(), 20);
        EXPECT_EQ(OsNowMs() - start, 20u);  // the settle wait
        const std::vector<std::string> sent = m_sim.Writes(kPort);
        ASSERT_EQ(sent.size(), writes + 1);
        EXPECT_EQ(sent.back(), c.written);
        writes = sent.size();
        const std::string log = LogText();
        EXPECT_EQ(log.substr(logged), c.logged);
        logged = log.size();
    }
}

TEST_F(ExchangeTest, SendCommandDropsInputLeftFromAnEarlierAnswer) {
    m_sim.QueueInput(kPort, {"\r\nstale answer\r\n\r\nOK\r\n"});
    m_sim.SetAnswer(kPort, "AT&V", "\r\nprofile\r\n\r\nOK\r\n");
    SendCommand(&m_port, "AT&V", 20);
    char buffer[2048];
    ReadResponse(&m_port, buffer, sizeof buffer, 1, 2000, 1);
    EXPECT_STREQ(buffer, "profile\r\nOK\r\n");
    EXPECT_EQ(LogText(), "OUT: AT&V\r\nIN : profile\r\nOK\r\n");
}

struct ReadCase {
    const char* name;
    std::vector<std::string> pieces;  // each arrives one poll after the one before
    int logAnswer;
    unsigned timeoutMs;
    int stopAtFinal;
    std::string buffer;
    uint64_t elapsed;
    std::string logged;
};

TEST_F(ExchangeTest, ReadResponseCollectsUntilAFinalResultOrTheDeadline) {
    const ReadCase cases[] = {
        {"OK at once", {"\r\nOK\r\n"}, 1, 2000, 1, "OK\r\n", 100, "IN : OK\r\n"},
        {"lower case ok", {"ok\r"}, 1, 2000, 1, "ok\r\n", 100, "IN : ok\r\n"},
        {"ERROR", {"\r\nERROR\r\n"}, 1, 1000, 1, "ERROR\r\n", 100, "IN : ERROR\r\n"},
        {"multi-line",
         {"\r\nCX93001 Fax\r\n\r\nOK\r\n"},
         1,
         2000,
         1,
         "CX93001 Fax\r\nOK\r\n",
         100,
         "IN : CX93001 Fax\r\nOK\r\n"},
        {"OK and LF only", {"\r\nOK\n"}, 1, 2000, 1, "OK\r\n", 2000, "IN : OK\r\n"},
        {"final split over reads",
         {"\r\nO", "K", "\r\n"},
         1,
         2000,
         1,
         "OK\r\n",
         300,
         "IN : OK\r\n"},
        {"nothing", {}, 1, 1000, 1, "", 1000, "IN :\r\n"},
        {"OK inside a word", {"\r\nLOOK\r\n"}, 1, 2000, 1, "LOOK\r\n", 100, "IN : LOOK\r\n"},
        {"without stopAtFinal", {"\r\nOK\r\n"}, 1, 1000, 0, "OK\r\n", 1000, "IN : OK\r\n"},
        {"not logged, not normalised", {"\r\nOK\r\n"}, 0, 2000, 1, "\r\nOK\r\n", 100, ""},
    };
    for (const ReadCase& c : cases) {
        const size_t logBefore = LogText().size();
        if (!c.pieces.empty())
            m_sim.QueueInput(kPort, c.pieces);
        char buffer[2048];
        memset(buffer, 'z', sizeof buffer);
        const uint64_t start = OsNowMs();
        EXPECT_EQ(
            ReadResponse(&m_port, buffer, sizeof buffer, c.logAnswer, c.timeoutMs, c.stopAtFinal),
            buffer);
        EXPECT_EQ(std::string(buffer), c.buffer) << c.name;
        EXPECT_EQ(OsNowMs() - start, c.elapsed) << c.name;
        EXPECT_EQ(LogText().substr(logBefore), c.logged) << c.name;
        OsPurgeInput(m_port.port);
        char drain[64];
        while (OsCountInput(m_port.port) > 0)
            OsReadPort(m_port.port, drain, sizeof drain);
    }
}

TEST_F(ExchangeTest, APendingClockChangeEndsTheCollectionInTheFirstPoll) {
    g_clockChanges.store(10);
    char buffer[2048];
    const uint64_t start = OsNowMs();
    ReadResponse(&m_port, buffer, sizeof buffer, 1, 2000, 1);
    // One change taken inside the poll's wait, one by the collection itself.
    EXPECT_EQ(g_clockChanges.load(), 8);
    EXPECT_EQ(m_sim.Polls(kPort), 1);
    EXPECT_EQ(OsNowMs() - start, 1u);
    EXPECT_EQ(LogText(), "IN :\r\n");
}

TEST_F(ExchangeTest, WithTheQuitFlagSetThePollsComeFasterUntilTheDeadline) {
    g_quit.store(1);
    char buffer[2048];
    const uint64_t start = OsNowMs();
    ReadResponse(&m_port, buffer, sizeof buffer, 0, 1000, 1);
    EXPECT_EQ(OsNowMs() - start, 1000u);
    EXPECT_EQ(m_sim.Polls(kPort), 1000);
}

TEST_F(ExchangeTest, MoreThan511WaitingBytesAreReadOverSeveralPolls) {
    const std::string text(1200, 'x');
    m_sim.QueueInput(kPort, {text + "\r\nOK\r\n"});
    static char buffer[2048];
    const uint64_t start = OsNowMs();
    ReadResponse(&m_port, buffer, sizeof buffer, 0, 2000, 1);
    EXPECT_EQ(std::string(buffer), text + "\r\nOK\r\n");
    EXPECT_EQ(m_sim.Polls(kPort), 3);  // 511, 511, then the remaining 184
    EXPECT_EQ(OsNowMs() - start, 300u);
}

TEST_F(ExchangeTest, AFullBufferDropsLaterDataAndMissesTheFinalResult) {
    m_sim.QueueInput(kPort, {"0123456789ABCDEFGHIJ", "\r\nOK\r\n"});
    char buffer[32];
    memset(buffer, 'z', sizeof buffer);
    const uint64_t start = OsNowMs();
    ReadResponse(&m_port, buffer, 16, 0, 1000, 1);
    EXPECT_STREQ(buffer, "0123456789ABCDE");
    EXPECT_EQ(OsNowMs() - start, 1000u);
    for (size_t i = 16; i < sizeof buffer; ++i)
        EXPECT_EQ(buffer[i], 'z') << i;
}

TEST_F(ExchangeTest, AZeroByteEndsItsChunksText) {
    m_sim.QueueInput(kPort, {std::string("AB\0CD\r\nOK\r\n", 11)});
    char buffer[64];
    ReadResponse(&m_port, buffer, sizeof buffer, 0, 500, 1);
    EXPECT_STREQ(buffer, "AB");
}

TEST_F(ExchangeTest, NormalisingNeverRunsPastASmallBuffer) {
    // Lone CRs grow into CR LF pairs while normalised.
    m_sim.QueueInput(kPort, {"a\rb\rc\rd\r"});
    char buffer[24];
    memset(buffer, 'z', sizeof buffer);
    ReadResponse(&m_port, buffer, 8, 1, 300, 0);
    EXPECT_STREQ(buffer, "a\r\nb\r\nc");
    for (size_t i = 8; i < sizeof buffer; ++i)
        EXPECT_EQ(buffer[i], 'z') << i;
    EXPECT_EQ(LogText(), "IN : a\r\nb\r\nc\r\n");
}

TEST_F(ExchangeTest, AnAbandonedProbeStopsPollingAndLogsNothing) {
    ProbeContext* probe = CreateProbeContext(&m_search, kPort);
    ASSERT_NE(probe, nullptr);
    m_search.m_probeThreadId.store(1);
    ASSERT_EQ(AbandonProbe(probe), 1);
    m_port.probe = probe;
    char buffer[2048];
    const uint64_t start = OsNowMs();
    ReadResponse(&m_port, buffer, sizeof buffer, 1, 2000, 1);
    SendCommand(&m_port, "ATI3", 20);
    EXPECT_EQ(OsNowMs() - start, 120u);
    EXPECT_EQ(LogText(), "");
    m_port.probe = nullptr;
    ReleaseProbeContext(probe);
}

}  // namespace
