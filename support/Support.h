// The support submission: the busy check before a search, the hand-over of the log after it,
// and the thread that posts the log to the support form.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "os/Os.h"

class CDialog;

// The support server's host name (set when the program is built).
extern const char kSupportHost[];

// Submission inputs, filled by HandOverLog before SendLogThread starts.
extern char g_sendSubject[128];
extern char g_sendMessage[128];
extern std::atomic<CDialog*> g_sendOwnerWnd;
extern char* g_sendLogText;  // malloc'ed; SendLogThread frees it
extern std::atomic<OsThread> g_sendThread;
extern std::atomic<uint32_t> g_sendThreadId;
extern std::atomic<int> g_wsaStarted;

// Before a search: asks the user to wait while an earlier post is still running. Returns 1
// when the search may run.
int CheckSendBusy(CDialog* owner);
// After a search: opens the log with the user's viewer, offers to send it, reads it back and
// starts SendLogThread.
void HandOverLog(CDialog* owner);

unsigned long SendLogThread(void* parameter);
bool StartSockets();
// Appends the form encoding of `value` at `out` (see the encoding table in SendLog.cpp).
void FormEncode(const char* value, char* out, long room);

// Waits, pumping, until SendLogThread has ended, at most `milliseconds`. Returns 1 when it has.
int WaitForSendLogThread(unsigned milliseconds);
