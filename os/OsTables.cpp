// The tables in force and the free functions the system calls through them.
#include <atomic>

#include "os/OsBackEnd.h"

namespace {
std::atomic<OsSerialApi*> s_serial{nullptr};
std::atomic<OsClockApi*> s_clock{nullptr};
std::atomic<OsSocketApi*> s_sockets{nullptr};
std::atomic<OsSystemApi*> s_system{nullptr};
std::atomic<OsConsoleApi*> s_console{nullptr};

template <typename Api>
Api* Swap(std::atomic<Api*>& slot, Api* api, Api* (*fallback)()) {
    Api* previous = slot.exchange(api);
    return previous != nullptr ? previous : fallback();
}

template <typename Api>
Api* Current(std::atomic<Api*>& slot, Api* (*fallback)()) {
    Api* api = slot.load(std::memory_order_acquire);
    return api != nullptr ? api : fallback();
}

OsSerialApi* Serial() {
    return Current(s_serial, OsDefaultSerialApi);
}
OsClockApi* Clock() {
    return Current(s_clock, OsDefaultClockApi);
}
}  // namespace

OsSerialApi* OsSetSerialApi(OsSerialApi* api) {
    return Swap(s_serial, api, OsDefaultSerialApi);
}
OsClockApi* OsSetClockApi(OsClockApi* api) {
    return Swap(s_clock, api, OsDefaultClockApi);
}
OsSocketApi* OsSetSocketApi(OsSocketApi* api) {
    return Swap(s_sockets, api, OsDefaultSocketApi);
}
OsSystemApi* OsSetSystemApi(OsSystemApi* api) {
    return Swap(s_system, api, OsDefaultSystemApi);
}
OsConsoleApi* OsSetConsoleApi(OsConsoleApi* api) {
    return Swap(s_console, api, OsDefaultConsoleApi);
}

OsSocketApi* OsSockets() {
    return Current(s_sockets, OsDefaultSocketApi);
}
OsSystemApi* OsSystem() {
    return Current(s_system, OsDefaultSystemApi);
}
OsConsoleApi* OsConsole() {
    return Current(s_console, OsDefaultConsoleApi);
}
OsClockApi* OsCurrentClock() {
    return Clock();
}

OsPort OsOpenPort(unsigned comPort, unsigned long* reason) {
    return Serial()->OpenPort(comPort, reason);
}
void OsSetUpLine(OsPort port) {
    Serial()->SetUpLine(port);
}
void OsPurgeOutput(OsPort port) {
    Serial()->PurgeOutput(port);
}
void OsPurgeInput(OsPort port) {
    Serial()->PurgeInput(port);
}
unsigned long OsCountInput(OsPort port) {
    return Serial()->CountInput(port);
}
unsigned long OsReadPort(OsPort port, char* buffer, unsigned long count) {
    return Serial()->ReadPort(port, buffer, count);
}
unsigned long OsWritePort(OsPort port, const char* data, unsigned long count) {
    return Serial()->WritePort(port, data, count);
}
void OsFlushPort(OsPort port) {
    Serial()->FlushPort(port);
}
void OsClosePort(OsPort port) {
    Serial()->ClosePort(port);
}

uint64_t OsNowMs() {
    return Clock()->NowMs();
}
void OsSleep(unsigned milliseconds) {
    Clock()->SleepMs(milliseconds);
}
