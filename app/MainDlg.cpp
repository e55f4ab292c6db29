// The main window: identity prompts at start, the result list, the start command, the menu and
// the close protocol.
#include <cstdio>
#include <cstring>
#include <new>

#include "app/App.h"
#include "common/Common.h"
#include "resources/Resources.h"
#include "search/Search.h"
#include "search/SearchDlg.h"
#include "sysinfo/SystemDescription.h"

CMainDlg* g_mainDlg = nullptr;

namespace {
const char kIntroText[] =
    "Click on the [Click here to Quillifax...] button below to search all 256 COM-Ports on this "
    "computer. All modems that have fax chips will be listed below. After the fax test, you will "
    "be given an opportunity to send the full report to Dunvarlotek. The tech-support at "
    "Dunvarlotek will analyze and reply with helpful hints. You can also call Dunvarlotek at "
    "1-555-010-4477 now for help. Be sure to close all programs (especaily any program that "
    "uses a modem) while testing.";

const char kNamePrompt[] =
    "Enter your [tech-support] name or your company name:\n\nThis name will be used to help get "
    "your modem running correctly.\n\nTyping your name correctly here will ensure that you will "
    "receive excellent tech-support.";

const char kEmailPrompt[] =
    "Enter your [tech-support] email address:\n\nThis email address will be used to send you "
    "the results of this modem test.\n\nTyping your email address correctly here will ensure "
    "that you will receive excellent tech-support.";

const char kNotice[] =
    "Close all programs (especaily any program that uses a modem) before continuing...";

// Asks for one identity entry until it passes its check.
void AskIdentity(char* buffer, size_t size, int (*validate)(const char*), const char* titleFormat,
                 const char* prompt) {
    while (!validate(buffer)) {
        snprintf(g_promptTitle, sizeof g_promptTitle, titleFormat, kCaption);
        g_promptCancelText[0] = '\0';
        CopyBounded(g_promptOkText, "&Continue", sizeof g_promptOkText);
        AskText(buffer, size, prompt);
    }
}
}  // namespace

// strnicmp over the letters A to Z.
static int CompareNoCase(const char* a, const char* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const int ca = (a[i] >= 'A' && a[i] <= 'Z') ? a[i] - 'A' + 'a' : a[i];
        const int cb = (b[i] >= 'A' && b[i] <= 'Z') ? b[i] - 'A' + 'a' : b[i];
        if (ca != cb)
            return ca - cb;
        if (ca == '\0')
            return 0;
    }
    return 0;
}

int IsSizeOrMaximizeItem(const char* text) {
    char work[128];
    memset(work, 0, sizeof work);
    size_t out = 0;
    for (size_t i = 0; i <= 8 && text[i] != '\0'; ++i) {
        if (text[i] != '&')
            work[out++] = text[i];
    }
    if (CompareNoCase(work, "Maximize", 8) == 0)
        return 1;
    if (CompareNoCase(work, "Size", 4) == 0)
        return 1;
    return 0;
}

void GreySizeAndMaximize(CDialog* window) {
    for (int position = 0; position < window->GetSystemMenuItemCount(); ++position) {
        char text[128];
        if (window->GetSystemMenuString(position, text, sizeof text) == 0)
            continue;
        if (!IsSizeOrMaximizeItem(text))
            continue;
        const unsigned id = window->GetSystemMenuItemId(position) & 0xFFFF;
        if (!window->IsSystemMenuItemDisabled(id))
            window->GreySystemMenuItem(id);
    }
}

CMainDlg::CMainDlg() : CDialog(IDD_MAIN), m_hIcon(UiLoadSmallIcon(IDI_PROGRAM)) {}

int CMainDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetIcon(m_hIcon);
    DescribeWindows();
    char title[128];
    snprintf(title, sizeof title, "%s - Version %s", kCaption, kVersionText);
    SetWindowText(title);
    GreySizeAndMaximize(this);
    SetDlgItemText(IDC_INTRO, kIntroText);
    AskIdentity(g_userName, sizeof g_userName, ValidateName,
                "%s, Your Name for tech-support Purposes...", kNamePrompt);
    AskIdentity(g_userEmail, sizeof g_userEmail, ValidateEmail,
                "%s, Your Email Address for tech-support Purposes...", kEmailPrompt);
    OsThread housekeeping = OsStartThread(HousekeepingThread, nullptr, &g_housekeepingThreadId);
    g_housekeepingThread.store(housekeeping);
    PostCommand(IDC_START, 0);
    return 0;
}

int CMainDlg::OnCommand(WParam wParam, LParam lParam) {
    switch (CommandId(wParam)) {
        case IDC_START: {
            CSearchDlg* search = new (std::nothrow) CSearchDlg;
            if (search == nullptr)
                break;
            g_searchDlg.store(search);
            CNoticeDlg notice;
            notice.m_caption = kCaption;
            notice.m_text = kNotice;
            notice.DoModal();
            ResetList(IDC_RESULTS);
            search->m_resultListId = IDC_RESULTS;
            search->m_resultWnd = this;
            search->DoModal();
            break;
        }
        case ID_FILE_EXIT:
            g_closeRequested.store(1);
            PostClose();
            break;
        case ID_HELP_ABOUT: {
            CAboutDlg about;
            about.DoModal();
            break;
        }
        default:
            break;
    }
    return CDialog::OnCommand(wParam, lParam);
}

void CMainDlg::OnClose() {
    if (g_quit.load())
        return;
    g_closeRequested.store(1);
    g_quit.store(1);
    if (g_mainDlg != nullptr)
        g_mainDlg->EnableWindow(false);
    CDialog::OnClose();
}

void CMainDlg::OnCancel() {
    if (g_closeRequested.load())
        CDialog::OnCancel();
}

LResult CMainDlg::DefWindowProc(unsigned message, WParam wParam, LParam lParam) {
    if (message == UI_WM_TIMECHANGE)
        g_clockChanges.store(10);
    return CDialog::DefWindowProc(message, wParam, lParam);
}
