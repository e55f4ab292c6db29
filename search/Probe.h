// The probe of one port as the sweep and the probe thread share it.
//
// The sweep makes one ProbeContext per port and hands it to ModemThread. Both hold a reference;
// the last one to let go frees it. When the probe outlives the sweep's time limit the sweep
// abandons it: from then on the probe writes nothing to the search state or the log, closes its
// own port and ends by itself. The gate makes that hand-over exact: the probe logs and publishes
// only while holding the gate and only when it has not been abandoned; the sweep abandons it
// while holding the gate, so a line or an outcome is either wholly in or wholly out.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class CSearchDlg;

struct ProbeContext {
    std::atomic<int> m_references;
    CSearchDlg* m_search;  // the search state the probe works for
    unsigned m_comPort;    // the port it tests
    std::mutex m_gate;
    // Set once, under m_gate. Read under m_gate to decide, or without it as a hint to stop early.
    std::atomic<bool> m_abandoned;
    bool m_published;  // under m_gate: the outcome is in the search state
};

// A context with one reference (the caller's), or null when memory is short.
ProbeContext* CreateProbeContext(CSearchDlg* search, unsigned comPort);
void RetainProbeContext(ProbeContext* probe);
// Drops one reference; the last one frees the context.
void ReleaseProbeContext(ProbeContext* probe);

// The sweep gives up on the probe. Returns 1 when the probe is now abandoned, 0 when it had
// already published its outcome (it finished just in time and counts as finished).
int AbandonProbe(ProbeContext* probe);
// The sweep has given up on this probe (a hint; the gate decides).
int IsProbeAbandoned(ProbeContext* probe);
// Runs LogLine on the probe's search state unless the probe has been abandoned.
void LogForProbe(ProbeContext* probe, char* text);
// Publishes the outcome unless the probe has been abandoned: m_modemName (when found), then
// m_found, then m_initCode, then m_probeThreadId = 0 (release). Returns 1 when published.
int PublishProbeOutcome(ProbeContext* probe, const char* name, int found, uint16_t initCode);
