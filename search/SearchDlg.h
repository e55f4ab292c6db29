// The search window and the search state it carries, shared by the sweep, the probe and the
// window itself.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/Os.h"
#include "ui/Ui.h"

class CSearchDlg : public CDialog {
  public:
    CSearchDlg();

    // Appends one line to the log view and to Modem.txt; strips trailing CR, LF and spaces
    // from `text` in place. Returns 1.
    int LogLine(char* text);
    // Opens Modem.txt and writes its header / writes its footer and closes it.
    void OpenModemLog();
    void CloseModemLog();

    int OnInitDialog() override;
    int OnCommand(WParam wParam, LParam lParam) override;
    void OnCancel() override;
    void OnDestroy() override;

    // The search state.
    std::atomic<int> m_logFile;             // descriptor of Modem.txt, -1 when none
    std::atomic<uint32_t> m_comPort;        // port under test, 1 for COM1; 257 after a sweep
    std::atomic<int> m_found;               // the probe found a modem
    std::atomic<uint16_t> m_initCode;       // the port's Init code
    std::atomic<int> m_abort;               // the user asked to stop
    OsThread m_probeThread;                 // the current probe's handle (the sweep's own)
    std::atomic<uint32_t> m_probeThreadId;  // non-zero exactly while the probe runs
    int m_resultListId;                     // list box that receives the result lines
    CDialog* m_resultWnd;                   // the window that holds it
    char m_modemName[128];                  // the modem's name, published by the probe

  private:
    void RunSearch();
};

// The search window of the current search (after a search, of the last one). Never freed.
extern std::atomic<CSearchDlg*> g_searchDlg;

// LogLine on the current search.
int LogLine(char* text);

// The sweep thread, started by the search window; closed and cleared by HousekeepingThread.
extern std::atomic<OsThread> g_findThread;
extern std::atomic<uint32_t> g_findThreadId;
// The search state the running sweep works on (null when none has run).
extern std::atomic<CSearchDlg*> g_findSearchDlg;

// Stock and own fonts of the log view.
extern UiFont g_oemFixedFont;
extern UiFont g_courierFont;
UiFont CreateCourierFont();
