// The search window: it runs the sweep inside its start command, keeps serving "Stop Looking"
// and the log while it waits, hands the log over and closes only at the end.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CausalClock.h"
#include "ProgramState.h"
#include "ScriptedConsole.h"
#include "SimModem.h"
#include "WindowHarness.h"
#include "common/Common.h"
#include "resources/Resources.h"
#include "search/Search.h"
#include "search/SearchDlg.h"
#include "support/Support.h"

namespace {

class SearchWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProgramState();
        m_dir = MakeScratchStartDir();
    }
    void TearDown() override {
        g_quit.store(1);
        EXPECT_TRUE(WaitForAllThreads());
        for (CSearchDlg* window : m_windows)
            delete window;
        ResetProgramState();
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    // Search windows outlive their modal run (a sweep may still refer to one): the fixture frees
    // them once every thread has ended.
    template <typename Window, typename... Arguments>
    Window* NewSearch(Arguments... arguments) {
        Window* window = new Window(arguments...);
        m_windows.push_back(window);
        return window;
    }

    static void StartHousekeeping() {
        g_housekeepingThread.store(
            OsStartThread(HousekeepingThread, nullptr, &g_housekeepingThreadId));
    }

    // Runs `search` modally from a main window, as the start command does.
    static int RunSearch(CSearchDlg* search) {
        int result = -2;
        RunInWindow(IDD_MAIN, [&](CDialog* main) {
            g_searchDlg.store(search);
            search->m_resultListId = IDC_RESULTS;
            search->m_resultWnd = main;
            result = search->DoModal();
        });
        return result;
    }

    std::string LogPath() const { return m_dir + "/Modem.txt"; }

    CausalClock m_clock;
    ScriptedConsole m_console;
    std::string m_dir;
    std::vector<CSearchDlg*> m_windows;
};

TEST_F(SearchWindowTest, SweepsEveryPortThenOpensTheLogBeforeTheOffer) {
    StartHousekeeping();
    m_console.AddLine("n");
    CSearchDlg& search = *NewSearch<CSearchDlg>();
    EXPECT_EQ(UI_IDOK, RunSearch(&search));

    const std::string output = m_console.Output();
    EXPECT_NE(std::string::npos, output.find("== Searching for COM-Ports and Modems =="));
    EXPECT_EQ(256u, CountOccurrences(output, ", return[2], no UART or modem."));
    const size_t end = output.find("End Modem Log - ");
    const size_t shown = output.find("Log: " + LogPath());
    const size_t offer = output.find("Click [Yes] to send this log to Dunvarlotek for help.");
    ASSERT_NE(std::string::npos, end);
    ASSERT_NE(std::string::npos, shown);
    ASSERT_NE(std::string::npos, offer);
    EXPECT_LT(end, shown);
    EXPECT_LT(shown, offer);
    EXPECT_EQ(257u, search.m_comPort.load());
    EXPECT_EQ(nullptr, g_findThread.load());
    EXPECT_EQ(0u, g_findThreadId.load());
    // The view holds what the file holds.
    EXPECT_EQ(256u,
              CountOccurrences(ReadWholeFile(LogPath()), ", return[2], no UART or modem.\r\n"));
}

// Ctrl+C as soon as the window is up: "Stop Looking" while the sweep runs.
class InterruptedDlg : public CSearchDlg {
  public:
    explicit InterruptedDlg(ScriptedConsole* console) : m_console(console) {}
    int OnInitDialog() override {
        const int result = CSearchDlg::OnInitDialog();
        m_console->RaiseInterrupt();
        return result;
    }
    ScriptedConsole* m_console;
};

TEST_F(SearchWindowTest, StopLookingDuringTheSweepShowsTheMessageEachTime) {
    StartHousekeeping();
    bool again = false;
    m_console.SetOnRead([&](const std::string& output) {
        // A second Ctrl+C while the first message is up and the sweep winds down.
        if (!again && output.find("The search has been aborted") != std::string::npos) {
            again = true;
            m_console.RaiseInterrupt();
            m_console.AddLines({"", "", "n"});
        }
    });
    InterruptedDlg& search = *NewSearch<InterruptedDlg>(&m_console);
    EXPECT_EQ(UI_IDOK, RunSearch(&search));
    const std::string output = m_console.Output();
    EXPECT_EQ(
        2u, CountOccurrences(output,
                             "The search has been aborted, but could take a few seconds to stop."));
    EXPECT_EQ(1, search.m_abort.load());
    const std::string log = ReadWholeFile(LogPath());
    EXPECT_NE(std::string::npos, log.find("User aborted FindModemThread\r\n\r\nEnd Modem Log - "));
    EXPECT_LT(search.m_comPort.load(), 257u);
}

// A click on "Stop Looking" that is handled before the start command has no effect on the
// search; Esc and the close box leave the window open.
class EarlyClicksDlg : public CSearchDlg {
  public:
    int OnInitDialog() override {
        PostCommand(IDC_STOP);
        PostCommand(UI_IDCANCEL);
        PostClose();
        return CSearchDlg::OnInitDialog();
    }
};

TEST_F(SearchWindowTest, EarlyStopClickEscAndCloseBoxChangeNothing) {
    StartHousekeeping();
    m_console.AddLines({"", "n"});
    EarlyClicksDlg& search = *NewSearch<EarlyClicksDlg>();
    EXPECT_EQ(UI_IDOK, RunSearch(&search));
    const std::string output = m_console.Output();
    EXPECT_EQ(1u, CountOccurrences(output, "The search has been aborted"));
    EXPECT_EQ(0, search.m_abort.load());
    EXPECT_EQ(257u, search.m_comPort.load());
    EXPECT_EQ(std::string::npos, ReadWholeFile(LogPath()).find("User aborted"));
}

TEST_F(SearchWindowTest, SweepThatCannotStartClosesTheWindowSilently) {
    OsFailThreadStarts(1);
    CSearchDlg& search = *NewSearch<CSearchDlg>();
    EXPECT_EQ(UI_IDCANCEL, RunSearch(&search));
    EXPECT_EQ(0u, g_findThreadId.load());
    EXPECT_EQ(nullptr, g_findThread.load());
    EXPECT_EQ("", ReadWholeFile(LogPath()));
    EXPECT_EQ(std::string::npos, m_console.Output().find("Click [Yes]"));
}

TEST_F(SearchWindowTest, WithoutHousekeepingTheHandOverWaitsForTheNoProgressLimit) {
    m_console.AddLine("n");
    CSearchDlg& search = *NewSearch<CSearchDlg>();
    const uint64_t start = m_clock.NowMs();
    EXPECT_EQ(UI_IDOK, RunSearch(&search));
    // Nobody reaped the sweep's handle: the window gave up after 750 waits of 60 ms without a
    // port change, and the sweep ends by itself.
    EXPECT_GE(m_clock.NowMs() - start, 750u * 60u);
    EXPECT_TRUE(WaitForAllThreads());
    EXPECT_EQ(0u, g_findThreadId.load());
    ASSERT_NE(nullptr, g_findThread.load());
    ReapThreadHandles();
    EXPECT_EQ(nullptr, g_findThread.load());
}

TEST_F(SearchWindowTest, DeclinedBusyQuestionClosesTheWindowWithoutASearch) {
    g_sendThreadId.store(77);  // an earlier post still running
    m_console.SetOnRead([](const std::string& output) {
        if (output.find("The Send-to-Dunvarlotek is busy.") != std::string::npos) {
            g_sendThreadId.store(0);  // the earlier post ends while the user answers
        }
    });
    m_console.AddLine("n");
    CSearchDlg& search = *NewSearch<CSearchDlg>();
    EXPECT_EQ(UI_IDCANCEL, RunSearch(&search));
    EXPECT_EQ("", ReadWholeFile(LogPath()));
    EXPECT_EQ(0u, search.m_comPort.load());
}

TEST_F(SearchWindowTest, ANewSearchWaitsForAnEarlierSweepToEnd) {
    StartHousekeeping();
    // An earlier sweep that outlived its window is still running: its probe of COM1 hangs.
    SimModem modems;
    modems.AddModem(1, SIM_GENERIC);
    modems.HangOnCommand(1, "AT&FV1E0");
    CSearchDlg& earlier = *NewSearch<CSearchDlg>();
    earlier.m_abort.store(0);
    g_findSearchDlg.store(&earlier);
    g_findThread.store(OsStartThread(FindModemThread, &earlier, &g_findThreadId));
    ASSERT_TRUE(modems.WaitUntilHung(10000));

    m_console.AddLine("n");
    CSearchDlg& search = *NewSearch<CSearchDlg>();
    EXPECT_EQ(UI_IDOK, RunSearch(&search));
    modems.ReleaseHang();

    // The earlier sweep had ended before the new sweep opened the log: asked to stop when it
    // was still running (it gives up on COM1 after its limit; how far it got before the stop
    // depends on the scheduler).
    EXPECT_EQ(-1, earlier.m_logFile.load());
    EXPECT_GE(earlier.m_comPort.load(), 2u);
    if (earlier.m_comPort.load() < 257u) {
        EXPECT_EQ(1, earlier.m_abort.load());
    }
    const std::string log = ReadWholeFile(LogPath());
    EXPECT_EQ(1u, CountOccurrences(log, "Log of Modem Responses"));
    EXPECT_EQ(std::string::npos, log.find("User aborted"));
    EXPECT_EQ(std::string::npos, log.find("timed out"));
    EXPECT_EQ(257u, search.m_comPort.load());
    // The abandoned probe closes its own port once it is let go.
    g_quit.store(1);
    EXPECT_TRUE(WaitForAllThreads());
    EXPECT_EQ(0, modems.PortsOpenNow());
}

}  // namespace
