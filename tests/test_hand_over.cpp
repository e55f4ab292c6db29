// The submission offer: the busy check before a search and the hand-over of the log after it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "FakeClock.h"
#include "FakeSockets.h"
#include "ProgramState.h"
#include "ScriptedConsole.h"
#include "WindowHarness.h"
#include "common/Common.h"
#include "resources/Resources.h"
#include "support/Support.h"
#include "ui/Ui.h"

namespace {

const char kOffer[] = "Click [Yes] to send this log to Dunvarlotek for help.";
const char kBusy[] = "The Send-to-Dunvarlotek is busy. Please wait and retry later.";
const char kThanksAnswer[] = "HTTP/1.1 200 OK\r\n\r\nThank you";

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class HandOverTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetProgramState();
        m_dir = MakeScratchStartDir();
        ASSERT_FALSE(m_dir.empty());
        m_logPath = m_dir + "/Modem.txt";
        FakeConnectionScript thanks;
        thanks.answer = kThanksAnswer;
        m_sockets.SetDefault(thanks);
    }

    void TearDown() override {
        m_release.store(true);
        EXPECT_TRUE(WaitForAllThreads());
        ResetProgramState();
        std::error_code ignored;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ignored);
    }

    void WriteLog(const std::string& content) {
        std::ofstream file(m_logPath, std::ios::binary);
        file << content;
    }

    // Runs the hand-over inside a search window; returns the window it was given.
    CDialog* HandOver() {
        CDialog* owner = nullptr;
        RunInWindow(IDD_SEARCH, [&](CDialog* window) {
            owner = window;
            HandOverLog(window);
        });
        return owner;
    }

    // The log text as it reached the server ("" when nothing was posted).
    std::string PostedBody() {
        const std::vector<FakeConnection> connections = m_sockets.Connections();
        if (connections.empty())
            return "";
        const std::string& sent = connections.back().sent;
        const size_t end = sent.find("\r\n\r\n");
        return end == std::string::npos ? "" : sent.substr(end + 4);
    }

    // Keeps the post that gets started in its connect until the test lets it go.
    void HoldThePostInConnect() {
        m_sockets.SetOnConnect([this](int) {
            while (!m_release.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    }

    ScriptedConsole m_console;
    FakeClock m_clock{FakeClock::kDefaultStartMs, 0};
    FakeSockets m_sockets;
    std::atomic<bool> m_release{false};
    std::string m_dir;
    std::string m_logPath;
};

TEST_F(HandOverTest, LogIsOpenedBeforeTheOfferWhateverTheAnswer) {
    for (const char* answer : {"n", "y"}) {
        SCOPED_TRACE(answer);
        ScriptedConsole console;
        console.AddLine(answer);
        WriteLog("a log of more than ten bytes\r\n");
        HandOver();
        ASSERT_TRUE(WaitForAllThreads());
        const std::string output = console.Output();
        const size_t opened = output.find("Log: " + m_logPath + "\n");
        const size_t offered = output.find(kOffer);
        ASSERT_NE(opened, std::string::npos);
        ASSERT_NE(offered, std::string::npos);
        EXPECT_LT(opened, offered);
    }
    // Only the Yes posted.
    EXPECT_EQ(m_sockets.Connections().size(), 1u);
}

TEST_F(HandOverTest, DecliningSendsNothing) {
    for (const char* answer : {"n", "no", "NO"}) {
        ScriptedConsole console;
        console.AddLine(answer);
        WriteLog("a log of more than ten bytes\r\n");
        HandOver();
    }
    // End of input answers No as well.
    HandOver();
    EXPECT_TRUE(WaitForAllThreads());
    EXPECT_TRUE(m_sockets.Connections().empty());
    EXPECT_EQ(g_sendThreadId.load(), 0u);
}

TEST_F(HandOverTest, OnlyLogsOfMoreThanTenBytesAreSent) {
    struct Case {
        std::string log;
        size_t posts;
    };
    const Case cases[] = {
        {"0123456789", 0},
        {"0123456789A", 1},
        {"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log.size());
        FakeSockets sockets;
        FakeConnectionScript thanks;
        thanks.answer = kThanksAnswer;
        sockets.SetDefault(thanks);
        WriteLog(c.log);
        m_console.AddLine("y");
        HandOver();
        ASSERT_TRUE(WaitForAllThreads());
        const std::vector<FakeConnection> connections = sockets.Connections();
        ASSERT_EQ(connections.size(), c.posts);
        if (c.posts > 0) {
            const std::string& sent = connections[0].sent;
            EXPECT_EQ(sent.substr(sent.size() - c.log.size() - 11), "&EmailBody=" + c.log);
        }
    }
    // A missing log is not offered either.
    unlink(m_logPath.c_str());
    m_console.AddLine("y");
    HandOver();
    ASSERT_TRUE(WaitForAllThreads());
    EXPECT_TRUE(m_sockets.Connections().empty());
    // None of this showed a message beyond the offer.
    EXPECT_EQ(CountOf(m_console.Output(), "Can not"), 0);
}

TEST_F(HandOverTest, AngleBracketsAreSentAsSquareOnesAndTheFileStays) {
    const std::string log = "OUT: AT<CR>\r\nIN : <OK>\r\n>>> done <<<\r\n";
    WriteLog(log);
    m_console.AddLine("y");
    HandOver();
    ASSERT_TRUE(WaitForAllThreads());
    const std::string body = PostedBody();
    const std::string emailBody = body.substr(body.find("&EmailBody=") + 11);
    EXPECT_EQ(emailBody,
              "OUT%3A+AT%5BCR%5D%0D%0AIN+%3A+%5BOK%5D%0D%0A%5D%5D%5D+done+%5B%5B%5B%0D%0A");
    EXPECT_EQ(ReadWholeFile(m_logPath), log);
}

TEST_F(HandOverTest, FillsTheSubmissionInputs) {
    // A zero byte ends the sanitising; the bytes behind it are handed over as they are.
    const std::string log("<a> and <b>\0<c> and <d>", 23);
    WriteLog(log);
    HoldThePostInConnect();
    m_console.AddLine("y");
    CDialog* owner = HandOver();

    ASSERT_NE(g_sendThread.load(), nullptr);
    ASSERT_NE(g_sendThreadId.load(), 0u);
    EXPECT_EQ(g_sendOwnerWnd.load(), owner);
    EXPECT_STREQ(g_sendSubject, "Dunvarlotek Modem Test find fax modems");
    EXPECT_STREQ(g_sendMessage, "Please advise...");
    ASSERT_NE(g_sendLogText, nullptr);
    // The block is the file's size plus a zero byte.
    EXPECT_EQ(std::string(g_sendLogText, log.size() + 1),
              std::string("[a] and [b]\0<c> and <d>\0", 24));

    m_release.store(true);
    ASSERT_TRUE(WaitForAllThreads());
    EXPECT_EQ(g_sendLogText, nullptr);
    const std::string body = PostedBody();
    EXPECT_NE(body.find("&Subject=Dunvarlotek+Modem+Test+find+fax+modems&EmailBody="),
              std::string::npos);
    EXPECT_NE(body.find("MSG+-+Please+advise...%0D%0A"), std::string::npos);
    const std::string tail = "&EmailBody=%5Ba%5D+and+%5Bb%5D";
    ASSERT_GE(body.size(), tail.size());
    EXPECT_EQ(body.substr(body.size() - tail.size()), tail);
}

// Uses up every descriptor the process may open, for the length of one call.
class DescriptorExhaustion {
  public:
    DescriptorExhaustion() {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        struct rlimit low = m_saved;
        low.rlim_cur = 64;
        setrlimit(RLIMIT_NOFILE, &low);
        for (;;) {
            const int fd = dup(STDERR_FILENO);
            if (fd < 0)
                break;
            m_taken.push_back(fd);
        }
    }
    ~DescriptorExhaustion() {
        for (int fd : m_taken)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &m_saved);
    }

  private:
    struct rlimit m_saved;
    std::vector<int> m_taken;
};

TEST_F(HandOverTest, LogThatCannotBeOpenedIsReported) {
    WriteLog("a log of more than ten bytes\r\n");
    m_console.AddLine("y");
    RunInWindow(IDD_SEARCH, [&](CDialog* window) {
        DescriptorExhaustion exhaustion;
        HandOverLog(window);
    });
    ASSERT_TRUE(WaitForAllThreads());
    EXPECT_NE(m_console.Output().find("\n-- Dunvarlotek Modem Test --\nCan not Open:\n" +
                                      m_logPath + "\n"),
              std::string::npos);
    EXPECT_TRUE(m_sockets.Connections().empty());
    EXPECT_EQ(g_sendThreadId.load(), 0u);
}

TEST_F(HandOverTest, LogThatCannotBeReadIsReported) {
    // A folder in the log's place: its status and opening succeed, reading does not.
    ASSERT_EQ(mkdir(m_logPath.c_str(), 0700), 0);
    std::ofstream(m_logPath + "/a-long-file-name-that-makes-the-folder-bigger.txt") << "x";
    struct stat status;
    ASSERT_EQ(stat(m_logPath.c_str(), &status), 0);
    ASSERT_GT(status.st_size, 10);
    m_console.AddLine("y");
    HandOver();
    ASSERT_TRUE(WaitForAllThreads());
    EXPECT_NE(m_console.Output().find("\n-- Dunvarlotek Modem Test --\nCan not Read:\n" +
                                      m_logPath + "\n"),
              std::string::npos);
    EXPECT_TRUE(m_sockets.Connections().empty());
    EXPECT_EQ(g_sendThreadId.load(), 0u);
}

TEST_F(HandOverTest, PostThatCannotStartReleasesTheText) {
    WriteLog("a log of more than ten bytes\r\n");
    m_console.AddLine("y");
    OsFailThreadStarts(1);
    HandOver();
    EXPECT_EQ(g_sendThread.load(), nullptr);
    EXPECT_EQ(g_sendThreadId.load(), 0u);
    EXPECT_EQ(g_sendLogText, nullptr);  // and AddressSanitizer sees no leak
    EXPECT_TRUE(m_sockets.Connections().empty());
    EXPECT_EQ(CountOf(m_console.Output(), "Can not"), 0);
}

TEST_F(HandOverTest, RunningPostKeepsItsInputs) {
    WriteLog("a log of more than ten bytes\r\n");
    HoldThePostInConnect();
    m_console.AddLine("y");
    HandOver();
    const OsThread running = g_sendThread.load();
    char* runningText = g_sendLogText;
    ASSERT_NE(running, nullptr);

    g_sendOwnerWnd.store(nullptr);
    WriteLog("another log, not to be mixed in\r\n");
    m_console.AddLine("y");
    HandOver();
    EXPECT_EQ(g_sendThread.load(), running);
    EXPECT_EQ(g_sendLogText, runningText);
    EXPECT_EQ(g_sendOwnerWnd.load(), nullptr);

    m_release.store(true);
    ASSERT_TRUE(WaitForAllThreads());
    ASSERT_EQ(m_sockets.Connections().size(), 1u);
    EXPECT_NE(PostedBody().find("&EmailBody=a+log+of+more"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// CheckSendBusy

class BusyCheckTest : public testing::Test {
  protected:
    void SetUp() override { ResetProgramState(); }
    void TearDown() override { ResetProgramState(); }

    // Runs the busy check in a search window with `answers` queued on `console`, while an
    // earlier post runs that ends as the `questionsUntilEnd`-th busy question waits for its
    // answer (0: no post is running).
    int CheckWithAnswers(ScriptedConsole& console, std::initializer_list<const char*> answers,
                         int questionsUntilEnd) {
        if (questionsUntilEnd > 0) {
            g_sendThreadId.store(4242);
            g_sendThread.store(reinterpret_cast<OsThread>(&m_fakeHandle));
        }
        console.AddLines(answers);
        console.SetOnRead([questionsUntilEnd](const std::string& output) {
            if (CountOf(output, kBusy) == questionsUntilEnd) {
                g_sendThread.store(nullptr);
                g_sendThreadId.store(0);
            }
        });
        int result = -1;
        RunInWindow(IDD_SEARCH, [&](CDialog* window) { result = CheckSendBusy(window); });
        return result;
    }

    int m_fakeHandle = 0;
};

TEST_F(BusyCheckTest, NoPostRunningAsksNothing) {
    ScriptedConsole console;
    EXPECT_EQ(CheckWithAnswers(console, {"n"}, 0), 1);
    EXPECT_EQ(CountOf(console.Output(), kBusy), 0);
    EXPECT_EQ(console.LinesRead(), 0);
}

TEST_F(BusyCheckTest, QuestionComesBackUntilThePostHasEnded) {
    struct Case {
        std::initializer_list<const char*> answers;
        int questions;
        int result;
    };
    const Case cases[] = {
        {{"y"}, 1, 1},           {{"y", "y", "y"}, 3, 1}, {{"n"}, 1, 0},
        {{"n", "y", "y"}, 3, 0}, {{"y", "n", "y"}, 3, 0}, {{"y", "y", "n"}, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.questions << " questions, result " << c.result);
        ScriptedConsole console;
        EXPECT_EQ(CheckWithAnswers(console, c.answers, c.questions), c.result);
        EXPECT_EQ(CountOf(console.Output(), kBusy), c.questions);
        EXPECT_EQ(console.LinesRead(), c.questions);
    }
}

TEST_F(BusyCheckTest, QuestionIsAskedWithTheWholeText) {
    ScriptedConsole console;
    EXPECT_EQ(CheckWithAnswers(console, {"y"}, 1), 1);
    EXPECT_NE(console.Output().find("\n-- Dunvarlotek Modem Test --\n"
                                    "The Send-to-Dunvarlotek is busy. Please wait and retry "
                                    "later.\n\nDo you want to try again now?\n"),
              std::string::npos);
}

}  // namespace
