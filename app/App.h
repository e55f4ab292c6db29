// The program's skeleton: application object, main window, identity prompts, about and notice
// boxes.
#pragma once

#include <cstddef>

#include "ui/Ui.h"

extern char g_userName[88];
extern char g_userEmail[84];

extern char g_promptTitle[128];
extern char g_promptCancelText[16];
extern char g_promptOkText[16];
extern char g_promptText[2048];
extern char g_promptEditText[2048];

// Runs one prompt box over `buffer` (`size` bytes; may be null). Returns 1 when confirmed; the
// entry is then cut to the buffer.
int AskText(char* buffer, size_t size, const char* prompt);
int ValidateName(const char* name);
int ValidateEmail(const char* address);

int IsSizeOrMaximizeItem(const char* text);
void GreySizeAndMaximize(CDialog* window);

class CMainDlg : public CDialog {
  public:
    CMainDlg();
    int OnInitDialog() override;
    int OnCommand(WParam wParam, LParam lParam) override;
    void OnCancel() override;
    void OnClose() override;
    LResult DefWindowProc(unsigned message, WParam wParam, LParam lParam) override;

    UiIcon m_hIcon;
};

class CPromptDlg : public CDialog {
  public:
    CPromptDlg();
    int OnInitDialog() override;
    int OnCommand(WParam wParam, LParam lParam) override;
};

class CAboutDlg : public CDialog {
  public:
    CAboutDlg();
    int OnInitDialog() override;
    int OnCommand(WParam wParam, LParam lParam) override;
};

class CNoticeDlg : public CDialog {
  public:
    CNoticeDlg();
    int OnInitDialog() override;
    int OnCommand(WParam wParam, LParam lParam) override;

    const char* m_caption;
    const char* m_text;
};

class CModemTestApp : public CWinApp {
  public:
    CModemTestApp();  // stores the current directory in g_startDir
    int InitInstance() override;
};

extern CMainDlg* g_mainDlg;
