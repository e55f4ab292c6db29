// The search window: shows the log as it grows, offers "Stop Looking", runs the sweep and hands
// the log over when the sweep has ended.
#include "search/SearchDlg.h"

#include "common/Common.h"
#include "resources/Resources.h"
#include "search/Search.h"
#include "support/Support.h"

std::atomic<CSearchDlg*> g_searchDlg{nullptr};
std::atomic<CSearchDlg*> g_findSearchDlg{nullptr};
std::atomic<OsThread> g_findThread{nullptr};
std::atomic<uint32_t> g_findThreadId{0};
UiFont g_oemFixedFont = 0;
UiFont g_courierFont = 0;

namespace {
const unsigned kSearchPollMs = 60;
const unsigned kNoProgressLimit = 750;
}  // namespace

int LogLine(char* text) {
    CSearchDlg* search = g_searchDlg.load();
    if (search == nullptr)
        return 1;
    return search->LogLine(text);
}

CSearchDlg::CSearchDlg()
    : CDialog(IDD_SEARCH),
      m_logFile(-1),
      m_comPort(0),
      m_found(0),
      m_initCode(0),
      m_abort(0),
      m_probeThread(nullptr),
      m_probeThreadId(0),
      m_resultListId(0),
      m_resultWnd(nullptr),
      m_modemName() {}

UiFont CreateCourierFont() {
    return UiCreateFont("Courier", -11, 400);
}

int CSearchDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    g_oemFixedFont = UiGetStockFixedFont();
    g_courierFont = CreateCourierFont();
    CenterWindow();
    if (g_oemFixedFont != 0) {
        SetDlgItemFont(IDC_LOGVIEW, g_oemFixedFont);
    } else if (g_courierFont != 0) {
        SetDlgItemFont(IDC_LOGVIEW, g_courierFont);
    }
    FocusDlgItem(IDC_LOGVIEW);
    PostCommand(IDC_RUNSEARCH);
    return 1;
}

void CSearchDlg::OnDestroy() {
    CDialog::OnDestroy();
    if (g_courierFont != 0) {
        UiDeleteFont(g_courierFont);
        g_courierFont = 0;
    }
}

// Esc and the close box leave the window open: it closes only at the end of the search.
void CSearchDlg::OnCancel() {}

int CSearchDlg::OnCommand(WParam wParam, LParam lParam) {
    switch (CommandId(wParam)) {
        case IDC_STOP:
            m_abort.store(1);
            UiMessageBox(this, "The search has been aborted, but could take a few seconds to stop.",
                         kCaption, UI_MB_OK);
            break;
        case IDC_RUNSEARCH:
            RunSearch();
            break;
        default:
            break;
    }
    return CDialog::OnCommand(wParam, lParam);
}

// An earlier sweep that outlived its window (it stopped making progress for its window) must
// have ended before a new one starts: two sweeps never share the log file.
static void EndEarlierSweep() {
    if (g_findThread.load() == nullptr && g_findThreadId.load() == 0)
        return;
    CSearchDlg* earlier = g_findSearchDlg.load();
    if (earlier != nullptr)
        earlier->m_abort.store(1);
    while (g_findThread.load() != nullptr)
        PumpWait(kSearchPollMs);
}

void CSearchDlg::RunSearch() {
    if (!CheckSendBusy(this)) {
        EndDialog(UI_IDCANCEL);
        return;
    }
    EndEarlierSweep();
    m_abort.store(0);

    // The id is published before the thread can run (and clear it as its last act); the handle
    // follows, and HousekeepingThread reaps it once the id says the sweep has ended.
    g_findSearchDlg.store(this);
    OsThread thread = OsStartThread(FindModemThread, this, &g_findThreadId);
    if (thread == nullptr) {
        g_findThreadId.store(0);
        EndDialog(UI_IDCANCEL);
        return;
    }
    g_findThread.store(thread);

    unsigned count = 0;
    uint32_t lastPort = 0;
    while (g_findThread.load() != nullptr) {
        const uint32_t port = m_comPort.load();
        if (port != lastPort) {
            lastPort = port;
            count = 0;
        }
        PumpWait(kSearchPollMs);
        if (++count >= kNoProgressLimit)
            break;
    }

    HandOverLog(this);
    OnOK();
}
