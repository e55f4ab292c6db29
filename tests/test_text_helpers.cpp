// The shared helpers: text functions, PumpWait and the asctime form.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "FakeClock.h"
#include "WindowHarness.h"
#include "common/Common.h"
#include "resources/Resources.h"

namespace {

struct FindCase {
    const char* text;
    const char* pattern;
    int offset;  // -1: no match
};

TEST(FindNoCase, FindsIgnoringCaseOfAsciiLettersOnly) {
    const FindCase cases[] = {
        {"Hello World", "WORLD", 6},
        {"\r\nok\r\n", "OK\r", 2},
        {"aXbxc", "XC", 3},
        {"abc", "", 0},
        {"", "", 0},
        {"abc", "abcd", -1},
        {"", "a", -1},
        {"BROKEN", "ok", 2},
        // Only A to Z are lowered: bytes above 127 keep their case.
        {"\xC4X", "\xE4x", -1},
        {"\xC4X", "\xC4x", 0},
        {"[ERROR]", "{error}", -1},
    };
    for (const FindCase& c : cases) {
        const char* found = FindNoCase(c.text, c.pattern);
        if (c.offset < 0) {
            EXPECT_EQ(found, nullptr) << c.text << " / " << c.pattern;
        } else {
            // The result points into the caller's text, not into a copy.
            EXPECT_EQ(found, c.text + c.offset) << c.text << " / " << c.pattern;
        }
    }
    EXPECT_EQ(FindNoCase(nullptr, "a"), nullptr);
    EXPECT_EQ(FindNoCase("a", nullptr), nullptr);
}

TEST(TrimRight, RemovesTrailingLineBreaksAndSpacesOnly) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"abc \r\n", "abc"}, {"abc\t", "abc\t"}, {"abc\t \n", "abc\t"}, {"a\n\n \r", "a"}, {"", ""},
        {"  \r\n ", ""},     {"a b", "a b"},     {"\r\nab", "\r\nab"},
    };
    for (const auto& c : cases) {
        char text[32];
        snprintf(text, sizeof text, "%s", c.in);
        EXPECT_EQ(TrimRight(text), text);
        EXPECT_STREQ(text, c.out);
    }
    EXPECT_EQ(TrimRight(nullptr), nullptr);
}

TEST(CopyBounded, CopiesAtMostCountLessOneAndTerminates) {
    char dst[8];
    memset(dst, 'z', sizeof dst);
    EXPECT_EQ(CopyBounded(dst, "hello", 3), dst);
    EXPECT_STREQ(dst, "he");
    EXPECT_EQ(dst[3], 'z');  // nothing written past the count

    CopyBounded(dst, "hello", sizeof dst);
    EXPECT_STREQ(dst, "hello");
    CopyBounded(dst, nullptr, sizeof dst);
    EXPECT_STREQ(dst, "");
    snprintf(dst, sizeof dst, "x");
    CopyBounded(dst, "abc", 1);
    EXPECT_STREQ(dst, "");
    EXPECT_EQ(CopyBounded(nullptr, "abc", 4), nullptr);
}

TEST(AppendBounded, KeepsTheResultWithinCount) {
    const struct {
        const char* start;
        const char* add;
        size_t count;
        const char* out;
    } cases[] = {
        {"ab", "cd", 8, "abcd"},      {"ab", "cdef", 5, "abcd"}, {"abcd", "x", 5, "abcd"},
        {"abcdef", "x", 4, "abcdef"},  // already beyond count - 1: unchanged
        {"ab", "", 8, "ab"},          {"", "xyz", 3, "xy"},
    };
    for (const auto& c : cases) {
        char dst[16];
        memset(dst, 'z', sizeof dst);
        snprintf(dst, sizeof dst, "%s", c.start);
        EXPECT_EQ(AppendBounded(dst, c.add, c.count), dst);
        EXPECT_STREQ(dst, c.out) << c.start << " + " << c.add << " in " << c.count;
    }
    char dst[8] = "ab";
    EXPECT_EQ(AppendBounded(dst, nullptr, sizeof dst), dst);
    EXPECT_STREQ(dst, "ab");
    EXPECT_EQ(AppendBounded(nullptr, "x", 4), nullptr);
}

TEST(NormalizeLineBreaks, CollapsesRunsAndDropsLeadingBreaks) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"\r\n\r\nOK\r\n", "OK\r\n"},
        {"A\rB\n\nC", "A\r\nB\r\nC"},
        {std::string(12, '\r') + "X", "\r\nX"},  // ten skipped, the run of two collapsed
        {"\n\r\n\rA\n\r", "A\r\n"},
        {"", ""},
        {"plain text", "plain text"},
        {"\r\n", ""},
        {"a\r\n\r\nb\n", "a\r\nb\r\n"},
    };
    for (const auto& c : cases) {
        char text[64];
        snprintf(text, sizeof text, "%s", c.in.c_str());
        NormalizeLineBreaks(text);
        EXPECT_EQ(std::string(text), c.out);
    }
}

TEST(NormalizeLineBreaks, StopsAtTheOutputLimit) {
    static char text[3001];
    memset(text, 'x', 3000);
    text[3000] = '\0';
    NormalizeLineBreaks(text);
    EXPECT_EQ(strlen(text), 2045u);

    // A line break that reaches the limit still becomes a whole CR LF pair: 2046 characters.
    memset(text, 'x', 2044);
    snprintf(text + 2044, sizeof text - 2044, "\r\nyyy");
    NormalizeLineBreaks(text);
    EXPECT_EQ(strlen(text), 2046u);
    EXPECT_EQ(std::string(text + 2044), "\r\n");
}

// PumpWait on the controllable clock: the calling thread's time moves only by its own sleeps.
class PumpWaitTest : public ::testing::Test {
  protected:
    void TearDown() override {
        g_quit.store(0);
        g_clockChanges.store(0);
    }
    FakeClock m_clock{FakeClock::kDefaultStartMs, 0};
};

TEST_F(PumpWaitTest, WaitsTheTimeInOneMillisecondStepsUpToOneSecond) {
    const struct {
        unsigned ms;
        uint64_t elapsed;
        uint64_t sleeps;
    } cases[] = {
        {0, 1, 1},  // pumps and sleeps at least once
        {20, 20, 20},       {60, 60, 60},
        {1000, 1000, 1000}, {1001, 1100, 11},  // above one second: steps of 100 ms
        {2000, 2000, 20},
    };
    for (const auto& c : cases) {
        const uint64_t start = OsNowMs();
        const uint64_t sleepsBefore = m_clock.SleepCalls();
        PumpWait(c.ms);
        EXPECT_EQ(OsNowMs() - start, c.elapsed) << c.ms;
        EXPECT_EQ(m_clock.SleepCalls() - sleepsBefore, c.sleeps) << c.ms;
    }
}

TEST_F(PumpWaitTest, APendingClockChangeEndsOneWaitAfterItsFirstStep) {
    g_clockChanges.store(10);
    uint64_t start = OsNowMs();
    PumpWait(1000);
    EXPECT_EQ(OsNowMs() - start, 1u);
    EXPECT_EQ(g_clockChanges.load(), 9);

    // Ten changes shorten ten waits; the eleventh runs its full time.
    for (int i = 0; i < 9; ++i)
        PumpWait(500);
    EXPECT_EQ(g_clockChanges.load(), 0);
    start = OsNowMs();
    PumpWait(500);
    EXPECT_EQ(OsNowMs() - start, 500u);
    EXPECT_EQ(g_clockChanges.load(), 0);
}

TEST_F(PumpWaitTest, TheQuitFlagEndsEveryWaitAfterItsFirstStep) {
    g_quit.store(1);
    for (unsigned ms : {60u, 1000u, 5000u}) {
        const uint64_t start = OsNowMs();
        PumpWait(ms);
        EXPECT_EQ(OsNowMs() - start, ms <= 1000 ? 1u : 100u) << ms;
    }
}

TEST(TakeClockChange, NeverDropsBelowZero) {
    g_clockChanges.store(2);
    EXPECT_EQ(TakeClockChange(), 1);
    EXPECT_EQ(TakeClockChange(), 1);
    EXPECT_EQ(TakeClockChange(), 0);
    EXPECT_EQ(g_clockChanges.load(), 0);
}

TEST(PumpWaitOnTheUiThread, ServesOtherThreadsCallsWhileWaiting) {
    FakeClock clock(FakeClock::kDefaultStartMs, 0);
    RunInWindow(IDD_MAIN, [](CDialog* window) {
        std::atomic<bool> added{false};
        std::thread worker([&] {
            // Returns only once the user-interface thread has handled it.
            window->AddListString(IDC_RESULTS, "from a worker");
            added.store(true);
        });
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!added.load() && std::chrono::steady_clock::now() < limit)
            PumpWait(1);
        EXPECT_TRUE(added.load());
        worker.join();
        const std::vector<std::string> items = ListItems(window, IDC_RESULTS);
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0], "from a worker");
    });
}

// The asctime form in a fixed zone.
class AsctimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        m_hadTz = tz != nullptr;
        if (m_hadTz)
            m_tz = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (m_hadTz) {
            setenv("TZ", m_tz.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    bool m_hadTz = false;
    std::string m_tz;
};

TEST_F(AsctimeTest, FormatsWeekdayMonthPaddedDayTimeAndYear) {
    const struct {
        int64_t seconds;
        const char* text;
    } cases[] = {
        {static_cast<int64_t>(FakeClock::kDefaultStartMs / 1000), "Wed Dec 09 13:02:46 2026\n"},
        {0, "Thu Jan 01 00:00:00 1970\n"},
        {1767571207, "Mon Jan 05 00:00:07 2026\n"},
        {1772323199, "Sat Feb 28 23:59:59 2026\n"},
    };
    for (const auto& c : cases) {
        char text[64];
        FormatAsctime(text, sizeof text, c.seconds);
        EXPECT_STREQ(text, c.text);
    }
}

}  // namespace
