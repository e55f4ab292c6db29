// The submission offer: the busy check before a search and the hand-over of the log after it.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/Common.h"
#include "os/Os.h"
#include "support/FormPost.h"
#include "support/Support.h"
#include "ui/Ui.h"

namespace {
const char kBusyQuestion[] =
    "The Send-to-Dunvarlotek is busy. Please wait and retry later.\n\nDo you want to try again "
    "now?";
const char kOfferQuestion[] = "Click [Yes] to send this log to Dunvarlotek for help.";
const char kSubjectFormat[] = "%s find fax modems";
const char kSendMessageText[] = "Please advise...";
const char kOpenFailed[] = "Can not Open:\n%s";
const char kReadFailed[] = "Can not Read:\n%s";
const uint64_t kMinimumLogSize = 11;  // a log of 10 bytes or less is not offered

bool SendThreadRunning() {
    return g_sendThread.load(std::memory_order_acquire) != nullptr ||
           g_sendThreadId.load(std::memory_order_acquire) != 0;
}

void ShowFailure(CDialog* owner, const char* format, const char* path) {
    char text[320];
    snprintf(text, sizeof text, format, path);
    UiMessageBox(owner, text, kCaption, UI_MB_ICONERROR);
}

// Replaces every '<' by '[' and every '>' by ']' up to the first zero byte.
void SanitiseLogText(char* text) {
    for (char* at = text; *at != '\0'; ++at) {
        if (*at == '<') {
            *at = '[';
        } else if (*at == '>') {
            *at = ']';
        }
    }
}
}  // namespace

int CheckSendBusy(CDialog* owner) {
    int declined = 0;
    // The question comes back for as long as the earlier post runs, whatever the answer; a single
    // No keeps the search from running once it has ended.
    while (SendThreadRunning()) {
        if (UiMessageBox(owner, kBusyQuestion, kCaption, UI_MB_YESNO | UI_MB_ICONQUESTION) !=
            UI_IDYES) {
            declined = 1;
        }
    }
    return declined ? 0 : 1;
}

void HandOverLog(CDialog* owner) {
    char path[300];
    ComposeLogPath(path, sizeof path);

    // The log is shown first, whatever the user then answers.
    UiOpenDocument(owner, path, g_startDir);
    if (UiMessageBox(owner, kOfferQuestion, kCaption, UI_MB_YESNO | UI_MB_ICONQUESTION) !=
        UI_IDYES) {
        return;
    }

    uint64_t size = 0;
    if (!OsFileSize(path, &size))
        return;
    if (size < kMinimumLogSize)
        return;
    // A log too long to read in one piece or to post is treated like one there is no memory for.
    if (size > static_cast<uint64_t>(LONG_MAX) - 1 ||
        FormBodyBudget(static_cast<size_t>(size)) == 0) {
        return;
    }
    char* text = static_cast<char*>(calloc(static_cast<size_t>(size) + 1, 1));
    if (text == nullptr)
        return;

    const int file = OsOpenFileRead(path);
    if (file < 0) {
        free(text);
        ShowFailure(owner, kOpenFailed, path);
        return;
    }
    const long got = OsReadFile(file, text, static_cast<unsigned long>(size));
    if (got < 0 || static_cast<uint64_t>(got) != size) {
        free(text);
        ShowFailure(owner, kReadFailed, path);
        OsCloseFile(file);
        return;
    }
    SanitiseLogText(text);

    // The inputs belong to a running post; a search that passed the busy check never meets one,
    // but they are left alone if one is running all the same.
    if (SendThreadRunning()) {
        free(text);
        OsCloseFile(file);
        return;
    }
    g_sendOwnerWnd.store(owner);
    char subject[128];
    snprintf(subject, sizeof subject, kSubjectFormat, kCaption);
    CopyBounded(g_sendSubject, subject, sizeof g_sendSubject);
    CopyBounded(g_sendMessage, kSendMessageText, sizeof g_sendMessage);
    g_sendLogText = text;

    // From here the text belongs to SendLogThread, which frees it. When the thread cannot be
    // started nobody else would, so it is released here.
    if (!StartSendLogThread()) {
        g_sendLogText = nullptr;
        free(text);
    }
    OsCloseFile(file);
}
