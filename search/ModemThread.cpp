// The probe of one port: opens it, sets the line up, looks for an "OK" to a reset, runs the
// script on a modem, closes the port and publishes the outcome.
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "common/Common.h"
#include "os/Os.h"
#include "search/Probe.h"
#include "search/Search.h"
#include "search/SearchDlg.h"
#include "ui/Ui.h"

namespace {
const size_t kLabelSize = 32;
const size_t kMessageSize = 2048;
const unsigned kPresenceTimeoutMs = 2000;
const char kPresenceCommand[] = "AT&FV1E0\r";

// The log line for a port that would not open, after the port label and the reason code.
void FormatOpenFailure(char* message, size_t size, const char* label, unsigned long reason) {
    const char* format = "%s, return[%lu], unspecified error.";
    switch (reason) {
        case OS_ERROR_FILE_NOT_FOUND:
        case OS_ERROR_PATH_NOT_FOUND:
        case OS_ERROR_INVALID_DRIVE:
        case OS_ERROR_BAD_UNIT:
            format = "%s, return[%lu], no UART or modem.";
            break;
        case OS_ERROR_TOO_MANY_OPEN_FILES:
            format = "%s, return[%lu], too many things open.";
            break;
        case OS_ERROR_ACCESS_DENIED:
            format = "%s, return[%lu], in use by another program, access is denied.";
            break;
        case OS_ERROR_ARENA_TRASHED:
            format = "%s, return[%lu], The storage control blocks were destroyed.";
            break;
        case OS_ERROR_NOT_ENOUGH_MEMORY:
            format = "%s, return[%lu], memory shortage.";
            break;
        case OS_ERROR_INVALID_ACCESS:
            format = "%s, return[%lu], access code is invalid.";
            break;
        case OS_ERROR_NOT_READY:
            snprintf(message, size, "%s, return[%lu], %s not ready.", label, reason, label);
            return;
        case OS_ERROR_SHARING_VIOLATION:
            format = "%s, return[%lu], in use by another program, sharing violation.";
            break;
        default:
            break;
    }
    snprintf(message, size, format, label, reason);
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// The probe context shared by the sweep and the probe thread.

ProbeContext* CreateProbeContext(CSearchDlg* search, unsigned comPort) {
    ProbeContext* probe = new (std::nothrow) ProbeContext;
    if (probe == nullptr)
        return nullptr;
    probe->m_references.store(1);
    probe->m_search = search;
    probe->m_comPort = comPort;
    probe->m_abandoned.store(false);
    probe->m_published = false;
    return probe;
}

void RetainProbeContext(ProbeContext* probe) {
    if (probe != nullptr)
        probe->m_references.fetch_add(1, std::memory_order_relaxed);
}

void ReleaseProbeContext(ProbeContext* probe) {
    if (probe == nullptr)
        return;
    if (probe->m_references.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete probe;
}

int AbandonProbe(ProbeContext* probe) {
    if (probe == nullptr)
        return 0;
    // The probe may hold the gate while its line waits for the user-interface thread; should
    // that be the calling thread, its messages keep flowing meanwhile.
    while (!probe->m_gate.try_lock()) {
        UiPumpMessages();
        std::this_thread::yield();
    }
    std::lock_guard<std::mutex> gate(probe->m_gate, std::adopt_lock);
    // The probe publishes under the gate; if it has, it finished just in time.
    if (probe->m_published)
        return 0;
    probe->m_abandoned.store(true, std::memory_order_release);
    return 1;
}

int IsProbeAbandoned(ProbeContext* probe) {
    return probe != nullptr && probe->m_abandoned.load(std::memory_order_acquire);
}

void LogForProbe(ProbeContext* probe, char* text) {
    if (probe == nullptr || probe->m_search == nullptr)
        return;
    std::lock_guard<std::mutex> gate(probe->m_gate);
    if (probe->m_abandoned.load(std::memory_order_relaxed))
        return;
    probe->m_search->LogLine(text);
}

int PublishProbeOutcome(ProbeContext* probe, const char* name, int found, uint16_t initCode) {
    if (probe == nullptr || probe->m_search == nullptr)
        return 0;
    std::lock_guard<std::mutex> gate(probe->m_gate);
    if (probe->m_abandoned.load(std::memory_order_relaxed))
        return 0;
    CSearchDlg* search = probe->m_search;
    if (found == 1)
        CopyBounded(search->m_modemName, name, sizeof search->m_modemName);
    search->m_found.store(found, std::memory_order_relaxed);
    search->m_initCode.store(initCode, std::memory_order_relaxed);
    search->m_probeThreadId.store(0, std::memory_order_release);
    probe->m_published = true;
    return 1;
}

// ---------------------------------------------------------------------------------------------

unsigned long ModemThread(void* parameter) {
    ProbeContext* probe = static_cast<ProbeContext*>(parameter);
    if (probe == nullptr)
        return 0;

    int found = 1;
    uint16_t initCode = 0;
    AnswerFlags flags;
    ResetAnswerFlags(&flags);
    char label[kLabelSize];
    char message[kMessageSize];
    char response[kProbeResponseSize];
    char name[kModemNameSize];
    memset(name, 0, sizeof name);
    memset(response, 0, sizeof response);
    snprintf(label, sizeof label, "%sCOM%u", "\r\n", probe->m_comPort);

    unsigned long reason = 0;
    ModemPort port = {OsOpenPort(probe->m_comPort, &reason), probe->m_search, probe};
    if (port.port == nullptr) {
        FormatOpenFailure(message, sizeof message, label, reason);
        LogProbeLine(&port, message);
        found = 0;
    } else {
        OsSetUpLine(port.port);
        PumpWait(kSettleMs);
        // The presence test writes the reset as stored, without the command exchange's purge,
        // settle wait and log line.
        OsWritePort(port.port, kPresenceCommand, sizeof kPresenceCommand - 1);
        ReadResponse(&port, response, sizeof response, 0, kPresenceTimeoutMs, 1);
        if (FindNoCase(response, "OK") == nullptr) {
            snprintf(message, sizeof message, "%s, UART but no suitable modem.", label);
            LogProbeLine(&port, message);
            found = 0;
        } else {
            snprintf(message, sizeof message, "%s found modem - will fax test...", label);
            LogProbeLine(&port, message);
            RunModemScript(&port, response, &flags, name);
        }
        PumpWait(kSettleMs);
        OsClosePort(port.port);
        if (found == 1)
            initCode = ClassifyModem(name, &flags);
    }

    PublishProbeOutcome(probe, name, found, initCode);
    ReleaseProbeContext(probe);
    return 0;
}
