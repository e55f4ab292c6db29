// The interrogation script (steps, naming, model test, stop checks) and the classification.
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

const unsigned kPort = 4;

const std::vector<std::string> kFullScript = {
    "AT&FV1E0",      "AT&V",     "ATI0",        "ATI1",     "ATI2",        "ATI3",
    "ATI4",          "ATI5",     "ATI6",        "ATI7",     "AT&FV1E0",    "AT+FCLASS=?",
    "AT&FV1E0",      "AT&K3",    "AT&K4",       "AT&E4",    "AT&E5",       "AT\\Q1",
    "AT\\Q2",        "AT\\Q3",   "AT\\Q4",      "AT&FV1E0", "AT&H0",       "AT&H1",
    "AT&H2",         "AT&H3",    "AT&I0",       "AT&I1",    "AT&I2",       "AT&I3",
    "AT&I4",         "AT&I5",    "AT&R0",       "AT&R1",    "AT&R2",       "AT&FV1E0",
    "AT+FCLASS=0",   "AT&FV1E0", "AT+FCLASS=1", "AT&FV1E0", "AT+FCLASS=2", "AT&FV1E0",
    "AT+FCLASS=2.0", "AT&FV1E0", "AT+FCLASS=3",
};

std::vector<std::string> WithoutSteps33To35() {
    std::vector<std::string> script = kFullScript;
    script.erase(script.begin() + 32, script.begin() + 35);
    return script;
}

// The script on one open port of the double, for a window-less search state logging to a file.
class ScriptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_search.m_logFile.store(OsCreateFile(m_dir.File("Modem.txt").c_str()));
        ASSERT_GE(m_search.m_logFile.load(), 0);
        ResetAnswerFlags(&m_flags);
        memset(m_name, 0, sizeof m_name);
    }
    void TearDown() override {
        OsCloseFile(m_search.m_logFile.exchange(-1));
        m_search.m_abort.store(0);
    }
    void Run(SimProfile profile) {
        m_sim.AddModem(kPort, profile);
        unsigned long reason = 0;
        ModemPort port = {OsOpenPort(kPort, &reason), &m_search, nullptr};
        ASSERT_NE(port.port, nullptr);
        char buffer[2048];
        RunModemScript(&port, buffer, &m_flags, m_name);
        OsClosePort(port.port);
    }
    std::string LogText() const { return ReadWholeFile(m_dir.File("Modem.txt")); }

    FakeClock m_clock{FakeClock::kDefaultStartMs, 0};
    SimModem m_sim;
    SimTempDir m_dir;
    CSearchDlg m_search;
    AnswerFlags m_flags;
    char m_name[128];
};

TEST_F(ScriptTest, RunsTheFortyFiveStepsInOrderAndLogsEachExchange) {
    Run(SIM_GENERIC);
    EXPECT_EQ(m_sim.Commands(kPort), kFullScript);
    EXPECT_STREQ(m_name, "Generic Data Fax Modem 33600");

    const std::string log = LogText();
    const std::string identity =
        "OUT: ATI2\r\nIN : OK\r\n"
        "OUT: ATI3\r\nIN : Generic Data Fax Modem 33600\r\nOK\r\n"
        "Available Modem: Generic Data Fax Modem 33600\r\n"
        "OUT: ATI4\r\nIN : Data/Fax Class 1 and 2\r\nOK\r\n";
    EXPECT_NE(log.find(identity), std::string::npos);
    const std::string head = "OUT: AT&FV1E0\r\nIN : OK\r\nOUT: AT&V\r\n";
    EXPECT_EQ(log.compare(0, head.size(), head), 0);
    const std::string tail = "OUT: AT&FV1E0\r\nIN : OK\r\nOUT: AT+FCLASS=3\r\nIN : ERROR\r\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    // A multi-line answer goes on over the following lines.
    EXPECT_NE(log.find("OUT: AT&V\r\nIN : ACTIVE PROFILE:\r\nB0 E0 L1"), std::string::npos);
}

TEST_F(ScriptTest, StepsOneToTenWaitTwoSecondsForAnAnswerTheRestOne) {
    Run(SIM_SILENT_UART);
    const std::vector<uint64_t> times = m_sim.CommandTimes(kPort);
    ASSERT_EQ(times.size(), 45u);
    // Each command follows the previous one after its answer limit and the 20 ms settle
    // wait; after step 5 comes the 500 ms pause.
    for (size_t step = 2; step <= 45; ++step) {
        uint64_t gap = (step - 1 <= 10 ? 2000 : 1000) + 20;
        if (step == 6)
            gap += 500;
        EXPECT_EQ(times[step - 1] - times[step - 2], gap) << "before step " << step;
    }
    EXPECT_STREQ(m_name, "");
    EXPECT_NE(LogText().find("OUT: ATI3\r\nIN :\r\nAvailable Modem:\r\nOUT: ATI4"),
              std::string::npos);
}

TEST_F(ScriptTest, PausesHalfASecondAfterStepFive) {
    Run(SIM_GENERIC);
    const std::vector<uint64_t> times = m_sim.CommandTimes(kPort);
    ASSERT_EQ(times.size(), 45u);
    EXPECT_EQ(times[5] - times[4], 100u + 500u + 20u);  // ATI2 answered in the first poll
    EXPECT_EQ(times[6] - times[5], 100u + 20u);
}

TEST_F(ScriptTest, TheCxModelSkipsStepsThirtyThreeToThirtyFive) {
    Run(SIM_CX93001);
    EXPECT_EQ(m_sim.Commands(kPort), WithoutSteps33To35());
    EXPECT_STREQ(m_name, "Dunvarlotek Kestrafax CX");
    EXPECT_NE(LogText().find("Available Modem: Dunvarlotek Kestrafax CX\r\n"), std::string::npos);
    EXPECT_EQ(ClassifyModem(m_name, &m_flags), 1);
}

struct NamingCase {
    const char* name;
    std::string answer;  // the answer to "ATI3"
    std::string modemName;
    bool skipsR;  // steps 33 to 35 are left out
};

TEST(ScriptNaming, TakesTheFirstLineAndReplacesModelMarkers) {
    const NamingCase cases[] = {
        {"CX marker", "\r\nCX93001 Data Fax\r\n\r\nOK\r\n", "Dunvarlotek Kestrafax CX", true},
        {"cx in lower case", "\r\ncx93001 rev b\r\n\r\nOK\r\n", "cx93001 rev b", false},
        {"SMART LINK", "\r\nSMART LINK 56K\r\n\r\nOK\r\n", "Dunvarlotek Kestrafax SL", false},
        {"both markers", "\r\nSmart Link CX93001\r\n\r\nOK\r\n", "Dunvarlotek Kestrafax CX", true},
        {"ERROR", "\r\nERROR\r\n", "ERROR", false},
        {"second line ignored", "\r\nFirst\r\nSecond\r\n\r\nOK\r\n", "First", false},
        {"200 characters", "\r\n" + std::string(200, 'N') + "\r\n\r\nOK\r\n", std::string(127, 'N'),
         false},
        // The skip test ignores case; the classification does not.
        {"model name in lower case", "\r\ndunvarlotek kestrafax cx\r\n\r\nOK\r\n",
         "dunvarlotek kestrafax cx", true},
    };
    for (const NamingCase& c : cases) {
        FakeClock clock(FakeClock::kDefaultStartMs, 0);
        SimModem sim;
        SimTempDir dir;
        CSearchDlg search;
        search.m_logFile.store(OsCreateFile(dir.File("Modem.txt").c_str()));
        sim.AddModem(kPort, SIM_GENERIC);
        sim.SetAnswer(kPort, "ATI3", c.answer);
        unsigned long reason = 0;
        ModemPort port = {OsOpenPort(kPort, &reason), &search, nullptr};
        AnswerFlags flags;
        ResetAnswerFlags(&flags);
        char name[128];
        memset(name, 0, sizeof name);
        char buffer[2048];
        RunModemScript(&port, buffer, &flags, name);
        OsClosePort(port.port);
        OsCloseFile(search.m_logFile.exchange(-1));

        EXPECT_EQ(std::string(name), c.modemName) << c.name;
        EXPECT_EQ(sim.Commands(kPort), c.skipsR ? WithoutSteps33To35() : kFullScript) << c.name;
        const std::string available = "\r\nAvailable Modem: " + c.modemName + "\r\nOUT: ATI4";
        EXPECT_NE(ReadWholeFile(dir.File("Modem.txt")).find(available), std::string::npos)
            << c.name;
        if (c.modemName == "dunvarlotek kestrafax cx") {
            EXPECT_EQ(ClassifyModem(name, &flags), 5);  // the modem accepted &K3 and &K4
        }
    }
}

TEST_F(ScriptTest, AStopDuringStepTwentyLetsItFinishAndSendsNothingMore) {
    m_sim.SetOnCommand([this](unsigned, const std::string& command) {
        if (command == "AT\\Q3")
            m_search.m_abort.store(1);
    });
    Run(SIM_ACCEPTS_H1_I0_R2);
    const std::vector<std::string> expected(kFullScript.begin(), kFullScript.begin() + 20);
    EXPECT_EQ(m_sim.Commands(kPort), expected);
    const std::string log = LogText();
    const std::string tail = "OUT: AT\\Q3\r\nIN : OK\r\n";
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    EXPECT_EQ(m_flags.okQ3, 0);
    EXPECT_NE(m_flags.okH1, 0);
    EXPECT_NE(m_flags.okI0, 0);
    EXPECT_NE(m_flags.okR2, 0);
    // Row 4 cannot apply: &H1, &I0 and &R2 were never sent.
    EXPECT_EQ(ClassifyModem(m_name, &m_flags), 7);
}

TEST_F(ScriptTest, AStopBeforeTheFirstStepSendsNothing) {
    m_search.m_abort.store(1);
    Run(SIM_GENERIC);
    EXPECT_TRUE(m_sim.Commands(kPort).empty());
    EXPECT_EQ(LogText(), "");
    EXPECT_STREQ(m_name, "");
}

TEST_F(ScriptTest, AnAbandonedProbeStopsBetweenSteps) {
    ProbeContext* probe = CreateProbeContext(&m_search, kPort);
    m_search.m_probeThreadId.store(1);
    m_sim.SetOnCommand([probe](unsigned, const std::string& command) {
        if (command == "ATI0")
            AbandonProbe(probe);
    });
    m_sim.AddModem(kPort, SIM_GENERIC);
    unsigned long reason = 0;
    ModemPort port = {OsOpenPort(kPort, &reason), &m_search, probe};
    char buffer[2048];
    RunModemScript(&port, buffer, &m_flags, m_name);
    OsClosePort(port.port);
    ReleaseProbeContext(probe);

    EXPECT_EQ(m_sim.Commands(kPort),
              std::vector<std::string>(kFullScript.begin(), kFullScript.begin() + 3));
    // Nothing from the moment it was abandoned: not even the answer to ATI0.
    EXPECT_EQ(LogText().substr(LogText().size() - 11), "OUT: ATI0\r\n");
}

TEST_F(ScriptTest, AnyAnswerHoldingOkConfirmsItsFlag) {
    m_sim.SetAnswer(kPort, "AT&K3", "\r\nBROKEN\r\n");  // no final result: waits its limit
    m_sim.SetAnswer(kPort, "AT&K4", "\r\nerror\r\n");   // not confirmed
    m_sim.SetAnswer(kPort, "AT&E4", "\r\nok\r\n");      // any case
    m_sim.SetAnswer(kPort, "AT&E5", "\r\nNO CARRIER\r\n");
    Run(SIM_ERROR_TO_SETTINGS);
    EXPECT_EQ(m_flags.okK3, 0);
    EXPECT_NE(m_flags.okK4, 0);
    EXPECT_EQ(m_flags.okE4, 0);
    EXPECT_NE(m_flags.okE5, 0);
    EXPECT_NE(m_flags.okQ3, 0);
}

TEST(ClassifyModem, TakesTheFirstRowThatApplies) {
    // Flags by letter: K = &K3 and &K4, E = &E4 and &E5, Q = \Q3, H = &H1, I = &I0, R = &R2,
    // k = &K3 alone, e = &E4 alone.
    const struct {
        const char* name;
        const char* confirmed;
        uint16_t code;
    } cases[] = {
        {"ZyXEL Fax Modem", "", 2},
        {"modem by zyxel", "KEQHIR", 2},
        {"Dunvarlotek Kestrafax SL", "KEQHIR", 0},
        {"Dunvarlotek Kestrafax CX", "", 1},
        {"dunvarlotek kestrafax cx", "", 4},  // exact comparison only
        {"Dunvarlotek Kestrafax SL ", "", 4},
        {"Generic", "HIR", 3},
        {"Generic", "HIRQ", 3},
        {"Generic", "HIRQEK", 3},
        {"Generic", "HIQ", 7},
        {"Generic", "Q", 7},
        {"Generic", "QEK", 7},
        {"Generic", "E", 178},
        {"Generic", "EK", 178},
        {"Generic", "EHI", 178},
        {"Generic", "K", 5},
        {"Generic", "e", 4},
        {"Generic", "k", 4},
        {"Generic", "HI", 4},
        {"", "", 4},
    };
    for (const auto& c : cases) {
        AnswerFlags flags;
        ResetAnswerFlags(&flags);
        for (const char* f = c.confirmed; *f != '\0'; ++f) {
            switch (*f) {
                case 'K':
                    flags.okK3 = flags.okK4 = 0;
                    break;
                case 'k':
                    flags.okK3 = 0;
                    break;
                case 'E':
                    flags.okE4 = flags.okE5 = 0;
                    break;
                case 'e':
                    flags.okE4 = 0;
                    break;
                case 'Q':
                    flags.okQ3 = 0;
                    break;
                case 'H':
                    flags.okH1 = 0;
                    break;
                case 'I':
                    flags.okI0 = 0;
                    break;
                case 'R':
                    flags.okR2 = 0;
                    break;
            }
        }
        EXPECT_EQ(ClassifyModem(c.name, &flags), c.code) << c.name << " " << c.confirmed;
    }
}

TEST(AnswerFlags, StartUnconfirmed) {
    AnswerFlags flags;
    memset(&flags, 0, sizeof flags);
    ResetAnswerFlags(&flags);
    for (uint8_t flag : {flags.okK3, flags.okK4, flags.okE4, flags.okE5, flags.okQ3, flags.okH1,
                         flags.okI0, flags.okR2}) {
        EXPECT_EQ(flag, 4);
    }
}

}  // namespace
