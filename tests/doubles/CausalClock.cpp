#include "CausalClock.h"

#include <thread>

#include "ui/Ui.h"

namespace {
std::mutex s_registry;  // guards s_current against threads that end after their clock
CausalClock* s_current = nullptr;
std::atomic<unsigned> s_generations{0};
}  // namespace

// Marks the thread's node ended when the thread exits.
struct CausalClockThreadGuard {
    unsigned generation = 0;
    int node = -1;
    bool excused = false;
    ~CausalClockThreadGuard() {
        std::lock_guard<std::mutex> lock(s_registry);
        if (s_current != nullptr && s_current->m_generation == generation && node >= 0) {
            s_current->EndThread(node);
        }
    }
};

namespace {
thread_local CausalClockThreadGuard t_guard;
}  // namespace

CausalClock::CausalClock(uint64_t startMs) : m_startMs(startMs), m_generation(++s_generations) {
    {
        std::lock_guard<std::mutex> lock(s_registry);
        s_current = this;
    }
    m_previous = OsSetClockApi(this);
}

CausalClock::~CausalClock() {
    OsSetClockApi(m_previous);
    std::lock_guard<std::mutex> lock(s_registry);
    if (s_current == this)
        s_current = nullptr;
}

int CausalClock::Self() {
    if (t_guard.generation != m_generation) {
        std::lock_guard<std::mutex> lock(m_mutex);
        t_guard.generation = m_generation;
        t_guard.node = static_cast<int>(m_nodes.size());
        m_nodes.push_back(Node{-1, m_startMs, true, false});
    }
    return t_guard.node;
}

void CausalClock::EndThread(int node) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nodes[node].alive = false;
}

uint64_t CausalClock::NowMs() {
    const int self = Self();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nodes[self].time;
}

uint64_t CausalClock::ForkTime() {
    const int self = Self();
    std::lock_guard<std::mutex> lock(m_mutex);
    // The new thread's node, born at its starter's time; AdoptTime binds the thread to it.
    m_nodes.push_back(Node{self, m_nodes[self].time, true, false});
    return m_nodes.size() - 1;
}

void CausalClock::AdoptTime(uint64_t token) {
    t_guard.generation = m_generation;
    t_guard.node = static_cast<int>(token);
}

void CausalClock::SleepMs(unsigned milliseconds) {
    const int self = Self();
    uint64_t now;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nodes[self].time += milliseconds;
        now = m_nodes[self].time;
    }
    for (;;) {
        if (!MustWait(self, now))
            return;
        // Let the others catch up, serving their calls to the windows meanwhile.
        UiPumpMessages();
        std::this_thread::yield();
    }
}

bool CausalClock::MustWait(int self, uint64_t now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Not ahead of the thread that started this one (while that one takes part)...
    const int parent = m_nodes[self].parent;
    if (parent >= 0) {
        const Node& starter = m_nodes[parent];
        if (starter.alive && !starter.excused && now > starter.time + kLeadMs)
            return true;
    }
    // ...and not ahead of a thread this one started.
    for (const Node& node : m_nodes) {
        if (node.parent == self && node.alive && !node.excused && node.time < now)
            return true;
    }
    return false;
}

void CausalClock::ExcuseThisThread(bool excused) {
    std::lock_guard<std::mutex> registry(s_registry);
    CausalClock* clock = s_current;
    if (clock == nullptr || t_guard.generation != clock->m_generation || t_guard.node < 0)
        return;
    std::lock_guard<std::mutex> lock(clock->m_mutex);
    clock->m_nodes[t_guard.node].excused = excused;
}
