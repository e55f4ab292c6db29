// The application object: captures the start folder and runs the main window.
#include <cstring>

#include "app/App.h"
#include "common/Common.h"
#include "os/Os.h"
#include "support/Support.h"

namespace {
// How long leaving the program waits for a support post that is still being sent.
const unsigned kSendGraceMs = 10000;
}  // namespace

CModemTestApp::CModemTestApp() {
    memset(g_startDir, 0, sizeof g_startDir);
    if (!OsGetCurrentDirectory(g_startDir, sizeof g_startDir))
        g_startDir[0] = '\0';
}

int CModemTestApp::InitInstance() {
    CMainDlg main;
    g_mainDlg = &main;
    main.DoModal();
    g_mainDlg = nullptr;
    // The user agreed to send the report: let a post under way finish (its waits end at once
    // now that g_quit is set).
    WaitForSendLogThread(kSendGraceMs);
    return 0;
}
