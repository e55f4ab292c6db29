// The housekeeping thread: once a second, closes the handle of a sweep that has ended.
#include "common/Common.h"
#include "os/Os.h"
#include "search/Search.h"
#include "search/SearchDlg.h"

std::atomic<OsThread> g_housekeepingThread{nullptr};
std::atomic<uint32_t> g_housekeepingThreadId{0};

namespace {
const unsigned kReapIntervalMs = 1000;
}  // namespace

// The handle is read before the id: a sweep's id is published before its handle, so the id read
// here belongs to that handle's sweep or to a later one, never to an earlier one.
void ReapThreadHandles() {
    OsThread finished = g_findThread.load(std::memory_order_acquire);
    if (finished == nullptr)
        return;
    if (g_findThreadId.load(std::memory_order_acquire) != 0)
        return;
    if (g_findThread.compare_exchange_strong(finished, nullptr))
        OsCloseThread(finished);
}

unsigned long HousekeepingThread(void*) {
    do {
        PumpWait(kReapIntervalMs);
        ReapThreadHandles();
    } while (g_quit.load() == 0);

    OsThread own = g_housekeepingThread.exchange(nullptr);
    if (own != nullptr)
        OsCloseThread(own);
    g_housekeepingThreadId.store(0);
    return 0;
}
