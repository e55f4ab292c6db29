// The modem log: LogLine into the view and Modem.txt, the header, the footer and the
// "Can not create:" path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FakeClock.h"
#include "ProgramState.h"
#include "ScriptedConsole.h"
#include "SimModem.h"
#include "WindowHarness.h"
#include "common/Common.h"
#include "resources/Resources.h"
#include "search/SearchDlg.h"

namespace {

// The asctime text of the fake clock's start, without its newline.
std::string StartTime() {
    char text[64];
    FormatAsctime(text, sizeof text, static_cast<int64_t>(FakeClock::kDefaultStartMs / 1000));
    text[strcspn(text, "\n")] = '\0';
    return text;
}

std::string Header() {
    return "Log of Modem Responses\r\nDunvarlotek Modem Test 24.07.27\r\nStart Modem Log - " +
           StartTime() + "\r\n";
}

class ModemLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        snprintf(m_savedStartDir, sizeof m_savedStartDir, "%s", g_startDir);
        snprintf(g_startDir, sizeof g_startDir, "%s", m_dir.Path().c_str());
    }
    void TearDown() override {
        if (m_search.m_logFile.load() >= 0)
            OsCloseFile(m_search.m_logFile.exchange(-1));
        snprintf(g_startDir, sizeof g_startDir, "%s", m_savedStartDir);
    }
    std::string LogText() const { return ReadWholeFile(m_dir.File("Modem.txt")); }

    FakeClock m_clock{FakeClock::kDefaultStartMs, 0};
    SimTempDir m_dir;
    CSearchDlg m_search;  // its window does not exist: lines go to the file only
    char m_savedStartDir[260];
};

TEST_F(ModemLogTest, EachLineEndsInExactlyOneCrLf) {
    const struct {
        std::string text;
        std::string written;
        std::string trimmed;  // what is left in the caller's buffer
    } cases[] = {
        {"plain", "plain\r\n", "plain"},
        {"ends in CR LF\r\n", "ends in CR LF\r\n", "ends in CR LF"},
        {"lone LF\n", "lone LF\r\n", "lone LF"},
        {"spaces   ", "spaces\r\n", "spaces"},
        {"space then CR LF \r\n", "space then CR LF\r\n", "space then CR LF"},
        {"tab stays\t", "tab stays\t\r\n", "tab stays\t"},
        {"\r\nleading CR LF", "\r\nleading CR LF\r\n", "\r\nleading CR LF"},
        {"", "\r\n", ""},
        {"IN : ", "IN :\r\n", "IN :"},
        {"two\r\nlines\r\n\r\n", "two\r\nlines\r\n", "two\r\nlines"},
    };
    for (const auto& c : cases) {
        const int fd = OsCreateFile(m_dir.File("Modem.txt").c_str());
        ASSERT_GE(fd, 0);
        m_search.m_logFile.store(fd);
        char text[128];
        snprintf(text, sizeof text, "%s", c.text.c_str());
        EXPECT_EQ(m_search.LogLine(text), 1);
        EXPECT_EQ(std::string(text), c.trimmed);
        OsCloseFile(m_search.m_logFile.exchange(-1));
        EXPECT_EQ(LogText(), c.written) << c.text;
    }
}

TEST_F(ModemLogTest, ATextTooLongForTheLineIsCutAndStillEndsInCrLf) {
    const int fd = OsCreateFile(m_dir.File("Modem.txt").c_str());
    ASSERT_GE(fd, 0);
    m_search.m_logFile.store(fd);
    std::string text(5000, 'a');
    m_search.LogLine(&text[0]);
    std::string exact(4093, 'b');
    m_search.LogLine(&exact[0]);
    EXPECT_EQ(LogText(), std::string(4093, 'a') + "\r\n" + std::string(4093, 'b') + "\r\n");
}

TEST_F(ModemLogTest, WithoutAFileLogLineStillReturnsOne) {
    m_search.m_logFile.store(-1);
    char text[] = "nowhere to go\r\n";
    EXPECT_EQ(m_search.LogLine(text), 1);
    EXPECT_STREQ(text, "nowhere to go");
    EXPECT_EQ(LogText(), "");
}

TEST_F(ModemLogTest, OpenWritesTheHeaderAndCloseTheFooter) {
    m_search.OpenModemLog();
    ASSERT_GE(m_search.m_logFile.load(), 0);
    EXPECT_EQ(LogText(), Header());

    char line[] = "a port line";
    m_search.LogLine(line);
    m_clock.Advance(61 * 1000);
    m_search.CloseModemLog();
    EXPECT_EQ(m_search.m_logFile.load(), -1);

    char end[64];
    FormatAsctime(end, sizeof end, static_cast<int64_t>(FakeClock::kDefaultStartMs / 1000) + 61);
    end[strcspn(end, "\n")] = '\0';
    EXPECT_EQ(LogText(), Header() + "a port line\r\n\r\nEnd Modem Log - " + end + "\r\n");

    // Nothing reaches the file once it is closed.
    char late[] = "too late";
    m_search.LogLine(late);
    EXPECT_EQ(LogText(), Header() + "a port line\r\n\r\nEnd Modem Log - " + end + "\r\n");
}

TEST_F(ModemLogTest, ANewSearchEmptiesTheLogOfThePreviousOne) {
    m_search.OpenModemLog();
    char line[] = "first search";
    m_search.LogLine(line);
    m_search.CloseModemLog();

    CSearchDlg second;
    second.OpenModemLog();
    second.CloseModemLog();
    const std::string text = LogText();
    EXPECT_EQ(text.find("first search"), std::string::npos);
    EXPECT_EQ(text.compare(0, Header().size(), Header()), 0);
}

TEST_F(ModemLogTest, TheViewGetsTheSameLinesAsTheFile) {
    ScriptedConsole console;
    RunInSearchWindow([&](CDialog*, CSearchDlg* search) {
        search->OpenModemLog();
        char line[] = "\r\nCOM1, return[2], no UART or modem.";
        search->LogLine(line);
        char empty[] = "";
        search->LogLine(empty);
        search->CloseModemLog();
        const std::string view = ControlText(search, IDC_LOGVIEW);
        EXPECT_EQ(view, LogText());
        EXPECT_NE(view.find(Header() + "\r\nCOM1, return[2], no UART or modem.\r\n\r\n"),
                  std::string::npos);
    });
}

TEST_F(ModemLogTest, AnUnwritableFolderIsReportedAndTheSearchGoesOnWithTheViewOnly) {
    snprintf(g_startDir, sizeof g_startDir, "%s/missing-folder", m_dir.Path().c_str());
    const std::string path = m_dir.Path() + "/missing-folder/Modem.txt";
    ScriptedConsole console;
    console.AddLine("");  // closes the message box
    RunInSearchWindow([&](CDialog*, CSearchDlg* search) {
        search->OpenModemLog();
        EXPECT_EQ(search->m_logFile.load(), -1);
        // The inner line feed stays, the final one is stripped.
        EXPECT_EQ(ControlText(search, IDC_LOGVIEW), "Can not create:\n" + path + "\r\n" + Header());
        search->CloseModemLog();
    });
    EXPECT_EQ(console.LinesRead(), 1);
    const std::string output = console.Output();
    EXPECT_NE(output.find("Dunvarlotek Modem Test"), std::string::npos);
    EXPECT_NE(output.find("Can not create:\n" + path), std::string::npos);
    EXPECT_EQ(ReadWholeFile(path), "");
}

}  // namespace
