// A controllable clock: every thread has its own virtual time, which moves only when the thread
// sleeps, and a new thread starts at its starter's time. Long waits (30 s probe limits, 10 s
// answer waits) pass in a few milliseconds of real time, and each thread's own timing is exact.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/Os.h"

class FakeClock : public OsClockApi {
  public:
    // `startMs`: the wall-clock time every thread starts from (ms since 1970).
    explicit FakeClock(uint64_t startMs = kDefaultStartMs, unsigned realPauseUs = 0);
    ~FakeClock() override;  // puts the previous clock back

    uint64_t NowMs() override;
    void SleepMs(unsigned milliseconds) override;
    uint64_t ForkTime() override { return NowMs(); }
    void AdoptTime(uint64_t time) override;

    // Moves the calling thread's time on without sleeping.
    void Advance(uint64_t milliseconds);
    // How many SleepMs calls all threads made, and the milliseconds they asked for.
    uint64_t SleepCalls() const { return m_sleepCalls.load(); }

    // Wed Dec 09 13:02:46 2026 UTC.
    static constexpr uint64_t kDefaultStartMs = 1796821366000ULL;

  private:
    uint64_t& ThreadNow();

    uint64_t m_startMs;
    unsigned m_realPauseUs;
    unsigned m_generation;
    OsClockApi* m_previous;
    std::atomic<uint64_t> m_sleepCalls{0};
};
