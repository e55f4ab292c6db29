// The whole program, in-process: start-up, the identity prompts, the search with simulated
// modems, the result list, the hand-over and the form post, further searches, the close
// protocol. Only the terminal, the serial ports, the sockets, the system queries and the clock
// are doubles.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CausalClock.h"
#include "FakeSockets.h"
#include "FakeSystem.h"
#include "ProgramState.h"
#include "ScriptedConsole.h"
#include "SimModem.h"
#include "app/App.h"
#include "common/Common.h"
#include "search/SearchDlg.h"
#include "support/Support.h"
#include "sysinfo/SystemDescription.h"

namespace {

// The end of a long transcript, for failure messages.
std::string Tail(const std::string& text) {
    return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

// The first line of a simulated modem's answer to "ATI3".
std::string IdentityOf(SimProfile profile) {
    std::string answer = SimModem::ProfileAnswer(profile, "ATI3");
    const size_t start = answer.find_first_not_of("\r\n");
    return answer.substr(start, answer.find_first_of("\r\n", start) - start);
}

// The lines of `text` between the last main-window title and its menu.
std::vector<std::string> LastResultList(const std::string& text) {
    const std::string title = "== Dunvarlotek Modem Test - Version 24.07.27 ==\n";
    const size_t start = text.rfind(title);
    std::vector<std::string> lines;
    if (start == std::string::npos)
        return lines;
    size_t at = start + title.size();
    for (;;) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos)
            break;
        const std::string line = text.substr(at, end - at);
        if (line.rfind("s) ", 0) == 0)
            break;
        lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProgramState();
        m_dir = MakeScratchStartDir();
        m_system.SetVersion(2, 5, 1);
        m_system.Set64Bit(false);
    }
    void TearDown() override {
        EXPECT_TRUE(WaitForAllThreads());
        EXPECT_EQ(0, m_modems.PortsOpenNow());
        ResetProgramState();
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    // Runs the program as its entry point does, from a start folder of its own.
    int RunProgram() {
        CModemTestApp app;
        snprintf(g_startDir, sizeof g_startDir, "%s", m_dir.c_str());
        return UiRunApplication(&app);
    }

    std::string Log() const { return ReadWholeFile(m_dir + "/Modem.txt"); }

    CausalClock m_clock;
    ScriptedConsole m_console;
    SimModem m_modems;
    FakeSockets m_sockets;
    FakeSystem m_system;
    std::string m_dir;
};

TEST_F(ProgramTest, FindsTheModemsListsThemSortedAndPostsTheLog) {
    m_modems.AddModem(2, SIM_CX93001);
    m_modems.AddModem(10, SIM_ZYXEL);
    m_modems.AddModem(33, SIM_GENERIC);
    m_modems.FailOpen(5, OS_ERROR_ACCESS_DENIED);
    FakeConnectionScript server;
    server.answer = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>Thank you!</p>";
    m_sockets.SetDefault(server);
    // A name and an address that fail their checks come back with the text typed.
    m_console.AddLines({"Al", "Jane Tester", "jane", "jane@example.com", "", "y"});

    EXPECT_EQ(0, RunProgram());

    const std::string output = m_console.Output();
    EXPECT_NE(std::string::npos, output.find("Entry: Al\n"));
    EXPECT_NE(std::string::npos, output.find("Entry: jane\n"));
    EXPECT_NE(std::string::npos,
              output.find("Dunvarlotek Modem Test, Your Name for tech-support Purposes..."));
    EXPECT_NE(
        std::string::npos,
        output.find(
            "Close all programs (especaily any program that uses a modem) before continuing..."));
    const std::vector<std::string> expected = {
        "COM10, " + IdentityOf(SIM_ZYXEL) + " - Init[2]",
        "COM2, Dunvarlotek Kestrafax CX - Init[1]",
        "COM33, " + IdentityOf(SIM_GENERIC) + " - Init[5]",
    };
    EXPECT_EQ(expected, LastResultList(output)) << Tail(output);

    const std::string log = Log();
    EXPECT_EQ(
        0u, log.find(
                "Log of Modem Responses\r\nDunvarlotek Modem Test 24.07.27\r\nStart Modem Log - "));
    EXPECT_NE(
        std::string::npos,
        log.find("\r\n\r\nCOM5, return[5], in use by another program, access is denied.\r\n"));
    EXPECT_NE(std::string::npos, log.find("\r\nAvailable Modem: Dunvarlotek Kestrafax CX\r\n"));
    EXPECT_EQ(252u, CountOccurrences(log, ", return[2], no UART or modem.\r\n"));

    // One post, at the first attempt, carrying the log and the identity.
    const std::vector<FakeConnection> connections = m_sockets.Connections();
    ASSERT_EQ(1u, connections.size());
    const std::string& sent = connections[0].sent;
    EXPECT_EQ(0u,
              sent.find("POST http://support.dunvarlotek.example/form/tsemail.pl HTTP/1.1\r\n"));
    EXPECT_NE(std::string::npos, sent.find("&FromName=Jane+Tester&FromEmail=jane@example.com"));
    EXPECT_NE(std::string::npos,
              sent.find("&Subject=Dunvarlotek+Modem+Test+find+fax+modems&EmailBody=Log+of+Modem"));
    EXPECT_NE(std::string::npos,
              sent.find("WIN+-+Windows+XP%2C+32bit%2C+CPU%3A+x86+-+%5B0+X+0%5D"));
    EXPECT_EQ(0u, g_sendThreadId.load());
    EXPECT_EQ(nullptr, g_sendThread.load());
    EXPECT_EQ(1, g_quit.load());
}

TEST_F(ProgramTest, ASecondSearchEmptiesTheListAndUsesANewSearchWindow) {
    m_modems.AddModem(7, SIM_SMART_LINK);
    CSearchDlg* first = nullptr;
    m_console.AddLines({"Jane Tester", "jane@example.com", "", "n"});
    m_console.SetOnRead([&](const std::string& output) {
        static const std::string menu = "x) File > Exit\n";
        if (first == nullptr && output.find(menu) != std::string::npos) {
            first = g_searchDlg.load();
            m_console.AddLines({"s", "", "n", "a", "", "x"});
        }
    });
    EXPECT_EQ(0, RunProgram());
    const std::string output = m_console.Output();
    EXPECT_EQ(2u, CountOccurrences(output, "Close all programs (especaily"));
    EXPECT_EQ(2u,
              CountOccurrences(output, "Click [Yes] to send this log to Dunvarlotek for help."));
    const std::vector<std::string> listed = LastResultList(output);
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ("COM7, Dunvarlotek Kestrafax SL - Init[0]", listed[0]);
    EXPECT_NE(nullptr, first);
    EXPECT_NE(first, g_searchDlg.load());
    EXPECT_NE(std::string::npos, output.find("About Dunvarlotek Modem Test"));
    EXPECT_TRUE(m_sockets.Connections().empty());
    EXPECT_EQ(2, m_modems.OpenCount(7));
    EXPECT_EQ(2, m_modems.CloseCount(7));
}

TEST_F(ProgramTest, LeavingWaitsForAPostStillUnderWay) {
    m_modems.AddModem(1, SIM_GENERIC);
    FakeConnectionScript slowServer;
    slowServer.answer = "HTTP/1.1 200 OK\r\n\r\nThank you";
    slowServer.answerAfterPeeks = 3;
    m_sockets.SetDefault(slowServer);
    // Accept the offer, then leave at once (end of input at the main menu).
    m_console.AddLines({"Jane Tester", "jane@example.com", "", "y"});
    EXPECT_EQ(0, RunProgram());
    // The program did not end under the post: it had finished, with its clean-up.
    EXPECT_EQ(0u, g_sendThreadId.load());
    EXPECT_EQ(nullptr, g_sendThread.load());
    const std::vector<FakeConnection> connections = m_sockets.Connections();
    ASSERT_FALSE(connections.empty());
    EXPECT_NE(std::string::npos, connections[0].sent.find("&EmailBody=Log+of+Modem+Responses"));
}

TEST(ProgramDeathTest, EndOfInputAtTheNamePromptEndsTheProgramWithStatusOne) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            ResetProgramState();
            ScriptedConsole console;
            FakeSystem system;
            CModemTestApp app;
            UiRunApplication(&app);
        },
        ::testing::ExitedWithCode(1), "");
}

}  // namespace
