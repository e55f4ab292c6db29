// The modem log: LogLine, the opening of Modem.txt with its header, and its footer.
#include <cstdio>
#include <cstring>

#include "common/Common.h"
#include "os/Os.h"
#include "resources/Resources.h"
#include "search/SearchDlg.h"
#include "ui/Ui.h"

namespace {
const size_t kLineSize = 4096;
// The longest text a line keeps: room is left for CR LF and the terminator.
const int kLongestText = static_cast<int>(kLineSize) - 3;
const char kLineEnd[] = "\r\n";

// The current local time in asctime form, with its closing newline.
void FormatNow(char* text, size_t size) {
    FormatAsctime(text, size, static_cast<int64_t>(OsNowMs() / 1000));
}
}  // namespace

int CSearchDlg::LogLine(char* text) {
    char line[kLineSize];
    if (text != nullptr)
        TrimRight(text);
    // A text too long for the line is cut so that the line still ends in CR LF.
    const int length =
        snprintf(line, sizeof line, "%.*s%s", kLongestText, text != nullptr ? text : "", kLineEnd);
    if (length < 0)
        return 1;
    AppendViewText(IDC_LOGVIEW, line);
    const int fd = m_logFile.load();
    if (fd >= 0)
        OsWriteFile(fd, line, static_cast<unsigned long>(strlen(line)));
    return 1;
}

void CSearchDlg::OpenModemLog() {
    char path[512];
    char text[1024];
    char now[64];

    m_logFile.store(-1);
    ComposeLogPath(path, sizeof path);
    const int fd = OsCreateFile(path);
    m_logFile.store(fd < 0 ? -1 : fd);
    if (fd < 0) {
        snprintf(text, sizeof text, "Can not create:\n%s\n", path);
        UiMessageBox(this, text, kCaption, UI_MB_ICONERROR);
        LogLine(text);
    }

    snprintf(text, sizeof text, "Log of Modem Responses%s%s %s", kLineEnd, kCaption, kVersionText);
    LogLine(text);
    FormatNow(now, sizeof now);
    snprintf(text, sizeof text, "Start Modem Log - %s", now);
    LogLine(text);
}

void CSearchDlg::CloseModemLog() {
    char text[128];
    char now[64];

    FormatNow(now, sizeof now);
    snprintf(text, sizeof text, "%sEnd Modem Log - %s", kLineEnd, now);
    LogLine(text);
    const int fd = m_logFile.exchange(-1);
    if (fd >= 0)
        OsCloseFile(fd);
}
