#include "FakeClock.h"

#include <chrono>
#include <thread>

namespace {
std::atomic<unsigned> s_generations{0};
struct ThreadTime {
    unsigned generation = 0;
    uint64_t now = 0;
};
thread_local ThreadTime t_time;
}  // namespace

FakeClock::FakeClock(uint64_t startMs, unsigned realPauseUs)
    : m_startMs(startMs), m_realPauseUs(realPauseUs), m_generation(++s_generations) {
    m_previous = OsSetClockApi(this);
}

FakeClock::~FakeClock() {
    OsSetClockApi(m_previous);
}

uint64_t& FakeClock::ThreadNow() {
    if (t_time.generation != m_generation) {
        t_time.generation = m_generation;
        t_time.now = m_startMs;
    }
    return t_time.now;
}

uint64_t FakeClock::NowMs() {
    return ThreadNow();
}

void FakeClock::SleepMs(unsigned milliseconds) {
    ThreadNow() += milliseconds;
    m_sleepCalls.fetch_add(1, std::memory_order_relaxed);
    if (m_realPauseUs > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(m_realPauseUs));
    } else {
        std::this_thread::yield();
    }
}

void FakeClock::AdoptTime(uint64_t time) {
    ThreadNow() = time;
}

void FakeClock::Advance(uint64_t milliseconds) {
    ThreadNow() += milliseconds;
}
