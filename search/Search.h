// The modem search: command exchange, interrogation script, classification, the probe thread,
// the sweep thread and the housekeeping thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "os/Os.h"

class CSearchDlg;
struct ProbeContext;

// An open port as the probe's operations see it: the OS port, the search state the probe works
// for and the probe itself (null when the operations are used outside a probe thread).
struct ModemPort {
    OsPort port;
    CSearchDlg* search;
    ProbeContext* probe;
};

// Logs `text` for the probe that owns `port`: nothing once the sweep has abandoned that probe.
void LogProbeLine(ModemPort* port, char* text);

// Writes one AT command line ("OUT: " logged); the command's trailing CR, LF and spaces are
// dropped and exactly one CR is sent after it.
void SendCommand(ModemPort* port, const char* command, unsigned settleMs);
// Collects the answer until "OK\r" or "ERROR\r" (stopAtFinal) or the time limit; with logAnswer
// normalises it and logs "IN : ". Returns `buffer`.
char* ReadResponse(ModemPort* port, char* buffer, size_t size, int logAnswer, unsigned timeoutMs,
                   int stopAtFinal);

// The eight confirmation flags of the script: 4 while unconfirmed, 0 once confirmed.
struct AnswerFlags {
    uint8_t okK3, okK4, okE4, okE5, okQ3, okH1, okI0, okR2;
};
void ResetAnswerFlags(AnswerFlags* flags);

// Runs the 45-step script. `name` (128 bytes) receives the modem's name after "ATI3".
void RunModemScript(ModemPort* port, char* buffer, AnswerFlags* flags, char* name);
// The Init code of a found modem.
uint16_t ClassifyModem(const char* name, const AnswerFlags* flags);

// Probe of one port, sweep of COM1 to COM256, housekeeping. The sweep's parameter is the
// CSearchDlg it works on; the probe's is its ProbeContext.
unsigned long ModemThread(void* parameter);
unsigned long FindModemThread(void* parameter);
unsigned long HousekeepingThread(void* parameter);
void ReapThreadHandles();

extern std::atomic<OsThread> g_housekeepingThread;
extern std::atomic<uint32_t> g_housekeepingThreadId;

// The probe's buffers and its settle wait, shared by the probe frame and the script.
enum : unsigned {
    kProbeResponseSize = 2048,  // the answer buffer of the presence test and of every step
    kModemNameSize = 128,       // the modem's name, terminator included
    kSettleMs = 20,             // the wait before a command and before the port is closed
};

// Sweep constants.
enum : unsigned {
    kFirstPort = 1,
    kLastPort = 256,
    kProbePollMs = 60,
    kProbeWaitLimit = 500,  // the probe is given up when still running after the 502nd wait
    kTimeoutPauseMs = 500,
};
