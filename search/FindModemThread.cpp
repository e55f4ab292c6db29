// The sweep: COM1 to COM256, one probe thread per port under a time limit, a result line for
// every modem found, the log's header and footer.
#include <cstdio>
#include <cstring>

#include "common/Common.h"
#include "os/Os.h"
#include "search/Probe.h"
#include "search/Search.h"
#include "search/SearchDlg.h"

namespace {
const size_t kLineSize = 512;

// Starts the probe of the current port; its id is in m_probeThreadId before it can run (and
// clear it). Returns its handle, or null when no thread could be started (the id is then 0).
OsThread StartProbe(CSearchDlg* search, ProbeContext* probe) {
    RetainProbeContext(probe);  // the probe thread's reference
    OsThread thread = OsStartThread(ModemThread, probe, &search->m_probeThreadId);
    if (thread == nullptr) {
        ReleaseProbeContext(probe);
        search->m_probeThreadId.store(0);
    }
    return thread;
}

// Waits for the probe: finished after any of 502 waits of 60 ms, else given up.
void SuperviseProbe(CSearchDlg* search, ProbeContext* probe, unsigned comPort) {
    PumpWait(kProbePollMs);
    unsigned waits = 0;
    for (;;) {
        if (search->m_probeThreadId.load(std::memory_order_acquire) == 0)
            break;
        if (waits > kProbeWaitLimit) {
            if (!AbandonProbe(probe))
                break;  // it published just in time: finished
            // The probe goes on by itself, writing nothing more, and closes its own port.
            search->m_probeThreadId.store(0, std::memory_order_relaxed);
            OsCloseThread(search->m_probeThread);
            search->m_probeThread = nullptr;
            char line[kLineSize];
            memset(line, 0, sizeof line);
            snprintf(line, sizeof line, "While testing COM%u Modem Thread timed out.", comPort);
            search->LogLine(line);
            PumpWait(kTimeoutPauseMs);
            return;
        }
        ++waits;
        PumpWait(kProbePollMs);
    }
    OsCloseThread(search->m_probeThread);
    search->m_probeThread = nullptr;
}

void TestOnePort(CSearchDlg* search) {
    const unsigned comPort = search->m_comPort.load();
    memset(search->m_modemName, 0, sizeof search->m_modemName);
    search->m_found.store(0);
    search->m_initCode.store(0);

    ProbeContext* probe = CreateProbeContext(search, comPort);
    search->m_probeThread = probe != nullptr ? StartProbe(search, probe) : nullptr;
    if (search->m_probeThread == nullptr) {
        char line[kLineSize];
        memset(line, 0, sizeof line);
        snprintf(line, sizeof line, "While testing COM%u CreateThread failed.", comPort);
        search->LogLine(line);
    } else {
        SuperviseProbe(search, probe, comPort);
    }
    ReleaseProbeContext(probe);

    if (search->m_abort.load() == 0 && search->m_found.load() == 1 &&
        search->m_resultWnd != nullptr) {
        char line[kLineSize];
        snprintf(line, sizeof line, "COM%u, %s - Init[%u]", comPort, search->m_modemName,
                 static_cast<unsigned>(search->m_initCode.load()));
        search->m_resultWnd->AddListString(search->m_resultListId, line);
    }
}
}  // namespace

unsigned long FindModemThread(void* parameter) {
    CSearchDlg* search = static_cast<CSearchDlg*>(parameter);
    if (search == nullptr) {
        g_findThreadId.store(0, std::memory_order_release);
        return 0;
    }

    search->OpenModemLog();
    search->m_comPort.store(kFirstPort);
    while (search->m_comPort.load() <= kLastPort && search->m_abort.load() != 1) {
        TestOnePort(search);
        search->m_comPort.fetch_add(1);
    }
    if (search->m_abort.load() == 1) {
        char line[] = "User aborted FindModemThread";
        search->LogLine(line);
    }
    search->CloseModemLog();

    g_findThreadId.store(0, std::memory_order_release);
    return 0;
}
