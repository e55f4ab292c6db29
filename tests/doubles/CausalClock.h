// A controllable clock for whole-program scenarios: every thread has its own virtual time, which
// moves only when the thread sleeps; a thread may not run ahead of the threads it started, nor
// more than a millisecond ahead of the thread that started it.
//
// In this program a thread that starts another also watches it against its own clock: the
// search window watches the sweep (750 waits without a port change) and learns of its end from
// the housekeeping thread, the sweep watches its probe (502 waits). Held in step so, such limits
// pass exactly when the watched thread really stands still for that long in virtual time,
// however the real scheduler treats the threads. A thread blocked on purpose outside the clock
// (a test waiting in real time, a test's hung port) excuses itself meanwhile.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "os/Os.h"

class CausalClock : public OsClockApi {
  public:
    explicit CausalClock(uint64_t startMs = kDefaultStartMs);
    ~CausalClock() override;  // puts the previous clock back

    uint64_t NowMs() override;
    void SleepMs(unsigned milliseconds) override;
    uint64_t ForkTime() override;
    void AdoptTime(uint64_t token) override;

    // While excused, the calling thread does not hold back the thread that started it.
    static void ExcuseThisThread(bool excused);

    static constexpr uint64_t kDefaultStartMs = 1796821366000ULL;  // Wed Dec 09 13:02:46 2026 UTC

  private:
    struct Node {
        int parent;
        uint64_t time;
        bool alive;
        bool excused;
    };
    static constexpr uint64_t kLeadMs = 1;  // how far a thread may run ahead of its starter

    int Self();  // the calling thread's node, made on first use
    bool MustWait(int self, uint64_t now);
    void EndThread(int node);
    friend struct CausalClockThreadGuard;

    uint64_t m_startMs;
    unsigned m_generation;
    std::mutex m_mutex;
    std::vector<Node> m_nodes;
    OsClockApi* m_previous;
};
