// The command exchange with a modem: one command line out, one answer in, both logged.
#include <cstdio>
#include <cstring>

#include "common/Common.h"
#include "os/Os.h"
#include "search/Probe.h"
#include "search/Search.h"
#include "search/SearchDlg.h"

namespace {
const size_t kCommandSize = 256;
const int kLoggedCommandLength = 249;
const size_t kChunkSize = 512;
const size_t kAnswerLineSize = 4096;
const size_t kNormalizeSize = 2048;
const unsigned kPollMs = 100;

// The probe behind `port` has been given up by the sweep: stop collecting.
int IsAbandoned(ModemPort* port) {
    return port != nullptr && port->probe != nullptr && IsProbeAbandoned(port->probe);
}

OsPort GetOsPort(ModemPort* port) {
    return port != nullptr ? port->port : nullptr;
}
}  // namespace

void LogProbeLine(ModemPort* port, char* text) {
    if (port == nullptr)
        return;
    if (port->probe != nullptr) {
        LogForProbe(port->probe, text);
    } else if (port->search != nullptr) {
        port->search->LogLine(text);
    }
}

void SendCommand(ModemPort* port, const char* command, unsigned settleMs) {
    OsPort os = GetOsPort(port);
    char line[kCommandSize];
    char logText[kCommandSize];

    OsPurgeOutput(os);
    PumpWait(settleMs);
    if (OsCountInput(os) >= 1)
        OsPurgeInput(os);

    memset(line, 0, sizeof line);
    memset(logText, 0, sizeof logText);
    CopyBounded(line, command, kCommandSize - 2);
    TrimRight(line);
    // The log line holds at most 254 characters: "OUT: " and 249 of the command.
    snprintf(logText, sizeof logText, "OUT: %.*s", kLoggedCommandLength, line);
    LogProbeLine(port, logText);

    AppendBounded(line, "\r", sizeof line);
    OsWritePort(os, line, static_cast<unsigned long>(strlen(line)));
    OsFlushPort(os);
}

char* ReadResponse(ModemPort* port, char* buffer, size_t size, int logAnswer, unsigned timeoutMs,
                   int stopAtFinal) {
    if (buffer == nullptr)
        return buffer;
    OsPort os = GetOsPort(port);
    char chunk[kChunkSize];

    memset(buffer, 0, size);
    const uint64_t deadline = OsNowMs() + timeoutMs;
    for (;;) {
        PumpWait(kPollMs);
        const unsigned long waiting = OsCountInput(os);
        memset(chunk, 0, sizeof chunk);
        const unsigned long count = waiting < kChunkSize - 1 ? waiting : kChunkSize - 1;
        if (count > 0) {
            OsReadPort(os, chunk, count);
            AppendBounded(buffer, chunk, size);
            if (stopAtFinal == 1 && (FindNoCase(buffer, "OK\r") != nullptr ||
                                     FindNoCase(buffer, "ERROR\r") != nullptr)) {
                break;
            }
        }
        if (TakeClockChange())
            break;
        if (OsNowMs() >= deadline)
            break;
        if (IsAbandoned(port))
            break;
    }

    if (logAnswer == 1 && size > 0) {
        // Normalised in a scratch copy: a lone CR or LF grows into CR LF, which must not run
        // past the end of a caller's buffer smaller than the normaliser's 2047 bytes.
        char normalized[kNormalizeSize];
        char answerLine[kAnswerLineSize];
        CopyBounded(normalized, buffer, sizeof normalized);
        NormalizeLineBreaks(normalized);
        CopyBounded(buffer, normalized, size);
        snprintf(answerLine, sizeof answerLine, "IN : %s", buffer);
        LogProbeLine(port, answerLine);
    }
    return buffer;
}
