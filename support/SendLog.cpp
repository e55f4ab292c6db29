// SendLogThread: posts the modem log, a description of the PC and the user's identity to the
// support form, in up to three attempts, and marks itself finished on every path.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/App.h"
#include "common/Common.h"
#include "os/Os.h"
#include "support/FormPost.h"
#include "support/Support.h"
#include "sysinfo/SystemDescription.h"
#include "ui/Ui.h"

#ifndef MODEMTEST_SUPPORT_HOST
#error "MODEMTEST_SUPPORT_HOST must name the support server (the build passes it)"
#endif

const char kSupportHost[] = MODEMTEST_SUPPORT_HOST;

char g_sendSubject[128];
char g_sendMessage[128];
std::atomic<CDialog*> g_sendOwnerWnd{nullptr};
char* g_sendLogText = nullptr;
std::atomic<OsThread> g_sendThread{nullptr};
std::atomic<uint32_t> g_sendThreadId{0};
std::atomic<int> g_wsaStarted{0};

const char kInfoBlockTemplate[] =
    "%s\r\nWIN - %s - [%i X %i]\r\nAPP - %s - %s - %s\r\nUSE - %s (%s)\r\nSUB - %s\r\nMSG - "
    "%s\r\n%s";
const char kInfoStartMarker[] = "------------ start info ------------";
const char kInfoEndMarker[] = "------------- end info -------------";
const char kFormRecipient[] = "Veskarin";
const char kFormPath[] = "/form/tsemail.pl";

namespace {
const size_t kInfoTemplateLength = sizeof kInfoBlockTemplate - 1;
static_assert(sizeof kInfoBlockTemplate - 1 == 83, "the budget counts the template's length");
const size_t kBudgetAllowance = 2525;
const size_t kSendPieceSize = 4096;
const long kShortAnswerBytes = 10;  // answers this short are never examined
const unsigned kAnswerPollMs = 256;
const unsigned kAnswerSettleMs = 200;
const unsigned kSendWaitStepMs = 100;

const char kSocketStartFailed[] = "StartWSAStartup failed";
const char kNoBodyMemory[] = "Not enough local memory to run [Dunvarlotek email form](1).";
const char kThanks[] = "Thank";

std::atomic<int> s_failBodyAllocations{0};

char* AllocateBody(size_t size) {
    int failures = s_failBodyAllocations.load();
    while (failures > 0) {
        if (s_failBodyAllocations.compare_exchange_weak(failures, failures - 1))
            return nullptr;
    }
    return static_cast<char*>(calloc(size, 1));
}

void ShowSendMessage(const char* text, unsigned flags) {
    UiMessageBox(g_sendOwnerWnd.load(), text, kCaption, flags);
}

// Waits up to 10 seconds for an answer that contains "Thank", looking at it about every quarter
// second without taking it from the socket. Ends early on a clock change or the quit flag.
bool WaitForAnswer(OsSocket socket) {
    char answer[kAnswerPeekSize + 1];
    const uint64_t start = OsNowMs();
    for (;;) {
        PumpWait(kAnswerPollMs);
        memset(answer, 0, sizeof answer);
        const long peeked = OsSockets()->Peek(socket, answer, kAnswerPeekSize);
        answer[kAnswerPeekSize] = '\0';
        if (peeked > kShortAnswerBytes) {
            PumpWait(kAnswerSettleMs);
            memset(answer, 0, sizeof answer);
            OsSockets()->Peek(socket, answer, kAnswerPeekSize);
            answer[kAnswerPeekSize] = '\0';
            if (AnswerSaysThanks(answer))
                return true;
        }
        if (TakeClockChange())
            return false;
        if (OsNowMs() - start >= kAnswerWaitMs)
            return false;
        if (g_quit.load())
            return false;
    }
}

// Sends the body in pieces of at most 4096 bytes until it is all out or a send fails. A send that
// reports nothing, or more than it was given, counts as failed: the position would otherwise
// stand still for ever or run past the body.
void SendBody(OsSocket socket, const char* body, size_t bodyLength) {
    size_t position = 0;
    while (position < bodyLength) {
        const size_t piece =
            bodyLength - position < kSendPieceSize ? bodyLength - position : kSendPieceSize;
        const long sent = OsSockets()->Send(socket, body + position, static_cast<long>(piece));
        if (sent <= 0 || static_cast<size_t>(sent) > piece)
            return;
        position += static_cast<size_t>(sent);
    }
}

// One attempt: connect, send header and body, wait for the answer, close. True when the server
// thanked us.
bool PostOnce(const char* header, size_t headerLength, const char* body, size_t bodyLength) {
    OsSocketApi* sockets = OsSockets();
    const OsSocket socket = sockets->OpenSocket();
    if (socket == OS_INVALID_SOCKET)
        return false;
    uint32_t address = 0;
    if (!sockets->ResolveHost(kSupportHost, &address) ||
        !sockets->Connect(socket, address, kFormPort) ||
        sockets->Send(socket, header, static_cast<long>(headerLength)) !=
            static_cast<long>(headerLength)) {
        sockets->CloseSocket(socket);
        return false;
    }
    SendBody(socket, body, bodyLength);
    sockets->SetNonBlocking(socket);
    const bool thanked = WaitForAnswer(socket);
    sockets->CloseSocket(socket);
    return thanked;
}

// Builds the info block, the body and the header, then makes up to three attempts.
void PostForm(char* body, size_t budget, const char* logText) {
    int screenWidth = 0;
    int screenHeight = 0;
    UiGetScreenSize(&screenWidth, &screenHeight);
    char info[kInfoBlockSize];
    BuildInfoBlock(info, sizeof info, g_osDescription, screenWidth, screenHeight, g_userEmail,
                   g_userName, g_sendSubject, g_sendMessage);
    const size_t bodyLength =
        BuildFormBody(body, budget, info, g_userName, g_userEmail, g_sendSubject, logText);
    char header[kRequestHeaderSize];
    const size_t headerLength = BuildRequestHeader(header, sizeof header, kSupportHost, bodyLength);
    for (unsigned attempt = 0; attempt < kMaxAttempts; ++attempt) {
        if (PostOnce(header, headerLength, body, bodyLength))
            return;
    }
}
}  // namespace

bool StartSockets() {
    if (g_wsaStarted.load(std::memory_order_acquire))
        return true;
    if (!OsSockets()->StartSockets())
        return false;
    g_wsaStarted.store(1, std::memory_order_release);
    return true;
}

// Form encoding, byte by byte:
//
//   blank                         "+"
//   0-9 A-Z a-z - . @             copied as they are
//   every other byte (_ * CR LF   "%" and two upper-case hex digits of the unsigned byte,
//   % & = + and 0x80-0xFF, ...)   e.g. %0D %0A %5F %E9
//
// Encoding stops at the end of `value`, or before a byte once `room` characters have been
// written. A byte begun below `room` is written whole, so up to room + 2 characters and a
// terminator can be written. Each encoded byte is followed by a terminator; an empty `value` or
// a `room` of 0 or less writes nothing, not even a terminator.
void FormEncode(const char* value, char* out, long room) {
    static const char kHexDigits[] = "0123456789ABCDEF";
    if (value == nullptr || out == nullptr)
        return;
    long written = 0;
    for (const unsigned char* in = reinterpret_cast<const unsigned char*>(value); *in != 0; ++in) {
        if (written >= room)
            break;
        const unsigned char byte = *in;
        if (byte == ' ') {
            out[written++] = '+';
        } else if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
                   (byte >= 'a' && byte <= 'z') || byte == '-' || byte == '.' || byte == '@') {
            out[written++] = static_cast<char>(byte);
        } else {
            out[written++] = '%';
            out[written++] = kHexDigits[byte >> 4];
            out[written++] = kHexDigits[byte & 0x0F];
        }
        out[written] = '\0';
    }
}

void BuildInfoBlock(char* info, size_t size, const char* osDescription, int screenWidth,
                    int screenHeight, const char* userEmail, const char* userName,
                    const char* subject, const char* message) {
    if (info == nullptr || size == 0)
        return;
    memset(info, 0, size);
    snprintf(info, size, kInfoBlockTemplate, kInfoStartMarker, osDescription, screenWidth,
             screenHeight, kCaption, kVersionText, "NA", userEmail, userName, subject, message,
             kInfoEndMarker);
}

size_t FormBodyBudget(size_t logLength) {
    const size_t fixed = kInfoTemplateLength + kBudgetAllowance;
    // The budget, its slack and every room handed to FormEncode must fit in a long.
    if (logLength > (static_cast<size_t>(LONG_MAX) - fixed - kBodySlack) / 2)
        return 0;
    return fixed + 2 * logLength;
}

size_t BuildFormBody(char* body, size_t budget, const char* info, const char* userName,
                     const char* userEmail, const char* subject, const char* logText) {
    static const char* const kLabels[6] = {
        "ToName=", "&szEmailBodyInfo=", "&FromName=", "&FromEmail=", "&Subject=", "&EmailBody="};
    const char* const values[6] = {kFormRecipient, info, userName, userEmail, subject, logText};
    if (body == nullptr || budget < 2)
        return body == nullptr ? 0 : strlen(body);
    for (int field = 0; field < 6; ++field) {
        // Each label keeps the body within B - 2 characters; each value is encoded behind it
        // with the rest of the budget as its room.
        AppendBounded(body, kLabels[field], budget - 1);
        const size_t length = strlen(body);
        FormEncode(values[field], body + length,
                   static_cast<long>(budget) - static_cast<long>(length));
    }
    return strlen(body);
}

size_t BuildRequestHeader(char* header, size_t size, const char* host, size_t bodyLength) {
    if (header == nullptr || size == 0)
        return 0;
    memset(header, 0, size);
    snprintf(header, size,
             "POST http://%s%s HTTP/1.1\r\n"
             "Accept: */*\r\n"
             "Accept-Language: en-us\r\n"
             "Content-Type: application/x-www-form-urlencoded\r\n"
             "User-Agent: Dunvarlotek\r\n"
             "Host: %s\r\n"
             "Content-Length: %lu\r\n"
             "Connection: Keep-Alive\r\n"
             "Cache-Control: no-cache\r\n"
             "\r\n",
             host, kFormPath, host, static_cast<unsigned long>(bodyLength));
    return strlen(header);
}

bool AnswerSaysThanks(char* answer) {
    TrimRight(answer);
    return FindNoCase(answer, kThanks) != nullptr;
}

void FailBodyAllocations(int count) {
    s_failBodyAllocations.store(count);
}

unsigned long SendLogThread(void*) {
    // Wait until the starter has published this thread's handle (see StartSendLogThread), so that
    // the clean-up below is the last write to g_sendThread and g_sendThreadId.
    while (g_sendThread.load(std::memory_order_acquire) == nullptr)
        OsSleep(1);

    char* body = nullptr;
    if (!StartSockets()) {
        ShowSendMessage(kSocketStartFailed, UI_MB_ICONWARNING);
    } else {
        const char* logText = g_sendLogText != nullptr ? g_sendLogText : "";
        const size_t budget = FormBodyBudget(strlen(logText));
        if (budget > 0)
            body = AllocateBody(budget + kBodySlack);
        if (body == nullptr) {
            ShowSendMessage(kNoBodyMemory, UI_MB_ICONERROR);
        } else {
            PostForm(body, budget, logText);
        }
    }

    // Clean-up, on every path: the body, the log text, the thread's own handle; then the handle
    // and, last, the id become 0, which tells the busy check that the post has ended.
    free(body);
    free(g_sendLogText);
    g_sendLogText = nullptr;
    OsCloseThread(g_sendThread.load(std::memory_order_acquire));
    g_sendThread.store(nullptr, std::memory_order_release);
    g_sendThreadId.store(0, std::memory_order_release);
    return 0;
}

int StartSendLogThread() {
    // One post at a time: a thread that is still running keeps its handle and id.
    if (g_sendThread.load(std::memory_order_acquire) != nullptr ||
        g_sendThreadId.load(std::memory_order_acquire) != 0) {
        return 0;
    }
    // The new thread waits until its handle is published before it does anything. Its clean-up
    // (handle to 0, then id to 0) therefore always comes after the two stores below and is never
    // overwritten by them, however quickly the post ends. The id is stored first; the release
    // store of the handle publishes both, with the inputs written before the start.
    uint32_t id = 0;
    OsThread thread = OsStartThread(SendLogThread, nullptr, &id);
    if (thread == nullptr)
        return 0;
    g_sendThreadId.store(id, std::memory_order_release);
    g_sendThread.store(thread, std::memory_order_release);
    return 1;
}

int WaitForSendLogThread(unsigned milliseconds) {
    const uint64_t start = OsNowMs();
    while (g_sendThread.load(std::memory_order_acquire) != nullptr ||
           g_sendThreadId.load(std::memory_order_acquire) != 0) {
        if (OsNowMs() - start >= milliseconds)
            return 0;
        PumpWait(kSendWaitStepMs);
    }
    return 1;
}
