// Threads, clock and process on POSIX.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <new>

#include "os/OsBackEnd.h"

struct OsThreadImpl {
    OsThreadProc proc;
    void* parameter;
    uint64_t startTime;
    uint32_t id;
    pthread_t thread;
    std::atomic<unsigned long> exitCode{OS_STILL_ACTIVE};
    // Two owners: the handle and the running thread. The last to let go frees it.
    std::atomic<int> references{2};
};

namespace {
std::atomic<uint32_t> s_nextThreadId{1};
std::atomic<int> s_runningThreads{0};
std::atomic<int> s_failStarts{0};
thread_local uint32_t t_threadId = 0;

void Release(OsThreadImpl* thread) {
    if (thread->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete thread;
}

void* ThreadMain(void* argument) {
    OsThreadImpl* thread = static_cast<OsThreadImpl*>(argument);
    t_threadId = thread->id;
    OsCurrentClock()->AdoptTime(thread->startTime);
    const unsigned long code = thread->proc(thread->parameter);
    thread->exitCode.store(code, std::memory_order_release);
    s_runningThreads.fetch_sub(1, std::memory_order_acq_rel);
    Release(thread);
    return nullptr;
}

class RealClock : public OsClockApi {
  public:
    uint64_t NowMs() override {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        return static_cast<uint64_t>(now.tv_sec) * 1000u +
               static_cast<uint64_t>(now.tv_nsec / 1000000);
    }
    void SleepMs(unsigned milliseconds) override {
        struct timespec pause = {static_cast<time_t>(milliseconds / 1000),
                                 static_cast<long>(milliseconds % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0) {
        }
    }
};
}  // namespace

OsClockApi* OsDefaultClockApi() {
    static RealClock clock;
    return &clock;
}

bool OsLocalTime(int64_t seconds, struct tm* out) {
    const time_t value = static_cast<time_t>(seconds);
    return localtime_r(&value, out) != nullptr;
}

namespace {
OsThread StartThread(OsThreadProc proc, void* parameter, uint32_t* plainId,
                     std::atomic<uint32_t>* sharedId) {
    auto publish = [&](uint32_t value) {
        if (plainId != nullptr)
            *plainId = value;
        if (sharedId != nullptr)
            sharedId->store(value, std::memory_order_release);
    };
    publish(0);
    int failures = s_failStarts.load();
    while (failures > 0) {
        if (s_failStarts.compare_exchange_weak(failures, failures - 1))
            return nullptr;
    }
    OsThreadImpl* thread = new (std::nothrow) OsThreadImpl;
    if (thread == nullptr)
        return nullptr;
    thread->proc = proc;
    thread->parameter = parameter;
    thread->startTime = OsCurrentClock()->ForkTime();
    uint32_t newId = s_nextThreadId.fetch_add(1);
    if (newId == 0)
        newId = s_nextThreadId.fetch_add(1);
    thread->id = newId;
    publish(newId);
    s_runningThreads.fetch_add(1);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    const int started = pthread_create(&thread->thread, &attributes, ThreadMain, thread);
    pthread_attr_destroy(&attributes);
    if (started != 0) {
        s_runningThreads.fetch_sub(1);
        publish(0);
        delete thread;
        return nullptr;
    }
    return thread;
}
}  // namespace

OsThread OsStartThread(OsThreadProc proc, void* parameter, uint32_t* id) {
    return StartThread(proc, parameter, id, nullptr);
}

OsThread OsStartThread(OsThreadProc proc, void* parameter, std::atomic<uint32_t>* id) {
    return StartThread(proc, parameter, nullptr, id);
}

unsigned long OsGetThreadExitCode(OsThread thread) {
    if (thread == nullptr)
        return 0;
    return thread->exitCode.load(std::memory_order_acquire);
}

void OsCloseThread(OsThread thread) {
    if (thread != nullptr)
        Release(thread);
}

uint32_t OsCurrentThreadId() {
    if (t_threadId == 0)
        t_threadId = 0x80000000u | s_nextThreadId.fetch_add(1);
    return t_threadId;
}

int OsRunningThreadCount() {
    return s_runningThreads.load();
}

void OsFailThreadStarts(int count) {
    s_failStarts.store(count);
}

void OsExitProcess(int code) {
    fflush(stdout);
    fflush(stderr);
    _exit(code);
}
