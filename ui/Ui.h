// The window layer: dialogs built from the templates in resources/, run modally on the
// user-interface thread, with control access by id, message boxes and message pumping.
//
// One back end is linked into a program: ui/console (terminal), ui/qt (Qt 6 Widgets) or
// ui/win32 (raw Win32). The system's code includes only this header.
//
// Threads: every CDialog call may be made from any thread. From a thread other than the
// user-interface thread it is handed to the user-interface thread and returns only after that
// thread has handled it (the user-interface thread must therefore keep pumping, which PumpWait
// does). A call on a window that has been destroyed does nothing and returns at once.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uintptr_t WParam;
typedef intptr_t LParam;
typedef intptr_t LResult;

// Dialog results and command ids.
enum : int { UI_IDOK = 1, UI_IDCANCEL = 2, UI_IDYES = 6, UI_IDNO = 7 };

// Message box flags (the Win32 values).
enum : unsigned {
    UI_MB_OK = 0x0,
    UI_MB_YESNO = 0x4,
    UI_MB_ICONERROR = 0x10,
    UI_MB_ICONQUESTION = 0x20,
    UI_MB_ICONWARNING = 0x30,
};

// Messages handed to DefWindowProc.
enum : unsigned { UI_WM_TIMECHANGE = 0x1E };

// Low 16 bits of a command's wParam: the command id.
inline unsigned CommandId(WParam wParam) {
    return static_cast<unsigned>(wParam & 0xFFFF);
}

typedef uintptr_t UiFont;  // 0: none
typedef uintptr_t UiIcon;  // 0: none

struct UiWindow;  // the back end's part of a window

class CDialog {
  public:
    explicit CDialog(int templateId);
    virtual ~CDialog();

    // Creates the window from its template, calls OnInitDialog, runs the window's modal loop
    // until EndDialog, then calls OnDestroy and destroys the window. The owner (the window
    // below on the stack of modal windows) is disabled meanwhile. Returns EndDialog's result,
    // or -1 when the window could not be made.
    int DoModal();
    // Ends the modal loop once the current message has been handled.
    void EndDialog(int result);

    int TemplateId() const { return m_templateId; }

    // Handlers.
    virtual int OnInitDialog();  // returns 1 to let the framework set the focus
    virtual void OnOK();         // ends the window with UI_IDOK
    virtual void OnCancel();     // ends the window with UI_IDCANCEL
    // Default command routing: UI_IDOK to OnOK, UI_IDCANCEL to OnCancel. Returns 1.
    virtual int OnCommand(WParam wParam, LParam lParam);
    // A close request (close box, Alt+F4, a posted close). Default: the Cancel command.
    virtual void OnClose();
    virtual void OnDestroy();
    // Messages without a handler of their own, such as UI_WM_TIMECHANGE. Returns 0.
    virtual LResult DefWindowProc(unsigned message, WParam wParam, LParam lParam);

    // The window and its controls.
    void SetWindowText(const char* text);
    void SetDlgItemText(int id, const char* text);
    // Reads a control's text, at most size - 1 characters, always terminated. Returns the length.
    unsigned GetDlgItemText(int id, char* buffer, unsigned size);
    void ShowDlgItem(int id, bool show);
    void EnableWindow(bool enable);
    void CenterWindow();  // on the desktop
    void SetTopMost();    // above the windows of other programs, not activated
    void FocusDlgItem(int id);
    void SetDlgItemFont(int id, UiFont font);
    void SetIcon(UiIcon icon);
    // Sorted list box: adds a line in its sorted place / removes every line.
    void AddListString(int id, const char* text);
    void ResetList(int id);
    // Edit control: drops any selection without moving the caret and inserts `text` at the
    // caret (no undo).
    void AppendViewText(int id, const char* text);

    // Queues a command (WM_COMMAND with the id in the low 16 bits) or a close request for the
    // window; returns at once.
    void PostCommand(unsigned commandId, LParam lParam = 0);
    void PostClose();

    // The system menu, by position.
    int GetSystemMenuItemCount();
    // The item's text into `buffer`; returns its length, 0 for an item without text.
    int GetSystemMenuString(int position, char* buffer, int size);
    unsigned GetSystemMenuItemId(int position);
    bool IsSystemMenuItemDisabled(unsigned commandId);
    void GreySystemMenuItem(unsigned commandId);

    UiWindow* m_window;  // the back end's part; null while the window does not exist

  private:
    int m_templateId;
};

// The application object: the program's InitInstance runs once the window layer is ready.
class CWinApp {
  public:
    CWinApp();
    virtual ~CWinApp();
    virtual int InitInstance() = 0;
};

// Runs the application object's InitInstance on the calling thread, which becomes the
// user-interface thread. Returns the program's exit status.
int UiRunApplication(CWinApp* app);

// Shows a message box owned by `owner` (null: no owner) and returns UI_IDOK, UI_IDYES or UI_IDNO.
int UiMessageBox(CDialog* owner, const char* text, const char* caption, unsigned flags);

// Dispatches every message waiting for the calling thread's windows.
void UiPumpMessages();

// Fonts and icons.
UiFont UiGetStockFixedFont();
UiFont UiCreateFont(const char* face, int height, int weight);
void UiDeleteFont(UiFont font);
UiIcon UiLoadSmallIcon(int resourceId);

// Screen size in pixels.
void UiGetScreenSize(int* width, int* height);

// Opens a document with the user's associated viewer, `owner` being the window that asks.
void UiOpenDocument(CDialog* owner, const char* path, const char* directory);

// The application object made by the program (there is one).
CWinApp* UiTheApp();
