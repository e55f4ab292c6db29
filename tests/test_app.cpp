// The main window's pieces: identity checks and prompts, system-menu greying, the close
// protocol, the about and notice boxes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ProgramState.h"
#include "ScriptedConsole.h"
#include "WindowHarness.h"
#include "app/App.h"
#include "common/Common.h"
#include "resources/Resources.h"
#include "sysinfo/SystemDescription.h"
#include "ui/console/ConsoleTesting.h"

namespace {

class AppTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetProgramState(); }
    void TearDown() override {
        EXPECT_TRUE(WaitForAllThreads());
        ResetProgramState();
    }
};

struct TextCase {
    const char* text;
    int expected;
};

TEST_F(AppTest, ValidateNameTakesTheNameAsTyped) {
    const TextCase cases[] = {
        {"", 0},     {"Al", 0},    {" A", 0},  {"Ann", 1}, {"A  ", 1},
        {" Ann", 0}, {"Jo Bo", 1}, {"   ", 0}, {"abc", 1},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(c.expected, ValidateName(c.text)) << c.text;
}

TEST_F(AppTest, ValidateEmailTable) {
    const TextCase cases[] = {
        {"a@b.c", 0},     // five characters
        {"ab@c.d", 1},    // six
        {"a@b@c.de", 0},  // two at signs
        {"a.b@cde", 0},   // full stop only before the at sign
        {"ab@.cd", 1},    // full stop right after the at sign
        {"abc@de.", 1},   // full stop last
        {"@abc.de", 0},   // begins with an at sign
        {".abc@d.e", 0},  // begins with a full stop
        {"ab c@d.e", 0},  // a space
        {"ab,c@d.e", 0},  // a comma
        {"abc@_d.e", 0},  // "@_"
        {"jane@example.com", 1},
        {"janeexample.com", 0},  // no at sign
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(c.expected, ValidateEmail(c.text)) << c.text;
}

TEST_F(AppTest, IsSizeOrMaximizeItemLooksAtNineCharactersWithoutAmpersands) {
    const TextCase cases[] = {
        {"&Size", 1},      {"Size", 1},  {"Ma&ximize", 1},      {"Maximize", 1},
        {"&Maximize", 1},  {"sIZE", 1},  {"Sizeable", 1},       {"Mi&nimize", 0},
        {"&Restore", 0},   {"&Move", 0}, {"&Close\tAlt+F4", 0}, {"", 0},
        {"&&&&&&Size", 0},  // the ampersands use up the nine characters: "Siz" is left
        {"&&&&&Size", 1},   // four ampersands: "Size" is still inside the nine
        {"Größe", 0},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(c.expected, IsSizeOrMaximizeItem(c.text)) << c.text;
}

TEST_F(AppTest, GreySizeAndMaximizeGreysOnlyThoseTwoItems) {
    RunInWindow(IDD_MAIN, [](CDialog* window) {
        GreySizeAndMaximize(window);
        EXPECT_TRUE(window->IsSystemMenuItemDisabled(0xF000));   // Size
        EXPECT_TRUE(window->IsSystemMenuItemDisabled(0xF030));   // Maximize
        EXPECT_FALSE(window->IsSystemMenuItemDisabled(0xF020));  // Minimize
        EXPECT_FALSE(window->IsSystemMenuItemDisabled(0xF120));  // Restore
        EXPECT_FALSE(window->IsSystemMenuItemDisabled(0xF010));  // Move
        EXPECT_FALSE(window->IsSystemMenuItemDisabled(0xF060));  // Close
    });
}

TEST_F(AppTest, AskTextShowsTheSharedTextsAndReturnsTheEntry) {
    ScriptedConsole console;
    console.AddLine("Jane Tester");
    snprintf(g_promptTitle, sizeof g_promptTitle, "Title of the box");
    g_promptCancelText[0] = '\0';
    snprintf(g_promptOkText, sizeof g_promptOkText, "&Continue");
    char buffer[88] = "previous";
    RunInWindow(IDD_MAIN, [&](CDialog*) {
        EXPECT_EQ(1, AskText(buffer, sizeof buffer, "The prompt\n\nsecond paragraph"));
    });
    EXPECT_STREQ("Jane Tester", buffer);
    const std::string output = console.Output();
    EXPECT_NE(std::string::npos, output.find("Title of the box"));
    EXPECT_NE(std::string::npos, output.find("The prompt\n\nsecond paragraph"));
    EXPECT_NE(std::string::npos, output.find("Entry: previous"));
}

TEST_F(AppTest, AskTextWithAnEmptyLineConfirmsTheEntryAsItStands) {
    ScriptedConsole console;
    console.AddLine("");
    char buffer[88] = "kept";
    RunInWindow(IDD_MAIN, [&](CDialog*) { EXPECT_EQ(1, AskText(buffer, sizeof buffer, "p")); });
    EXPECT_STREQ("kept", buffer);
}

TEST_F(AppTest, AskTextCutsAnOverlongEntryToTheBuffer) {
    ScriptedConsole console;
    console.AddLine(std::string(300, 'n'));
    struct {
        char buffer[88];
        char guard[16];
    } area;
    memset(area.guard, 'G', sizeof area.guard);
    area.buffer[0] = '\0';
    RunInWindow(IDD_MAIN,
                [&](CDialog*) { EXPECT_EQ(1, AskText(area.buffer, sizeof area.buffer, "p")); });
    EXPECT_EQ(std::string(87, 'n'), area.buffer);
    for (char c : area.guard)
        EXPECT_EQ('G', c);
}

TEST_F(AppTest, PromptHidesCancelWhenItsLabelIsEmpty) {
    ScriptedConsole console;
    console.AddLine("x");
    g_promptCancelText[0] = '\0';
    class Probe : public CPromptDlg {
      public:
        int OnInitDialog() override {
            const int result = CPromptDlg::OnInitDialog();
            cancelVisible = ConsoleIsControlVisible(this, IDC_PROMPT_CANCEL);
            focus = ConsoleFocusedControl(this);
            return result;
        }
        bool cancelVisible = true;
        int focus = 0;
    } box;
    RunInWindow(IDD_MAIN, [&](CDialog*) { EXPECT_EQ(UI_IDOK, box.DoModal()); });
    EXPECT_FALSE(box.cancelVisible);
    EXPECT_EQ(IDC_PROMPT_EDIT, box.focus);
}

// A main window that skips the identity prompts and the first search, so that the close
// protocol can be driven on its own.
class BareMainDlg : public CMainDlg {
  public:
    int OnInitDialog() override { return 0; }
};

TEST_F(AppTest, CloseRequestSetsBothFlagsDisablesAndEndsTheMainWindow) {
    ScriptedConsole console;  // no input: the main window's first read is a close request
    BareMainDlg main;
    g_mainDlg = &main;
    RunInWindow(IDD_ABOUT, [&](CDialog*) { EXPECT_EQ(UI_IDCANCEL, main.DoModal()); });
    EXPECT_EQ(1, g_quit.load());
    EXPECT_EQ(1, g_closeRequested.load());
}

TEST_F(AppTest, EscapeDoesNothingUntilACloseWasRequested) {
    ScriptedConsole console;
    class Driver : public BareMainDlg {
      public:
        int OnInitDialog() override {
            OnCommand(UI_IDCANCEL, 0);  // Escape
            endingAfterEscape = ConsoleIsWindowEnding(this);
            OnClose();  // the first close request
            quitAfterFirst = g_quit.load();
            enabledAfterFirst = ConsoleIsWindowEnabled(this);
            endingAfterClose = ConsoleIsWindowEnding(this);
            g_quit.store(1);
            OnClose();  // swallowed
            return 0;
        }
        bool endingAfterEscape = true;
        bool endingAfterClose = false;
        bool enabledAfterFirst = true;
        int quitAfterFirst = 0;
    } driver;
    g_mainDlg = &driver;
    RunInWindow(IDD_ABOUT, [&](CDialog*) { EXPECT_EQ(UI_IDCANCEL, driver.DoModal()); });
    EXPECT_FALSE(driver.endingAfterEscape);
    EXPECT_EQ(1, driver.quitAfterFirst);
    EXPECT_FALSE(driver.enabledAfterFirst);
    EXPECT_TRUE(driver.endingAfterClose);
}

TEST_F(AppTest, FileExitSetsCloseRequestedBeforeTheCloseProtocolRuns) {
    ScriptedConsole console;
    console.AddLine("x");
    BareMainDlg main;
    g_mainDlg = &main;
    RunInWindow(IDD_ABOUT, [&](CDialog*) { EXPECT_EQ(UI_IDCANCEL, main.DoModal()); });
    EXPECT_EQ(1, g_closeRequested.load());
    EXPECT_EQ(1, g_quit.load());
    EXPECT_NE(std::string::npos, console.Output().find("x) File > Exit"));
}

TEST_F(AppTest, EnterGivesOkAndEndsWithoutTheCloseProtocol) {
    ScriptedConsole console;
    class Driver : public BareMainDlg {
      public:
        int OnInitDialog() override {
            PostCommand(UI_IDOK);
            return 0;
        }
    } main;
    g_mainDlg = &main;
    RunInWindow(IDD_ABOUT, [&](CDialog*) { EXPECT_EQ(UI_IDOK, main.DoModal()); });
    EXPECT_EQ(0, g_quit.load());
    EXPECT_EQ(0, g_closeRequested.load());
}

TEST_F(AppTest, TimeChangeSetsTheCounterToTen) {
    ScriptedConsole console;
    class Driver : public BareMainDlg {
      public:
        int OnInitDialog() override {
            g_clockChanges.store(3);
            ConsoleSimulateTimeChange();
            first = g_clockChanges.load();
            g_clockChanges.store(0);
            ConsoleSimulateTimeChange();
            second = g_clockChanges.load();
            g_clockChanges.store(0);
            PostCommand(UI_IDOK);
            return 0;
        }
        int first = 0, second = 0;
    } main;
    RunInWindow(IDD_ABOUT, [&](CDialog*) { main.DoModal(); });
    EXPECT_EQ(10, main.first);
    EXPECT_EQ(10, main.second);
}

TEST_F(AppTest, AboutBoxShowsVersionNumbersAndDescription) {
    ScriptedConsole console;
    console.AddLine("");
    g_osPlatformId = 2;
    g_osMajorVersion = 5;
    g_osMinorVersion = 1;
    snprintf(g_osDescription, sizeof g_osDescription, "Windows XP, 32bit, CPU: x86");
    RunInWindow(IDD_MAIN, [&](CDialog*) {
        CAboutDlg about;
        EXPECT_EQ(UI_IDOK, about.DoModal());
    });
    const std::string output = console.Output();
    EXPECT_NE(std::string::npos, output.find("About Dunvarlotek Modem Test"));
    EXPECT_NE(std::string::npos,
              output.find("Version: 24.07.27 - Windows Type: 2.5.1\nWindows XP, 32bit, CPU: x86"));
}

TEST_F(AppTest, NoticeBoxIsTopMostFocusesContinueAndEndsOnEnter) {
    ScriptedConsole console;
    console.AddLine("");
    class Probe : public CNoticeDlg {
      public:
        int OnInitDialog() override {
            const int result = CNoticeDlg::OnInitDialog();
            topMost = ConsoleIsTopMost(this);
            focus = ConsoleFocusedControl(this);
            return result;
        }
        bool topMost = false;
        int focus = 0;
    } notice;
    notice.m_caption = kCaption;
    notice.m_text =
        "Close all programs (especaily any program that uses a modem) before continuing...";
    RunInWindow(IDD_MAIN, [&](CDialog*) { EXPECT_EQ(UI_IDOK, notice.DoModal()); });
    EXPECT_TRUE(notice.topMost);
    EXPECT_EQ(IDC_CONTINUE, notice.focus);
    EXPECT_NE(std::string::npos,
              console.Output().find("== Dunvarlotek Modem Test ==\nClose all programs"));
}

}  // namespace
