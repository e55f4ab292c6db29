// The tech-support identity: the prompt box, AskText and the two checks.
#include <cstdio>
#include <cstring>

#include "app/App.h"
#include "common/Common.h"
#include "resources/Resources.h"

char g_userName[88];
char g_userEmail[84];

char g_promptTitle[128];
char g_promptCancelText[16];
char g_promptOkText[16];
char g_promptText[2048];
char g_promptEditText[2048];

CPromptDlg::CPromptDlg() : CDialog(IDD_PROMPT) {}

int CPromptDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetWindowText(g_promptTitle);
    if (g_promptCancelText[0] == '\0') {
        ShowDlgItem(IDC_PROMPT_CANCEL, false);
    } else {
        SetDlgItemText(IDC_PROMPT_CANCEL, g_promptCancelText);
    }
    SetDlgItemText(IDC_PROMPT_OK, g_promptOkText);
    SetDlgItemText(IDC_PROMPT_TEXT, g_promptText);
    SetDlgItemText(IDC_PROMPT_EDIT, g_promptEditText);
    CenterWindow();
    FocusDlgItem(IDC_PROMPT_EDIT);
    return 0;
}

int CPromptDlg::OnCommand(WParam wParam, LParam lParam) {
    switch (CommandId(wParam)) {
        case IDC_PROMPT_CANCEL:
            CDialog::OnCancel();
            break;
        case IDC_PROMPT_OK:
            GetDlgItemText(IDC_PROMPT_EDIT, g_promptEditText, sizeof g_promptEditText);
            CDialog::OnOK();
            break;
        default:
            break;
    }
    return CDialog::OnCommand(wParam, lParam);
}

int AskText(char* buffer, size_t size, const char* prompt) {
    CopyBounded(g_promptText, prompt, sizeof g_promptText);
    CopyBounded(g_promptEditText, buffer, sizeof g_promptEditText);
    CPromptDlg box;
    if (box.DoModal() != UI_IDOK)
        return 0;
    if (buffer == nullptr)
        return 1;
    // An entry longer than the caller's buffer is cut to it.
    CopyBounded(buffer, g_promptEditText, size);
    return 1;
}

int ValidateName(const char* name) {
    if (strlen(name) < 3)
        return 0;
    if (name[0] == ' ')
        return 0;
    return 1;
}

int ValidateEmail(const char* address) {
    if (strlen(address) < 6)
        return 0;
    if (strchr(address, ' ') != nullptr || strchr(address, ',') != nullptr)
        return 0;
    if (strstr(address, "@_") != nullptr)
        return 0;
    if (address[0] == '@' || address[0] == '.')
        return 0;
    int atSigns = 0;
    int dotsAfterAt = 0;
    for (const char* c = address; *c != '\0'; ++c) {
        if (*c == '@') {
            ++atSigns;
        } else if (*c == '.' && atSigns > 0) {
            ++dotsAfterAt;
        }
    }
    return atSigns == 1 && dotsAfterAt >= 1 ? 1 : 0;
}
