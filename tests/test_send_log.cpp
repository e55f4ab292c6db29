// The support form post: form encoding, info block, body and header byte for byte, the attempts,
// the answer test, the waits and the clean-up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FakeClock.h"
#include "FakeSockets.h"
#include "ProgramState.h"
#include "ScriptedConsole.h"
#include "app/App.h"
#include "common/Common.h"
#include "support/FormPost.h"
#include "support/Support.h"
#include "sysinfo/SystemDescription.h"
#include "ui/Ui.h"
#include "ui/console/ConsoleTesting.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Form encoding

std::string Encoded(const char* value, long room) {
    char out[64];
    memset(out, '#', sizeof out);
    out[0] = '\0';
    FormEncode(value, out, room);
    return out;
}

TEST(FormEncodeTest, EncodingTable) {
    struct Case {
        const char* value;
        long room;
        const char* out;
    };
    const Case cases[] = {
        {"a b", 20, "a+b"},
        {"AZaz09-.@", 20, "AZaz09-.@"},
        {"_*\r\n%&=+", 40, "%5F%2A%0D%0A%25%26%3D%2B"},
        {"\xE9\xFF\x80\x7F\x01", 40, "%E9%FF%80%7F%01"},
        {"/:~!()[]<>", 40, "%2F%3A%7E%21%28%29%5B%5D%3C%3E"},
        {"jo.smith@example.com", 40, "jo.smith@example.com"},
        // The room is checked before each byte; a byte begun below it is written whole.
        {"abcdef", 3, "abc"},
        {"a_b", 2, "a%5F"},
        {"a_b", 1, "a"},
        {"__", 1, "%5F"},
        {"_", 3, "%5F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(Encoded(c.value, c.room), c.out);
    }
}

TEST(FormEncodeTest, EveryByteValue) {
    for (int byte = 1; byte < 256; ++byte) {
        const char value[2] = {static_cast<char>(byte), '\0'};
        char expected[4];
        if (byte == ' ') {
            snprintf(expected, sizeof expected, "+");
        } else if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
                   (byte >= 'a' && byte <= 'z') || byte == '-' || byte == '.' || byte == '@') {
            snprintf(expected, sizeof expected, "%c", byte);
        } else {
            snprintf(expected, sizeof expected, "%%%02X", byte);
        }
        SCOPED_TRACE(byte);
        EXPECT_EQ(Encoded(value, 10), expected);
    }
}

TEST(FormEncodeTest, WritesNothingWithoutValueOrRoom) {
    struct Case {
        const char* value;
        long room;
    };
    const Case cases[] = {{"", 10}, {"abc", 0}, {"abc", -5}, {nullptr, 10}};
    for (const Case& c : cases) {
        char out[8];
        memset(out, '#', sizeof out);
        FormEncode(c.value, out, c.room);
        // Not even a terminator: what was there stays.
        for (char kept : out)
            EXPECT_EQ(kept, '#');
    }
}

TEST(FormEncodeTest, TerminatesBehindEachByte) {
    char out[16];
    memset(out, '#', sizeof out);
    FormEncode("x\xE9", out, 10);
    EXPECT_EQ(std::string(out, 5), std::string("x%E9\0", 5));
    EXPECT_EQ(out[5], '#');
}

// ---------------------------------------------------------------------------------------------
// Info block, body, header, answer test

const char kExampleInfo[] =
    "------------ start info ------------\r\n"
    "WIN - Windows XP, 32bit, CPU: x86 - [1024 X 768]\r\n"
    "APP - Dunvarlotek Modem Test - 24.07.27 - NA\r\n"
    "USE - jo.smith@example.com (Jo Smith)\r\n"
    "SUB - Dunvarlotek Modem Test find fax modems\r\n"
    "MSG - Please advise...\r\n"
    "------------- end info -------------";

std::string ExampleInfo(int width = 1024, int height = 768) {
    char info[kInfoBlockSize];
    BuildInfoBlock(info, sizeof info, "Windows XP, 32bit, CPU: x86", width, height,
                   "jo.smith@example.com", "Jo Smith", "Dunvarlotek Modem Test find fax modems",
                   "Please advise...");
    return info;
}

// The encoded example info block, written out by hand.
std::string EncodedExampleInfo(const char* screen = "%5B1024+X+768%5D") {
    return std::string(
               "------------+start+info+------------%0D%0A"
               "WIN+-+Windows+XP%2C+32bit%2C+CPU%3A+x86+-+") +
           screen +
           "%0D%0A"
           "APP+-+Dunvarlotek+Modem+Test+-+24.07.27+-+NA%0D%0A"
           "USE+-+jo.smith@example.com+%28Jo+Smith%29%0D%0A"
           "SUB+-+Dunvarlotek+Modem+Test+find+fax+modems%0D%0A"
           "MSG+-+Please+advise...%0D%0A"
           "-------------+end+info+-------------";
}

const char kExampleLog[] = "Line_1\r\n\xE9t\xE9 [OK]\r\n";
const char kEncodedExampleLog[] = "Line%5F1%0D%0A%E9t%E9+%5BOK%5D%0D%0A";

std::string ExampleBody(const std::string& encodedInfo, const char* encodedSubject,
                        const char* encodedLog) {
    return "ToName=Veskarin&szEmailBodyInfo=" + encodedInfo +
           "&FromName=Jo+Smith&FromEmail=jo.smith@example.com&Subject=" + encodedSubject +
           "&EmailBody=" + encodedLog;
}

std::string BuildBody(const std::string& info, const char* subject, const std::string& log,
                      size_t budget) {
    std::vector<char> body(budget + kBodySlack, '\0');
    const size_t length = BuildFormBody(body.data(), budget, info.c_str(), "Jo Smith",
                                        "jo.smith@example.com", subject, log.c_str());
    EXPECT_EQ(length, strlen(body.data()));
    return body.data();
}

TEST(FormPostTest, InfoBlockHasItsSevenLines) {
    EXPECT_EQ(ExampleInfo(), kExampleInfo);
    EXPECT_EQ(strlen(kInfoBlockTemplate), 83u);
}

TEST(FormPostTest, InfoBlockIsBoundedTo4095Characters) {
    const std::string huge(5000, 'd');
    char info[kInfoBlockSize + 8];
    memset(info, '#', sizeof info);
    BuildInfoBlock(info, kInfoBlockSize, huge.c_str(), 1, 1, "e", "n", "s", "m");
    EXPECT_EQ(strlen(info), 4095u);
    EXPECT_EQ(info[kInfoBlockSize], '#');
}

TEST(FormPostTest, BodyHasTheSixFieldsInOrder) {
    const std::string body = BuildBody(ExampleInfo(), "Dunvarlotek Modem Test find fax modems",
                                       kExampleLog, FormBodyBudget(strlen(kExampleLog)));
    EXPECT_EQ(body, ExampleBody(EncodedExampleInfo(), "Dunvarlotek+Modem+Test+find+fax+modems",
                                kEncodedExampleLog));
    // As the post's first bytes read.
    EXPECT_EQ(body.rfind(
                  "ToName=Veskarin&szEmailBodyInfo=------------+start+info+------------%0D%0AWIN+-+"
                  "Windows+XP%2C+32bit%2C+CPU%3A+x86+-+%5B1024+X+768%5D%0D%0A",
                  0),
              0u);
}

TEST(FormPostTest, EmptySubjectLeavesTheLabelsSideBySide) {
    const std::string body =
        BuildBody(ExampleInfo(), "", kExampleLog, FormBodyBudget(strlen(kExampleLog)));
    EXPECT_NE(body.find("&Subject=&EmailBody=Line%5F1"), std::string::npos);
}

TEST(FormPostTest, BudgetFollowsTheLogLength) {
    EXPECT_EQ(FormBodyBudget(0), 2608u);
    EXPECT_EQ(FormBodyBudget(1000), 4608u);
    // A log too long for a post in memory is refused rather than overflowing the sums.
    EXPECT_EQ(FormBodyBudget(static_cast<size_t>(-1) / 2), 0u);
    EXPECT_EQ(FormBodyBudget(static_cast<size_t>(-1)), 0u);
}

TEST(FormPostTest, LogOfEscapesIsCutAtTheBudget) {
    // Every byte of this log takes three characters: the body would grow past 83 + 2L + 2525.
    const std::string log(3000, '\r');
    const size_t budget = FormBodyBudget(log.size());
    const std::string body = BuildBody(ExampleInfo(), "subject", log, budget);
    const std::string whole = BuildBody(ExampleInfo(), "subject", log, 100000);
    ASSERT_GT(whole.size(), budget + 2);
    // The cut body is the start of the whole one, ends on a whole escape and stops within two
    // characters behind the budget.
    EXPECT_EQ(whole.compare(0, body.size(), body), 0);
    EXPECT_GE(body.size(), budget);
    EXPECT_LE(body.size(), budget + 2);
    EXPECT_EQ(body.substr(body.size() - 3), "%0D");
}

TEST(FormPostTest, LaterFieldsAreLeftOutOnceTheBudgetIsUsed) {
    const std::string info = ExampleInfo();
    const std::string prefix = "ToName=Veskarin&szEmailBodyInfo=" + EncodedExampleInfo();
    struct Case {
        size_t budget;
        std::string body;
    };
    const Case cases[] = {
        // The info value is cut: nothing behind it.
        {60, prefix.substr(0, 60)},
        // The next label is cut to fit B - 2 characters; its value gets the two left.
        {prefix.size() + 6, prefix + "&FroJo"},
        // The label fits exactly; its value gets the room that is left, a byte begun is whole.
        {prefix.size() + 13, prefix + "&FromName=Jo+"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.budget);
        EXPECT_EQ(BuildBody(info, "subject", kExampleLog, c.budget), c.body);
    }
}

std::string ExpectedHeader(const char* host, size_t bodyLength) {
    return std::string("POST http://") + host +
           "/form/tsemail.pl HTTP/1.1\r\n"
           "Accept: */*\r\n"
           "Accept-Language: en-us\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\n"
           "User-Agent: Dunvarlotek\r\n"
           "Host: " +
           host +
           "\r\n"
           "Content-Length: " +
           std::to_string(bodyLength) +
           "\r\n"
           "Connection: Keep-Alive\r\n"
           "Cache-Control: no-cache\r\n"
           "\r\n";
}

TEST(FormPostTest, RequestHeaderByteForByte) {
    char header[kRequestHeaderSize];
    const size_t length = BuildRequestHeader(header, sizeof header, "forms.example.org", 1234);
    EXPECT_EQ(std::string(header), ExpectedHeader("forms.example.org", 1234));
    EXPECT_EQ(length, strlen(header));
}

TEST(FormPostTest, AnswerTest) {
    struct Case {
        const char* answer;
        bool thanked;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\n\r\nThank you for your mail", true},
        {"thank you", true},
        {"THANKS!", true},
        {"tHaNk", true},
        {"Thanx a lot", false},
        {"HTTP/1.1 500 Internal Server Error\r\n", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        char answer[128];
        snprintf(answer, sizeof answer, "%s", c.answer);
        EXPECT_EQ(AnswerSaysThanks(answer), c.thanked);
    }
    char trailing[] = "ok \r\n";
    AnswerSaysThanks(trailing);
    EXPECT_STREQ(trailing, "ok");
}

// ---------------------------------------------------------------------------------------------
// SendLogThread

const char kThanksAnswer[] = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nthank you\r\n";

FakeConnectionScript Answering(const std::string& answer) {
    FakeConnectionScript script;
    script.answer = answer;
    return script;
}

class SendLogTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetProgramState();
        FailBodyAllocations(0);
        snprintf(g_userName, sizeof g_userName, "Jo Smith");
        snprintf(g_userEmail, sizeof g_userEmail, "jo.smith@example.com");
        snprintf(g_osDescription, sizeof g_osDescription, "Windows XP, 32bit, CPU: x86");
        snprintf(g_sendSubject, sizeof g_sendSubject, "Dunvarlotek Modem Test find fax modems");
        snprintf(g_sendMessage, sizeof g_sendMessage, "Please advise...");
        // Message boxes of the post are served by this thread while it waits.
        ConsoleAttachUiThread();
    }

    void TearDown() override {
        m_release.store(true);
        EXPECT_TRUE(WaitForPostToEnd());
        EXPECT_TRUE(WaitForAllThreads());
        ConsoleDetachUiThread();
        FailBodyAllocations(0);
        memset(g_osDescription, 0, sizeof g_osDescription);
        ResetProgramState();
    }

    // Hands `log` over as the hand-over does and starts the post.
    void StartPost(const std::string& log) {
        char* text = static_cast<char*>(calloc(log.size() + 1, 1));
        ASSERT_NE(text, nullptr);
        memcpy(text, log.data(), log.size());
        g_sendLogText = text;
        ASSERT_EQ(StartSendLogThread(), 1);
    }

    // Serves message boxes until the post has ended (real time, at most 20 s).
    bool WaitForPostToEnd() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (g_sendThread.load() != nullptr || g_sendThreadId.load() != 0 ||
               OsRunningThreadCount() > 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            UiPumpMessages();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }

    void Post(const std::string& log) {
        StartPost(log);
        ASSERT_TRUE(WaitForPostToEnd());
    }

    void ExpectCleanedUp() {
        EXPECT_EQ(g_sendThread.load(), nullptr);
        EXPECT_EQ(g_sendThreadId.load(), 0u);
        EXPECT_EQ(g_sendLogText, nullptr);
        EXPECT_EQ(m_sockets.OpenSocketCount(), 0);
        EXPECT_EQ(m_sockets.Misuses(), 0);
    }

    std::string ExpectedBody(const std::string& encodedLog) {
        // The terminal reports no screen size.
        return ExampleBody(EncodedExampleInfo("%5B0+X+0%5D"),
                           "Dunvarlotek+Modem+Test+find+fax+modems", encodedLog.c_str());
    }

    ScriptedConsole m_console;
    FakeClock m_clock{FakeClock::kDefaultStartMs, 0};
    FakeSockets m_sockets;
    std::atomic<bool> m_release{false};
};

TEST_F(SendLogTest, PostsTheFormOnceWhenThanked) {
    m_sockets.SetDefault(Answering(kThanksAnswer));
    Post(kExampleLog);

    const std::vector<FakeConnection> connections = m_sockets.Connections();
    ASSERT_EQ(connections.size(), 1u);
    const FakeConnection& c = connections[0];
    const std::string body = ExpectedBody(kEncodedExampleLog);
    const std::string header = ExpectedHeader(kSupportHost, body.size());
    EXPECT_EQ(c.sent, header + body);
    EXPECT_EQ(c.resolvedHost, kSupportHost);
    EXPECT_EQ(c.address, FakeSockets::kServerAddress);
    EXPECT_EQ(c.port, 80);
    // Header in one send, then the body; the answer is waited for without blocking.
    ASSERT_EQ(c.sendSizes.size(), 2u);
    EXPECT_EQ(c.sendSizes[0], static_cast<long>(header.size()));
    EXPECT_TRUE(c.nonBlocking);
    EXPECT_FALSE(c.sentAfterNonBlocking);
    EXPECT_EQ(c.largestPeek, 4096);
    EXPECT_TRUE(c.closed);
    ExpectCleanedUp();
    EXPECT_EQ(m_console.Output(), "");  // nothing is shown about the outcome
}

TEST_F(SendLogTest, BodyGoesOutInPiecesOfAtMost4096Bytes) {
    m_sockets.SetDefault(Answering(kThanksAnswer));
    const std::string log(10000, 'a');
    Post(log);

    const std::vector<FakeConnection> connections = m_sockets.Connections();
    ASSERT_EQ(connections.size(), 1u);
    const std::string body = ExpectedBody(log);
    EXPECT_EQ(connections[0].sent, ExpectedHeader(kSupportHost, body.size()) + body);
    const std::vector<long>& sizes = connections[0].sendSizes;
    ASSERT_EQ(sizes.size(), 4u);
    EXPECT_EQ(sizes[1], 4096);
    EXPECT_EQ(sizes[2], 4096);
    EXPECT_EQ(sizes[3], static_cast<long>(body.size()) - 8192);
    ExpectCleanedUp();
}

TEST_F(SendLogTest, PartialSendsMoveOnByTheCountSent) {
    // Every body send takes at most 1000 bytes of the up to 4096 it is given.
    FakeConnectionScript script = Answering(kThanksAnswer);
    script.sendLimit = 1000;
    m_sockets.SetDefault(script);
    const std::string log(6000, 'b');
    Post(log);
    const std::vector<FakeConnection> connections = m_sockets.Connections();
    ASSERT_EQ(connections.size(), 1u);
    const std::string body = ExpectedBody(log);
    EXPECT_EQ(connections[0].sent, ExpectedHeader(kSupportHost, body.size()) + body);
    const std::vector<long>& sizes = connections[0].sendSizes;
    ASSERT_GE(sizes.size(), 3u);
    EXPECT_EQ(sizes[1], 4096);
    EXPECT_EQ(sizes[2], 4096);
    EXPECT_EQ(sizes.back(), static_cast<long>(body.size() % 1000));
    ExpectCleanedUp();
}

TEST_F(SendLogTest, FailedBodySendStillWaitsForTheAnswer) {
    const std::string body = ExpectedBody(std::string(9000, 'd'));
    const std::string header = ExpectedHeader(kSupportHost, body.size());
    FakeConnectionScript script = Answering(kThanksAnswer);
    script.failSendsAfter = static_cast<long>(header.size()) + 5000;
    m_sockets.SetDefault(script);
    Post(std::string(9000, 'd'));
    const std::vector<FakeConnection> connections = m_sockets.Connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].sent, header + body.substr(0, 5000));
    EXPECT_GT(connections[0].peeks, 0);
    ExpectCleanedUp();
}

TEST_F(SendLogTest, AnswerDecidesTheAttempts) {
    struct Case {
        const char* name;
        std::string answer;
        size_t attempts;
    };
    const Case cases[] = {
        {"lower case", "HTTP/1.1 200 OK\r\n\r\nthank you", 1},
        {"upper case", "HTTP/1.1 200 OK\r\n\r\nTHANK YOU", 1},
        {"10 bytes are never examined", "Thank you!", 3},
        {"11 bytes", "Thank you!!", 1},
        {"no thanks", "HTTP/1.1 404 Not Found\r\n\r\n", 3},
        {"nothing arrives", "", 3},
        {"within the first 4096 bytes", std::string(4091, 'x') + "Thank", 1},
        {"past the first 4096 bytes", std::string(4092, 'x') + "Thank", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSockets sockets;
        sockets.SetDefault(Answering(c.answer));
        Post("a log of some length");
        const std::vector<FakeConnection> connections = sockets.Connections();
        EXPECT_EQ(connections.size(), c.attempts);
        for (const FakeConnection& connection : connections) {
            EXPECT_TRUE(connection.closed);
            EXPECT_EQ(connection.largestPeek, 4096);
        }
        EXPECT_EQ(sockets.OpenSocketCount(), 0);
        EXPECT_EQ(g_sendLogText, nullptr);
    }
}

TEST_F(SendLogTest, EachFailedAttemptWaitsTenSecondsAndSendsTheSameBytes) {
    m_sockets.SetDefault(Answering("HTTP/1.1 503 Busy\r\n\r\nPlease try later"));
    Post(kExampleLog);
    const std::vector<FakeConnection> c = m_sockets.Connections();
    ASSERT_EQ(c.size(), 3u);
    for (size_t i = 0; i < c.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c[i].sent, c[0].sent);
        const uint64_t waited = c[i].closeMs - c[i].lastSendMs;
        EXPECT_GE(waited, 10000u);
        EXPECT_LT(waited, 10500u);
        // The next attempt starts at once.
        if (i > 0) {
            EXPECT_LE(c[i].connectMs - c[i - 1].closeMs, 1u);
        }
    }
    ExpectCleanedUp();
}

TEST_F(SendLogTest, ShortAnswerIsPeekedOncePerPoll) {
    m_sockets.SetDefault(Answering("Thanks!"));
    Post(kExampleLog);
    const std::vector<FakeConnection> c = m_sockets.Connections();
    ASSERT_EQ(c.size(), 3u);
    // One peek every 256 ms until 10 s have passed: never the second, closer look.
    for (const FakeConnection& connection : c)
        EXPECT_EQ(connection.peeks, 40);
    ExpectCleanedUp();
}

TEST_F(SendLogTest, FailuresBeforeTheSendEndTheAttemptAtOnce) {
    struct Case {
        const char* name;
        FakeConnectionScript script;
        size_t sendsPerAttempt;
    };
    FakeConnectionScript noSocket;
    noSocket.openFails = true;
    FakeConnectionScript unresolved = Answering(kThanksAnswer);
    unresolved.resolveFails = true;
    FakeConnectionScript refused = Answering(kThanksAnswer);
    refused.connectFails = true;
    FakeConnectionScript shortHeader = Answering(kThanksAnswer);
    shortHeader.headerSendResult = 10;
    FakeConnectionScript failedHeader = Answering(kThanksAnswer);
    failedHeader.headerSendResult = -1;
    const Case cases[] = {
        {"socket creation fails", noSocket, 0}, {"host does not resolve", unresolved, 0},
        {"connection refused", refused, 0},     {"header send short", shortHeader, 1},
        {"header send fails", failedHeader, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSockets sockets;
        sockets.SetDefault(c.script);
        Post(kExampleLog);
        const std::vector<FakeConnection> connections = sockets.Connections();
        ASSERT_EQ(connections.size(), 3u);
        for (const FakeConnection& connection : connections) {
            EXPECT_EQ(connection.sendSizes.size(), c.sendsPerAttempt);
            EXPECT_EQ(connection.peeks, 0);
            EXPECT_EQ(connection.closed, connection.opened);
        }
        EXPECT_EQ(sockets.OpenSocketCount(), 0);
        EXPECT_EQ(sockets.Misuses(), 0);
        EXPECT_EQ(g_sendLogText, nullptr);
        EXPECT_EQ(g_sendThreadId.load(), 0u);
    }
    EXPECT_EQ(m_console.Output(), "");
}

TEST_F(SendLogTest, LaterAttemptCanSucceed) {
    FakeConnectionScript unresolved;
    unresolved.resolveFails = true;
    FakeConnectionScript refused;
    refused.connectFails = true;
    m_sockets.AddConnection(unresolved);
    m_sockets.AddConnection(refused);
    m_sockets.AddConnection(Answering(kThanksAnswer));
    m_sockets.SetDefault(Answering(kThanksAnswer));
    Post(kExampleLog);
    const std::vector<FakeConnection> c = m_sockets.Connections();
    ASSERT_EQ(c.size(), 3u);
    const std::string body = ExpectedBody(kEncodedExampleLog);
    EXPECT_EQ(c[2].sent, ExpectedHeader(kSupportHost, body.size()) + body);
    ExpectCleanedUp();
}

TEST_F(SendLogTest, SecondAttemptEndsThePostWhenThanked) {
    m_sockets.AddConnection(Answering("HTTP/1.1 500 Oops\r\n"));
    m_sockets.AddConnection(Answering(kThanksAnswer));
    m_sockets.SetDefault(Answering(kThanksAnswer));
    Post(kExampleLog);
    EXPECT_EQ(m_sockets.Connections().size(), 2u);
    ExpectCleanedUp();
}

TEST_F(SendLogTest, PendingClockChangesEndTheWaits) {
    // Each wait gives one change to the pause inside it and takes one itself.
    g_clockChanges.store(10);
    m_sockets.SetDefault(Answering(""));
    Post(kExampleLog);
    const std::vector<FakeConnection> c = m_sockets.Connections();
    ASSERT_EQ(c.size(), 3u);
    for (const FakeConnection& connection : c) {
        EXPECT_LT(connection.closeMs - connection.lastSendMs, 10u);
    }
    EXPECT_EQ(g_clockChanges.load(), 4);
    ExpectCleanedUp();
}

TEST_F(SendLogTest, ClockChangeDuringAWaitEndsThatWait) {
    m_sockets.SetDefault(Answering(""));
    m_sockets.SetOnPeek([](int connection, int peek) {
        if (connection == 0 && peek == 3)
            g_clockChanges.store(1);
    });
    Post(kExampleLog);
    const std::vector<FakeConnection> c = m_sockets.Connections();
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[0].closeMs - c[0].lastSendMs, 4u * 256u);
    EXPECT_GE(c[1].closeMs - c[1].lastSendMs, 10000u);
    EXPECT_EQ(g_clockChanges.load(), 0);
    ExpectCleanedUp();
}

TEST_F(SendLogTest, QuitEndsEveryRemainingWaitAtOnce) {
    m_sockets.SetDefault(Answering("HTTP/1.1 500 Oops\r\n"));
    m_sockets.SetOnPeek([](int connection, int peek) {
        if (connection == 0 && peek == 2)
            g_quit.store(1);
    });
    Post(kExampleLog);
    const std::vector<FakeConnection> c = m_sockets.Connections();
    ASSERT_EQ(c.size(), 3u);
    EXPECT_LT(c[0].closeMs - c[0].lastSendMs, 2000u);
    for (size_t i = 1; i < c.size(); ++i) {
        EXPECT_LE(c[i].closeMs - c[i].lastSendMs, 2u);
        EXPECT_EQ(c[i].sent, c[0].sent);
    }
    ExpectCleanedUp();
}

TEST_F(SendLogTest, SecondPostReusesTheSocketLibrary) {
    m_sockets.SetDefault(Answering(kThanksAnswer));
    Post(kExampleLog);
    EXPECT_EQ(g_wsaStarted.load(), 1);
    Post("second log, second post");
    EXPECT_EQ(m_sockets.StartCalls(), 1);
    EXPECT_EQ(m_sockets.Connections().size(), 2u);
    ExpectCleanedUp();
}

TEST_F(SendLogTest, SocketStartFailureIsShownAndNothingIsSent) {
    m_sockets.SetStartResult(false);
    m_sockets.SetDefault(Answering(kThanksAnswer));
    Post(kExampleLog);
    EXPECT_EQ(m_console.Output(), "\n-- Dunvarlotek Modem Test --\nStartWSAStartup failed\n");
    EXPECT_TRUE(m_sockets.Connections().empty());
    EXPECT_EQ(g_wsaStarted.load(), 0);
    ExpectCleanedUp();

    // The next post tries to start the library again.
    m_sockets.SetStartResult(true);
    Post(kExampleLog);
    EXPECT_EQ(m_sockets.StartCalls(), 2);
    EXPECT_EQ(m_sockets.Connections().size(), 1u);
    ExpectCleanedUp();
}

TEST_F(SendLogTest, BodyAllocationFailureIsShownAndNothingIsSent) {
    m_sockets.SetDefault(Answering(kThanksAnswer));
    FailBodyAllocations(1);
    Post(kExampleLog);
    EXPECT_EQ(m_console.Output(),
              "\n-- Dunvarlotek Modem Test --\n"
              "Not enough local memory to run [Dunvarlotek email form](1).\n");
    EXPECT_TRUE(m_sockets.Connections().empty());
    ExpectCleanedUp();
}

TEST_F(SendLogTest, OnlyOnePostAtATime) {
    m_sockets.SetDefault(Answering(kThanksAnswer));
    m_sockets.SetOnConnect([this](int) {
        while (!m_release.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    StartPost(kExampleLog);
    const OsThread running = g_sendThread.load();
    EXPECT_NE(running, nullptr);
    EXPECT_NE(g_sendThreadId.load(), 0u);
    EXPECT_EQ(StartSendLogThread(), 0);
    EXPECT_EQ(g_sendThread.load(), running);
    m_release.store(true);
    ASSERT_TRUE(WaitForPostToEnd());
    EXPECT_EQ(m_sockets.Connections().size(), 1u);
    ExpectCleanedUp();
}

TEST_F(SendLogTest, ThreadThatCannotStartLeavesNoTrace) {
    OsFailThreadStarts(1);
    EXPECT_EQ(StartSendLogThread(), 0);
    EXPECT_EQ(g_sendThread.load(), nullptr);
    EXPECT_EQ(g_sendThreadId.load(), 0u);
}

TEST_F(SendLogTest, WaitForSendLogThreadIsBoundedAndSeesTheEnd) {
    EXPECT_EQ(WaitForSendLogThread(10000), 1);  // nothing running

    FakeConnectionScript refused;
    refused.connectFails = true;
    m_sockets.SetDefault(refused);
    m_sockets.SetOnConnect([this](int) {
        while (!m_release.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    // As at program end: the quit flag is set and the post is stuck in a connect.
    g_quit.store(1);
    StartPost(kExampleLog);
    const uint64_t start = OsNowMs();
    EXPECT_EQ(WaitForSendLogThread(10000), 0);
    const uint64_t waited = OsNowMs() - start;
    EXPECT_GE(waited, 10000u);
    EXPECT_LT(waited, 10200u);

    m_release.store(true);
    EXPECT_EQ(WaitForSendLogThread(3600000), 1);
    EXPECT_EQ(g_sendThread.load(), nullptr);
    EXPECT_EQ(g_sendThreadId.load(), 0u);
}

TEST_F(SendLogTest, FinishedPostCanNeverLookBusy) {
    // A post that fails at once, many times over: the clean-up must always be the last write to
    // the handle and id, however quickly the thread ends.
    FakeConnectionScript noSocket;
    noSocket.openFails = true;
    m_sockets.SetDefault(noSocket);
    for (int run = 0; run < 200; ++run) {
        StartPost("x");
        ASSERT_TRUE(WaitForPostToEnd()) << run;
        ASSERT_EQ(g_sendThread.load(), nullptr) << run;
        ASSERT_EQ(g_sendThreadId.load(), 0u) << run;
        ASSERT_EQ(g_sendLogText, nullptr) << run;
    }
}

}  // namespace
