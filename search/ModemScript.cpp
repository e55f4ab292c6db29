// The interrogation script of a found modem, its naming and the Init code.
#include <cstring>

#include "common/Common.h"
#include "search/Probe.h"
#include "search/Search.h"
#include "search/SearchDlg.h"

namespace {
const unsigned kPauseAfterIdentityMs = 500;

const char kReset[] = "AT&FV1E0\r";
const char kCxMarker[] = "CX93001";
const char kSlMarker[] = "Smart Link";
const char kCxName[] = "Dunvarlotek Kestrafax CX";
const char kSlName[] = "Dunvarlotek Kestrafax SL";
const char kZyxelMarker[] = "zyxel";
const char kAccepted[] = "OK";
const char kAvailableHead[] = "Available Modem: ";

struct ScriptStep {
    const char* command;
    unsigned timeoutMs;
    uint8_t AnswerFlags::*flag;  // the flag its "OK" confirms; null: the answer is not tested
};

const ScriptStep kSteps[] = {
    {kReset, 2000, nullptr},  // 1
    {"AT&V", 2000, nullptr},
    {"ATI0", 2000, nullptr},
    {"ATI1", 2000, nullptr},
    {"ATI2", 2000, nullptr},  // 5: then the pause
    {"ATI3", 2000, nullptr},  // 6: names the modem
    {"ATI4", 2000, nullptr},
    {"ATI5", 2000, nullptr},
    {"ATI6", 2000, nullptr},
    {"ATI7", 2000, nullptr},  // 10
    {kReset, 1000, nullptr},
    {"AT+FCLASS=?", 1000, nullptr},
    {kReset, 1000, nullptr},
    {"AT&K3", 1000, &AnswerFlags::okK3},
    {"AT&K4", 1000, &AnswerFlags::okK4},  // 15
    {"AT&E4", 1000, &AnswerFlags::okE4},
    {"AT&E5", 1000, &AnswerFlags::okE5},
    {"AT\\Q1", 1000, nullptr},
    {"AT\\Q2", 1000, nullptr},
    {"AT\\Q3", 1000, &AnswerFlags::okQ3},  // 20
    {"AT\\Q4", 1000, nullptr},
    {kReset, 1000, nullptr},
    {"AT&H0", 1000, nullptr},
    {"AT&H1", 1000, &AnswerFlags::okH1},
    {"AT&H2", 1000, nullptr},  // 25
    {"AT&H3", 1000, nullptr},
    {"AT&I0", 1000, &AnswerFlags::okI0},
    {"AT&I1", 1000, nullptr},
    {"AT&I2", 1000, nullptr},
    {"AT&I3", 1000, nullptr},  // 30
    {"AT&I4", 1000, nullptr},
    {"AT&I5", 1000, nullptr},  // 32: then the model test
    {"AT&R0", 1000, nullptr},  // 33 to 35: not for the CX model
    {"AT&R1", 1000, nullptr},
    {"AT&R2", 1000, &AnswerFlags::okR2},  // 35
    {kReset, 1000, nullptr},
    {"AT+FCLASS=0", 1000, nullptr},
    {kReset, 1000, nullptr},
    {"AT+FCLASS=1", 1000, nullptr},
    {kReset, 1000, nullptr},  // 40
    {"AT+FCLASS=2", 1000, nullptr},
    {kReset, 1000, nullptr},
    {"AT+FCLASS=2.0", 1000, nullptr},
    {kReset, 1000, nullptr},
    {"AT+FCLASS=3", 1000, nullptr},  // 45
};
const int kStepCount = static_cast<int>(sizeof kSteps / sizeof kSteps[0]);
static_assert(sizeof kSteps / sizeof kSteps[0] == 45, "the script has 45 steps");

// Steps by their number (1 for the first).
const int kStepPause = 5;
const int kStepName = 6;
const int kStepModelTest = 32;
const int kStepAfterSkip = 36;

int IsLineBreak(char c) {
    return c == '\r' || c == '\n';
}

char ToLowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int IsEqualNoCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (ToLowerAscii(*a) != ToLowerAscii(*b))
            return 0;
    }
    return *a == *b;
}

// The user asked to stop, or the sweep gave up on this probe.
int IsStopRequested(ModemPort* port) {
    if (port == nullptr)
        return 0;
    if (port->search != nullptr && port->search->m_abort.load() == 1)
        return 1;
    return port->probe != nullptr && IsProbeAbandoned(port->probe);
}

// The name is the first line of the answer to "ATI3", replaced by a model name when it holds
// one of the model markers; the log names it.
void NameModem(ModemPort* port, char* answer, char* name) {
    char first[kModemNameSize];
    CopyBounded(first, answer, sizeof first);
    const char* start = first;
    for (int skipped = 0; skipped < 10 && IsLineBreak(*start); ++skipped)
        ++start;
    CopyBounded(name, start, kModemNameSize);
    for (char* c = name; *c != '\0'; ++c) {
        if (IsLineBreak(*c)) {
            *c = '\0';
            break;
        }
    }

    if (strstr(name, kCxMarker) != nullptr) {
        CopyBounded(name, kCxName, kModemNameSize);
    } else if (FindNoCase(name, kSlMarker) != nullptr) {
        CopyBounded(name, kSlName, kModemNameSize);
    }

    CopyBounded(answer, kAvailableHead, kProbeResponseSize);
    AppendBounded(answer, name, kProbeResponseSize);
    LogProbeLine(port, answer);
}
}  // namespace

void ResetAnswerFlags(AnswerFlags* flags) {
    if (flags == nullptr)
        return;
    flags->okK3 = flags->okK4 = flags->okE4 = flags->okE5 = 4;
    flags->okQ3 = flags->okH1 = flags->okI0 = flags->okR2 = 4;
}

void RunModemScript(ModemPort* port, char* buffer, AnswerFlags* flags, char* name) {
    char ownName[kModemNameSize] = {0};
    char ownBuffer[kProbeResponseSize];
    AnswerFlags ownFlags;
    if (name == nullptr)
        name = ownName;
    if (buffer == nullptr)
        buffer = ownBuffer;
    if (flags == nullptr) {
        ResetAnswerFlags(&ownFlags);
        flags = &ownFlags;
    }

    for (int number = 1; number <= kStepCount; ++number) {
        if (number == kStepModelTest + 1 && IsEqualNoCase(name, kCxName))
            number = kStepAfterSkip;
        if (IsStopRequested(port))
            return;
        const ScriptStep& step = kSteps[number - 1];
        SendCommand(port, step.command, kSettleMs);
        ReadResponse(port, buffer, kProbeResponseSize, 1, step.timeoutMs, 1);
        if (step.flag != nullptr && FindNoCase(buffer, kAccepted) != nullptr)
            flags->*step.flag = 0;
        if (number == kStepPause)
            PumpWait(kPauseAfterIdentityMs);
        if (number == kStepName)
            NameModem(port, buffer, name);
    }
}

uint16_t ClassifyModem(const char* name, const AnswerFlags* flags) {
    if (name == nullptr)
        name = "";
    AnswerFlags none;
    ResetAnswerFlags(&none);
    if (flags == nullptr)
        flags = &none;

    if (FindNoCase(name, kZyxelMarker) != nullptr)
        return 2;
    if (strcmp(name, kSlName) == 0)
        return 0;
    if (strcmp(name, kCxName) == 0)
        return 1;
    if (flags->okH1 == 0 && flags->okI0 == 0 && flags->okR2 == 0)
        return 3;
    if (flags->okQ3 == 0)
        return 7;
    if (flags->okE4 == 0 && flags->okE5 == 0)
        return 178;
    if (flags->okK3 == 0 && flags->okK4 == 0)
        return 5;
    return 4;
}
