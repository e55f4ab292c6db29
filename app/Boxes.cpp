// The about box and the notice box.
#include <cstdio>

#include "app/App.h"
#include "common/Common.h"
#include "resources/Resources.h"
#include "sysinfo/SystemDescription.h"

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUT) {}

int CAboutDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    char title[160];
    snprintf(title, sizeof title, "About %s", kCaption);
    SetWindowText(title);
    char text[512];
    snprintf(text, sizeof text, "Version: %s - Windows Type: %lu.%lu.%lu\n%s", kVersionText,
             g_osPlatformId, g_osMajorVersion, g_osMinorVersion, g_osDescription);
    SetDlgItemText(IDC_ABOUT_TEXT, text);
    CenterWindow();
    return 1;
}

int CAboutDlg::OnCommand(WParam wParam, LParam lParam) {
    if (CommandId(wParam) == IDC_ABOUT_OK)
        CDialog::OnOK();
    return CDialog::OnCommand(wParam, lParam);
}

CNoticeDlg::CNoticeDlg() : CDialog(IDD_NOTICE), m_caption(""), m_text("") {}

int CNoticeDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetWindowText(m_caption);
    SetDlgItemText(IDC_NOTICE_TEXT, m_text);
    CenterWindow();
    SetTopMost();
    FocusDlgItem(IDC_CONTINUE);
    return 0;
}

int CNoticeDlg::OnCommand(WParam wParam, LParam lParam) {
    if (CommandId(wParam) == IDC_CONTINUE)
        OnOK();
    return CDialog::OnCommand(wParam, lParam);
}
