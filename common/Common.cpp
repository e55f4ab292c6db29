#include "common/Common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "os/Os.h"
#include "ui/Ui.h"

const char kCaption[] = "Dunvarlotek Modem Test";
const char kVersionText[] = "24.07.27";

std::atomic<int> g_quit{0};
std::atomic<int> g_closeRequested{0};
std::atomic<int> g_clockChanges{0};
char g_startDir[260];

int TakeClockChange() {
    int pending = g_clockChanges.load();
    while (pending > 0) {
        if (g_clockChanges.compare_exchange_weak(pending, pending - 1))
            return 1;
    }
    return 0;
}

void PumpWait(unsigned milliseconds) {
    const uint64_t start = OsNowMs();
    const unsigned step = milliseconds <= 1000 ? 1 : 100;
    for (;;) {
        UiPumpMessages();
        OsSleep(step);
        if (TakeClockChange())
            return;
        if (OsNowMs() - start >= milliseconds)
            return;
        if (g_quit.load())
            return;
    }
}

static void LowerAsciiCopy(char* dst, const char* src, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char c = src[i];
        dst[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    dst[length] = '\0';
}

char* FindNoCase(const char* text, const char* pattern) {
    if (text == nullptr || pattern == nullptr)
        return nullptr;
    const size_t textLength = strlen(text);
    const size_t patternLength = strlen(pattern);
    char* textCopy = static_cast<char*>(calloc(textLength + 2, 1));
    char* patternCopy = static_cast<char*>(calloc(patternLength + 2, 1));
    char* found = nullptr;
    if (textCopy != nullptr && patternCopy != nullptr) {
        LowerAsciiCopy(textCopy, text, textLength);
        LowerAsciiCopy(patternCopy, pattern, patternLength);
        const char* match = strstr(textCopy, patternCopy);
        if (match != nullptr)
            found = const_cast<char*>(text) + (match - textCopy);
    }
    free(textCopy);
    free(patternCopy);
    return found;
}

char* TrimRight(char* text) {
    if (text == nullptr)
        return text;
    size_t length = strlen(text);
    while (length > 0) {
        const char last = text[length - 1];
        if (last != '\n' && last != '\r' && last != ' ')
            break;
        text[--length] = '\0';
    }
    return text;
}

char* CopyBounded(char* dst, const char* src, size_t count) {
    if (dst == nullptr)
        return nullptr;
    if (count == 0)
        return dst;
    size_t i = 0;
    if (src != nullptr) {
        for (; i + 1 < count && src[i] != '\0'; ++i)
            dst[i] = src[i];
    }
    dst[i] = '\0';
    return dst;
}

char* AppendBounded(char* dst, const char* src, size_t count) {
    if (dst == nullptr)
        return nullptr;
    if (src == nullptr || src[0] == '\0' || count == 0)
        return dst;
    size_t length = strnlen(dst, count);
    if (length + 1 >= count)
        return dst;
    for (size_t i = 0; src[i] != '\0' && length + 1 < count; ++i)
        dst[length++] = src[i];
    dst[length] = '\0';
    return dst;
}

void NormalizeLineBreaks(char* text) {
    if (text == nullptr)
        return;
    char scratch[2048];
    memset(scratch, 0, sizeof scratch);
    const char* in = text;
    for (int skipped = 0; skipped < 10 && (*in == '\r' || *in == '\n'); ++skipped)
        ++in;
    size_t out = 0;
    while (*in != '\0' && out < 2045) {
        if (*in == '\r' || *in == '\n') {
            while (*in == '\r' || *in == '\n')
                ++in;
            scratch[out++] = '\r';
            scratch[out++] = '\n';
        } else {
            scratch[out++] = *in++;
        }
    }
    scratch[out] = '\0';
    memcpy(text, scratch, out + 1);
}

void ComposePath(char* path, size_t size, const char* dir, const char* name) {
    snprintf(path, size, "%s%s%s", dir, OsPathSeparator(), name);
}

void ComposeLogPath(char* path, size_t size) {
    ComposePath(path, size, g_startDir, "Modem.txt");
}

void FormatAsctime(char* text, size_t size, int64_t seconds) {
    static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm local;
    memset(&local, 0, sizeof local);
    if (!OsLocalTime(seconds, &local))
        local.tm_mday = 1;
    const int wday = (local.tm_wday >= 0 && local.tm_wday < 7) ? local.tm_wday : 0;
    const int mon = (local.tm_mon >= 0 && local.tm_mon < 12) ? local.tm_mon : 0;
    snprintf(text, size, "%s %s %02d %02d:%02d:%02d %d\n", kDays[wday], kMonths[mon], local.tm_mday,
             local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
}
