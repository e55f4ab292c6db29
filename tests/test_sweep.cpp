// The sweep of COM1 to COM256 (the log it writes, the result lines, the probe's time limit, the
// stop) and the housekeeping thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FakeClock.h"
#include "ProgramState.h"
#include "ScriptedConsole.h"
#include "SimModem.h"
#include "WindowHarness.h"
#include "common/Common.h"
#include "resources/Resources.h"
#include "search/Search.h"
#include "search/SearchDlg.h"
#include "ui/Ui.h"

namespace {

// The sweep's clock may not run ahead of the probe it waits for. The thread that makes the
// clock leads; every other thread follows. While a follower runs, each sleep of the leader
// returns only once the follower's time has caught up (pumping the leader's messages
// meanwhile), so a probe that ends within its limit on its own clock is never timed out just
// because the machine was slow to run it.
class LockstepClock : public FakeClock {
  public:
    LockstepClock() : FakeClock(kDefaultStartMs, 0), m_leader(std::this_thread::get_id()) {}

    void SleepMs(unsigned milliseconds) override {
        FakeClock::SleepMs(milliseconds);
        if (std::this_thread::get_id() != m_leader) {
            m_followerTime.store(NowMs());
            return;
        }
        const uint64_t now = NowMs();
        while (OsRunningThreadCount() > 0 && m_followerTime.load() < now) {
            UiPumpMessages();
            std::this_thread::yield();
        }
    }
    void AdoptTime(uint64_t time) override {
        FakeClock::AdoptTime(time);
        if (std::this_thread::get_id() != m_leader)
            m_followerTime.store(time);
    }

  private:
    std::thread::id m_leader;
    std::atomic<uint64_t> m_followerTime{0};
};

std::string StartTime() {
    char text[64];
    FormatAsctime(text, sizeof text, static_cast<int64_t>(FakeClock::kDefaultStartMs / 1000));
    text[strcspn(text, "\n")] = '\0';
    return text;
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

std::vector<std::string> Header() {
    return {"Log of Modem Responses", "Dunvarlotek Modem Test 24.07.27",
            "Start Modem Log - " + StartTime()};
}

// One of the three-letter names packed in `names`.
bool IsNameIn(const std::string& names, const std::string& name) {
    for (size_t i = 0; i + 3 <= names.size(); i += 3) {
        if (names.compare(i, 3, name) == 0)
            return true;
    }
    return false;
}

// A time in asctime form without its newline: "Wed Dec 09 13:02:46 2026".
bool IsAsctime(const std::string& text) {
    const std::string shape = "Www Mmm 00 00:00:00 0000";
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '0' && !digit)
            return false;
        if ((shape[i] == ' ' || shape[i] == ':') && text[i] != shape[i])
            return false;
    }
    return IsNameIn("SunMonTueWedThuFriSat", text.substr(0, 3)) &&
           IsNameIn("JanFebMarAprMayJunJulAugSepOctNovDec", text.substr(4, 3));
}

// The log's end: an empty line and the end line, whose time depends on how the threads ran.
// `body` receives everything before them.
void ExpectFooter(const std::string& log, std::string* body) {
    const std::string head = "\r\n\r\nEnd Modem Log - ";
    const size_t at = log.rfind(head);
    ASSERT_NE(at, std::string::npos) << log.substr(log.size() > 80 ? log.size() - 80 : 0);
    const std::string time = log.substr(at + head.size());
    ASSERT_GE(time.size(), 2u);
    EXPECT_EQ(time.substr(time.size() - 2), "\r\n");
    EXPECT_TRUE(IsAsctime(time.substr(0, time.size() - 2))) << time;
    *body = log.substr(0, at + 2);
}

const std::vector<std::string> kModemAnswerToProfile = {
    "IN : ACTIVE PROFILE:",
    "B0 E0 L1 M1 N1 Q0 T V1 W0 X4 Y0 &C1 &D2 &G0 &J0 &K3 &Q5 &R1 &S0 &T5",
    "S00:000 S01:000 S02:043 S03:013 S04:010 S05:008 S06:002 S07:050",
    "OK",
};

class SweepTest : public ::testing::Test {
  protected:
    void SetUp() override {
        snprintf(m_savedStartDir, sizeof m_savedStartDir, "%s", g_startDir);
        snprintf(g_startDir, sizeof g_startDir, "%s", m_dir.Path().c_str());
    }
    void TearDown() override {
        m_sim.ReleaseHang();
        EXPECT_TRUE(WaitForAllThreads());
        OsFailThreadStarts(0);
        g_findThreadId.store(0);
        g_searchDlg.store(nullptr);
        g_quit.store(0);
        g_clockChanges.store(0);
        snprintf(g_startDir, sizeof g_startDir, "%s", m_savedStartDir);
    }
    std::string LogText() const { return ReadWholeFile(m_dir.File("Modem.txt")); }
    // Stops the search when `comPort` receives `command`.
    void StopAt(unsigned comPort, const char* command) {
        m_sim.SetOnCommand([this, comPort, command](unsigned port, const std::string& received) {
            if (port == comPort && received == command)
                m_search.m_abort.store(1);
        });
    }

    SimTempDir m_dir;
    SimModem m_sim;
    CSearchDlg m_search;
    char m_savedStartDir[260];
};

TEST_F(SweepTest, WritesTheGoldenLogForAFixedScenario) {
    LockstepClock clock;
    // Another search state in g_searchDlg: the sweep works only on the one it was given.
    CSearchDlg other;
    g_searchDlg.store(&other);

    m_sim.FailOpen(2, OS_ERROR_ACCESS_DENIED);
    m_sim.AddModem(3, SIM_SILENT_UART);
    m_sim.AddModem(4, SIM_GENERIC);
    m_sim.AddModem(5, SIM_GENERIC);
    StopAt(5, "AT&V");
    m_search.m_abort.store(0);
    g_findThreadId.store(77);
    EXPECT_EQ(FindModemThread(&m_search), 0u);
    EXPECT_EQ(g_findThreadId.load(), 0u);
    ASSERT_TRUE(WaitForAllThreads());

    std::vector<std::string> lines = Header();
    const std::vector<std::string> ports = {
        "",
        "COM1, return[2], no UART or modem.",
        "",
        "COM2, return[5], in use by another program, access is denied.",
        "",
        "COM3, UART but no suitable modem.",
        "",
        "COM4 found modem - will fax test...",
        "OUT: AT&FV1E0",
        "IN : OK",
        "OUT: AT&V",
    };
    lines.insert(lines.end(), ports.begin(), ports.end());
    lines.insert(lines.end(), kModemAnswerToProfile.begin(), kModemAnswerToProfile.end());
    const std::vector<std::string> com4 = {
        "OUT: ATI0",
        "IN : 56000",
        "OK",
        "OUT: ATI1",
        "IN : 255",
        "OK",
        "OUT: ATI2",
        "IN : OK",
        "OUT: ATI3",
        "IN : Generic Data Fax Modem 33600",
        "OK",
        "Available Modem: Generic Data Fax Modem 33600",
        "OUT: ATI4",
        "IN : Data/Fax Class 1 and 2",
        "OK",
        "OUT: ATI5",
        "IN : Country 00",
        "OK",
        "OUT: ATI6",
        "IN : Firmware 1.20",
        "Built 03/14",
        "OK",
        "OUT: ATI7",
        "IN : ERROR",
        "OUT: AT&FV1E0",
        "IN : OK",
        "OUT: AT+FCLASS=?",
        "IN : 0,1,2,2.0",
        "OK",
        "OUT: AT&FV1E0",
        "IN : OK",
        "OUT: AT&K3",
        "IN : OK",
        "OUT: AT&K4",
        "IN : OK",
        "OUT: AT&E4",
        "IN : ERROR",
        "OUT: AT&E5",
        "IN : ERROR",
        "OUT: AT\\Q1",
        "IN : OK",
        "OUT: AT\\Q2",
        "IN : ERROR",
        "OUT: AT\\Q3",
        "IN : ERROR",
        "OUT: AT\\Q4",
        "IN : ERROR",
        "OUT: AT&FV1E0",
        "IN : OK",
        "OUT: AT&H0",
        "IN : OK",
        "OUT: AT&H1",
        "IN : ERROR",
        "OUT: AT&H2",
        "IN : ERROR",
        "OUT: AT&H3",
        "IN : ERROR",
        "OUT: AT&I0",
        "IN : ERROR",
        "OUT: AT&I1",
        "IN : ERROR",
        "OUT: AT&I2",
        "IN : ERROR",
        "OUT: AT&I3",
        "IN : ERROR",
        "OUT: AT&I4",
        "IN : ERROR",
        "OUT: AT&I5",
        "IN : ERROR",
        "OUT: AT&R0",
        "IN : ERROR",
        "OUT: AT&R1",
        "IN : ERROR",
        "OUT: AT&R2",
        "IN : ERROR",
        "OUT: AT&FV1E0",
        "IN : OK",
        "OUT: AT+FCLASS=0",
        "IN : OK",
        "OUT: AT&FV1E0",
        "IN : OK",
        "OUT: AT+FCLASS=1",
        "IN : OK",
        "OUT: AT&FV1E0",
        "IN : OK",
        "OUT: AT+FCLASS=2",
        "IN : OK",
        "OUT: AT&FV1E0",
        "IN : OK",
        "OUT: AT+FCLASS=2.0",
        "IN : OK",
        "OUT: AT&FV1E0",
        "IN : OK",
        "OUT: AT+FCLASS=3",
        "IN : ERROR",
        "",
        "COM5 found modem - will fax test...",
        "OUT: AT&FV1E0",
        "IN : OK",
        "OUT: AT&V",
    };
    lines.insert(lines.end(), com4.begin(), com4.end());
    lines.insert(lines.end(), kModemAnswerToProfile.begin(), kModemAnswerToProfile.end());
    lines.push_back("User aborted FindModemThread");

    std::string body;
    ExpectFooter(LogText(), &body);
    EXPECT_EQ(body, Lines(lines));

    // The stop during COM5 ends the sweep after COM5; its modem gets no result.
    EXPECT_EQ(m_search.m_comPort.load(), 6u);
    EXPECT_EQ(m_search.m_probeThread, nullptr);
    EXPECT_EQ(m_search.m_probeThreadId.load(), 0u);
    EXPECT_EQ(m_search.m_logFile.load(), -1);
    EXPECT_EQ(m_sim.Commands(5).size(), 3u);  // the presence reset, steps 1 and 2
    EXPECT_EQ(m_sim.PortsOpenNow(), 0);
    EXPECT_EQ(m_sim.PortsOpened(), (std::vector<unsigned>{3, 4, 5}));

    EXPECT_EQ(other.m_comPort.load(), 0u);
    EXPECT_EQ(other.m_logFile.load(), -1);
    EXPECT_STREQ(other.m_modemName, "");
}

TEST_F(SweepTest, AMachineWithoutSerialPortsGetsOneLinePerPort) {
    LockstepClock clock;
    FindModemThread(&m_search);
    ASSERT_TRUE(WaitForAllThreads());

    std::vector<std::string> lines = Header();
    for (unsigned port = 1; port <= 256; ++port) {
        lines.push_back("");
        lines.push_back("COM" + std::to_string(port) + ", return[2], no UART or modem.");
    }
    std::string body;
    ExpectFooter(LogText(), &body);
    EXPECT_EQ(body, Lines(lines));
    EXPECT_EQ(m_search.m_comPort.load(), 257u);
    EXPECT_EQ(m_search.m_found.load(), 0);
}

TEST_F(SweepTest, AStopBeforeAPortEndsTheLoopBeforeIt) {
    LockstepClock clock;
    m_sim.AddModem(1, SIM_GENERIC);
    m_search.m_abort.store(1);
    FindModemThread(&m_search);
    ASSERT_TRUE(WaitForAllThreads());

    std::vector<std::string> lines = Header();
    lines.push_back("User aborted FindModemThread");
    std::string body;
    ExpectFooter(LogText(), &body);
    EXPECT_EQ(body, Lines(lines));
    EXPECT_EQ(m_search.m_comPort.load(), 1u);
    EXPECT_TRUE(m_sim.PortsOpened().empty());
}

TEST_F(SweepTest, AProbeThatCannotBeStartedIsLoggedAndTheSweepGoesOn) {
    LockstepClock clock;
    m_sim.AddModem(1, SIM_GENERIC);
    m_sim.AddModem(2, SIM_GENERIC);
    StopAt(2, "AT&FV1E0");
    OsFailThreadStarts(1);
    FindModemThread(&m_search);
    ASSERT_TRUE(WaitForAllThreads());

    std::vector<std::string> lines = Header();
    const std::vector<std::string> ports = {
        "While testing COM1 CreateThread failed.",
        "",
        "COM2 found modem - will fax test...",
        "User aborted FindModemThread",
    };
    lines.insert(lines.end(), ports.begin(), ports.end());
    std::string body;
    ExpectFooter(LogText(), &body);
    EXPECT_EQ(body, Lines(lines));
    EXPECT_TRUE(m_sim.Commands(1).empty());
    // No wait and no pause for the port whose probe did not start.
    ASSERT_EQ(m_sim.OpenTimes(2).size(), 1u);
    EXPECT_EQ(m_sim.OpenTimes(2)[0], uint64_t{FakeClock::kDefaultStartMs});
}

TEST_F(SweepTest, AProbeStillRunningAfterItsLimitIsAbandonedAndTheNextPortFollows) {
    // The probe of COM1 hangs in its first write; the sweep's own clock runs on.
    FakeClock clock(FakeClock::kDefaultStartMs, 0);
    m_sim.AddModem(1, SIM_GENERIC);
    m_sim.AddModem(2, SIM_GENERIC);
    m_sim.HangOnCommand(1, "AT&FV1E0");
    m_sim.SetOnCommand([this](unsigned port, const std::string& command) {
        // COM2's probe lets the abandoned one go on: it must stay silent from now on.
        if (port == 2 && command == "AT&FV1E0")
            m_sim.ReleaseHang();
        if (port == 2 && command == "AT&V")
            m_search.m_abort.store(1);
    });
    FindModemThread(&m_search);
    ASSERT_TRUE(WaitForAllThreads());

    std::vector<std::string> lines = Header();
    const std::vector<std::string> ports = {
        "While testing COM1 Modem Thread timed out.",
        "",
        "COM2 found modem - will fax test...",
        "OUT: AT&FV1E0",
        "IN : OK",
        "OUT: AT&V",
    };
    lines.insert(lines.end(), ports.begin(), ports.end());
    lines.insert(lines.end(), kModemAnswerToProfile.begin(), kModemAnswerToProfile.end());
    lines.push_back("User aborted FindModemThread");
    std::string body;
    ExpectFooter(LogText(), &body);
    EXPECT_EQ(body, Lines(lines));

    // Given up after its 502nd wait of 60 ms; the next port half a second later.
    ASSERT_EQ(m_sim.OpenTimes(1).size(), 1u);
    ASSERT_EQ(m_sim.OpenTimes(2).size(), 1u);
    EXPECT_EQ(m_sim.OpenTimes(2)[0] - m_sim.OpenTimes(1)[0], 502u * 60u + 500u);
    // The abandoned probe sent nothing more, closed its own port and ended.
    EXPECT_EQ(m_sim.Commands(1), std::vector<std::string>{"AT&FV1E0"});
    EXPECT_EQ(m_sim.CloseCount(1), 1);
    EXPECT_EQ(m_sim.PortsOpenNow(), 0);
    EXPECT_EQ(m_search.m_comPort.load(), 3u);
}

TEST_F(SweepTest, ResultLinesReachTheListInItsSortedOrderAndTheViewMatchesTheFile) {
    LockstepClock clock;
    ScriptedConsole console;
    m_sim.AddModem(2, SIM_SMART_LINK);
    m_sim.AddModem(3, SIM_CX93001);
    m_sim.AddModem(10, SIM_ZYXEL);
    m_sim.AddModem(11, SIM_ACCEPTS_E4_E5);  // found, but the stop comes first
    m_sim.AddModem(7, SIM_SILENT_UART);
    std::vector<std::string> items;
    std::string view;
    CSearchDlg* shown = nullptr;
    m_sim.SetOnCommand([&shown](unsigned port, const std::string& command) {
        if (port == 11 && command == "ATI0")
            shown->m_abort.store(1);
    });
    RunInSearchWindow([&](CDialog* mainWindow, CSearchDlg* search) {
        shown = search;
        search->m_resultWnd = mainWindow;
        search->m_resultListId = IDC_RESULTS;
        search->m_abort.store(0);
        FindModemThread(search);
        EXPECT_TRUE(WaitForAllThreads());
        items = ListItems(mainWindow, IDC_RESULTS);
        view = ControlText(search, IDC_LOGVIEW);
        EXPECT_EQ(search->m_comPort.load(), 12u);
    });
    const std::vector<std::string> expected = {
        "COM10, ZyXEL Fax Modem 33600 - Init[2]",
        "COM2, Dunvarlotek Kestrafax SL - Init[0]",
        "COM3, Dunvarlotek Kestrafax CX - Init[1]",
    };
    EXPECT_EQ(items, expected);
    EXPECT_EQ(view, LogText());
    EXPECT_NE(view.find("\r\nCOM11 found modem - will fax test...\r\n"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Housekeeping

// A thread that runs until told to end.
struct HeldThread {
    static unsigned long Run(void* parameter) {
        std::atomic<bool>* release = static_cast<std::atomic<bool>*>(parameter);
        while (!release->load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    }
};

class HousekeepingTest : public ::testing::Test {
  protected:
    void TearDown() override {
        m_release.store(true);
        g_quit.store(1);
        EXPECT_TRUE(WaitForAllThreads());
        OsThread left = g_findThread.exchange(nullptr);
        if (left != nullptr)
            OsCloseThread(left);
        g_findThreadId.store(0);
        g_housekeepingThread.store(nullptr);
        g_housekeepingThreadId.store(0);
        g_quit.store(0);
        g_clockChanges.store(0);
    }
    std::atomic<bool> m_release{false};
    FakeClock m_clock{FakeClock::kDefaultStartMs, 0};
};

TEST_F(HousekeepingTest, ReapsTheSweepHandleOnlyOnceItsIdIsZero) {
    ReapThreadHandles();  // nothing to reap
    EXPECT_EQ(g_findThread.load(), nullptr);

    uint32_t id = 0;
    OsThread sweep = OsStartThread(HeldThread::Run, &m_release, &id);
    ASSERT_NE(sweep, nullptr);
    g_findThreadId.store(id);
    g_findThread.store(sweep);
    ReapThreadHandles();
    EXPECT_EQ(g_findThread.load(), sweep);

    m_release.store(true);
    g_findThreadId.store(0);  // the sweep's last act
    ReapThreadHandles();
    EXPECT_EQ(g_findThread.load(), nullptr);
    ReapThreadHandles();
    EXPECT_EQ(g_findThread.load(), nullptr);
}

TEST_F(HousekeepingTest, RunsUntilQuitThenClearsItsOwnHandleAndId) {
    uint32_t sweepId = 0;
    OsThread sweep = OsStartThread(HeldThread::Run, &m_release, &sweepId);
    ASSERT_NE(sweep, nullptr);
    g_findThreadId.store(sweepId);
    g_findThread.store(sweep);

    uint32_t id = 0;
    OsThread housekeeping = OsStartThread(HousekeepingThread, nullptr, &id);
    ASSERT_NE(housekeeping, nullptr);
    g_housekeepingThreadId.store(id);
    g_housekeepingThread.store(housekeeping);

    // The sweep ends: its handle is reaped by the running thread.
    m_release.store(true);
    g_findThreadId.store(0);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_findThread.load() != nullptr && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(g_findThread.load(), nullptr);
    EXPECT_NE(g_housekeepingThreadId.load(), 0u);

    g_quit.store(1);
    EXPECT_TRUE(WaitForAllThreads());
    EXPECT_EQ(g_housekeepingThread.load(), nullptr);
    EXPECT_EQ(g_housekeepingThreadId.load(), 0u);
}

TEST_F(HousekeepingTest, WithQuitAlreadySetItWaitsOneStepReapsOnceAndEnds) {
    uint32_t sweepId = 0;
    m_release.store(true);
    OsThread sweep = OsStartThread(HeldThread::Run, &m_release, &sweepId);
    ASSERT_NE(sweep, nullptr);
    g_findThread.store(sweep);  // a finished sweep: id already 0
    g_quit.store(1);
    const uint64_t sleepsBefore = m_clock.SleepCalls();
    EXPECT_EQ(HousekeepingThread(nullptr), 0u);
    EXPECT_EQ(m_clock.SleepCalls() - sleepsBefore, 1u);
    EXPECT_EQ(g_findThread.load(), nullptr);
    EXPECT_EQ(g_housekeepingThreadId.load(), 0u);
}

}  // namespace
