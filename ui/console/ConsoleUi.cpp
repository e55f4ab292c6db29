// The window layer in a terminal.
//
// Every dialog keeps its controls' state here; what a user would see is printed as plain lines,
// and what a user would do is read from standard input one line at a time:
// - a prompt box (a template with a one-line edit field) prints its title, its text and the
//   current entry, then reads one line: a non-empty line becomes the entry; either way the
//   default button is pressed. End of input there ends the program with status 1;
// - a box of texts (about, notice) prints its texts and reads one line for its default button;
// - a window with a menu (the main window) prints its title, its list and its command keys each
//   time it is idle, and reads one key; end of input is a close request;
// - a window with a multi-line view (the search window) prints its caption and then every text
//   added to the view; Ctrl+C presses its button;
// - a message box prints its caption and text; an OK box reads one line, a Yes/No box reads
//   until y, yes, n or no (end of input answers No).
// While it waits for input the user-interface thread keeps dispatching messages, so that worker
// threads' calls are served.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "os/Os.h"
#include "resources/Resources.h"
#include "ui/Ui.h"
#include "ui/console/ConsoleTesting.h"

namespace {

enum WindowKind { WK_INFO, WK_PROMPT, WK_MENU, WK_VIEW };

struct SystemMenuItem {
    const char* text;
    unsigned id;
    bool disabled;
};

}  // namespace

struct UiWindow {
    CDialog* dialog = nullptr;
    const DialogTemplate* form = nullptr;
    WindowKind kind = WK_INFO;
    std::string title;
    std::map<int, std::string> texts;
    std::map<int, std::vector<std::string>> lists;
    std::set<int> hidden;
    std::vector<SystemMenuItem> systemMenu;
    bool enabled = true;
    bool shown = false;
    bool ended = false;
    bool topMost = false;
    bool closeRequestedByInput = false;
    int result = 0;
    int focus = 0;
};

namespace {

enum MessageKind { MK_COMMAND, MK_CLOSE, MK_INVOKE };

struct Message {
    MessageKind kind;
    CDialog* target;
    WParam wParam;
    LParam lParam;
    std::function<void()> call;
    bool* done;
};

std::mutex s_mutex;
std::condition_variable s_changed;
std::deque<Message> s_queue;
bool s_haveUiThread = false;
std::thread::id s_uiThread;
std::vector<UiWindow*> s_windows;  // the stack of modal windows, the active one last
bool s_inputEnded = false;
CWinApp* s_app = nullptr;

bool OnUiThread() {
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_haveUiThread && std::this_thread::get_id() == s_uiThread;
}

// Runs `call` on the user-interface thread and returns once it has run. Without a
// user-interface thread nothing runs.
void RunOnUiThread(const std::function<void()>& call) {
    std::unique_lock<std::mutex> lock(s_mutex);
    if (s_haveUiThread && std::this_thread::get_id() == s_uiThread) {
        lock.unlock();
        call();
        return;
    }
    if (!s_haveUiThread)
        return;
    bool done = false;
    s_queue.push_back(Message{MK_INVOKE, nullptr, 0, 0, call, &done});
    s_changed.notify_all();
    s_changed.wait(lock, [&] { return done; });
}

void Post(const Message& message) {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_queue.push_back(message);
    s_changed.notify_all();
}

UiWindow* LiveWindow(CDialog* dialog) {
    for (UiWindow* window : s_windows) {
        if (window->dialog == dialog)
            return window;
    }
    return nullptr;
}

void Write(const std::string& text) {
    OsConsole()->Write(text.c_str());
}

// The text as plain lines: CR LF and lone CRs become LF, '&' mnemonics stay as they are.
std::string PlainLines(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n')
                continue;
            out += '\n';
        } else {
            out += text[i];
        }
    }
    return out;
}

void WritePromptMarker(const char* marker) {
    if (OsConsole()->IsTerminal())
        Write(marker);
}

bool HandleInterrupt();

// Dispatches one waiting message. Returns false when there was none.
bool DispatchOne() {
    Message message;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (s_queue.empty())
            return false;
        message = s_queue.front();
        s_queue.pop_front();
    }
    switch (message.kind) {
        case MK_INVOKE:
            message.call();
            {
                std::lock_guard<std::mutex> lock(s_mutex);
                *message.done = true;
            }
            s_changed.notify_all();
            break;
        case MK_COMMAND:
            if (LiveWindow(message.target) != nullptr) {
                message.target->OnCommand(message.wParam, message.lParam);
            }
            break;
        case MK_CLOSE:
            if (LiveWindow(message.target) != nullptr)
                message.target->OnClose();
            break;
    }
    return true;
}

void DispatchAll() {
    HandleInterrupt();
    while (DispatchOne()) {
    }
}

// Waits up to `milliseconds` for a message to arrive.
void WaitForMessage(unsigned milliseconds) {
    std::unique_lock<std::mutex> lock(s_mutex);
    s_changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                       [] { return !s_queue.empty(); });
}

enum ReadOutcome { RO_LINE, RO_END, RO_CLOSED };

// Reads one line while dispatching messages. RO_CLOSED when `window` ended meanwhile.
ReadOutcome ReadLinePumping(UiWindow* window, char* buffer, size_t size) {
    for (;;) {
        DispatchAll();
        if (window != nullptr && window->ended)
            return RO_CLOSED;
        if (s_inputEnded)
            return RO_END;
        const OsReadResult result = OsConsole()->ReadLine(buffer, size, 20);
        if (result == OS_READ_LINE)
            return RO_LINE;
        if (result == OS_READ_END) {
            s_inputEnded = true;
            return RO_END;
        }
    }
}

const ControlTemplate* FindControl(const UiWindow* window, int id) {
    for (int i = 0; i < window->form->controlCount; ++i) {
        if (window->form->controls[i].id == id)
            return &window->form->controls[i];
    }
    return nullptr;
}

// The default button's id; without one, the first button's; else UI_IDOK.
int DefaultButton(const UiWindow* window) {
    int first = 0;
    for (int i = 0; i < window->form->controlCount; ++i) {
        const ControlTemplate& control = window->form->controls[i];
        if (control.kind != CK_BUTTON)
            continue;
        if (control.style & RS_DEFPUSHBUTTON)
            return control.id;
        if (first == 0)
            first = control.id;
    }
    return first != 0 ? first : UI_IDOK;
}

int FirstButton(const UiWindow* window) {
    for (int i = 0; i < window->form->controlCount; ++i) {
        if (window->form->controls[i].kind == CK_BUTTON)
            return window->form->controls[i].id;
    }
    return 0;
}

WindowKind KindOf(const DialogTemplate* form) {
    if (form->menuId != 0)
        return WK_MENU;
    WindowKind kind = WK_INFO;
    for (int i = 0; i < form->controlCount; ++i) {
        const ControlTemplate& control = form->controls[i];
        if (control.kind != CK_EDIT)
            continue;
        if (control.style & RS_ES_MULTILINE)
            return WK_VIEW;
        kind = WK_PROMPT;
    }
    return kind;
}

void PrintTitle(const UiWindow* window) {
    Write("\n== " + window->title + " ==\n");
}

void PrintStaticTexts(const UiWindow* window) {
    for (int i = 0; i < window->form->controlCount; ++i) {
        const ControlTemplate& control = window->form->controls[i];
        if (control.kind != CK_STATIC || window->hidden.count(control.id) != 0)
            continue;
        std::string text = control.id >= 0 ? window->texts.at(control.id) : control.text;
        if (!text.empty())
            Write(PlainLines(text) + "\n");
    }
}

void Show(UiWindow* window) {
    window->shown = true;
    switch (window->kind) {
        case WK_INFO:
            PrintTitle(window);
            PrintStaticTexts(window);
            break;
        case WK_PROMPT:
            PrintTitle(window);
            PrintStaticTexts(window);
            break;
        case WK_VIEW:
            PrintTitle(window);
            for (const auto& text : window->texts) {
                const ControlTemplate* control = FindControl(window, text.first);
                if (control != nullptr && control->kind == CK_EDIT)
                    Write(PlainLines(text.second));
            }
            break;
        case WK_MENU:
            break;
    }
}

void InteractWithMenu(UiWindow* window) {
    PrintTitle(window);
    for (const auto& list : window->lists) {
        for (const std::string& line : list.second)
            Write(line + "\n");
    }
    for (int i = 0; i < kMainConsoleKeyCount; ++i) {
        char line[160];
        snprintf(line, sizeof line, "%c) %s\n", kMainConsoleKeys[i].key, kMainConsoleKeys[i].label);
        Write(line);
    }
    WritePromptMarker("> ");
    char input[256];
    const ReadOutcome outcome = ReadLinePumping(window, input, sizeof input);
    if (outcome == RO_CLOSED)
        return;
    if (outcome == RO_END) {
        if (window->closeRequestedByInput) {
            // The close request was refused and no more input will come: nothing else can end
            // the window.
            window->dialog->EndDialog(UI_IDCANCEL);
            return;
        }
        window->closeRequestedByInput = true;
        window->dialog->PostClose();
        return;
    }
    const char key = static_cast<char>(tolower(static_cast<unsigned char>(input[0])));
    for (int i = 0; i < kMainConsoleKeyCount; ++i) {
        if (input[0] != '\0' && input[1] == '\0' && kMainConsoleKeys[i].key == key) {
            window->dialog->PostCommand(kMainConsoleKeys[i].commandId);
            return;
        }
    }
}

void InteractWithPrompt(UiWindow* window) {
    const ControlTemplate* edit = nullptr;
    for (int i = 0; i < window->form->controlCount; ++i) {
        if (window->form->controls[i].kind == CK_EDIT)
            edit = &window->form->controls[i];
    }
    Write("Entry: " + window->texts[edit->id] + "\n");
    WritePromptMarker("> ");
    char input[2048];
    const ReadOutcome outcome = ReadLinePumping(window, input, sizeof input);
    if (outcome == RO_CLOSED)
        return;
    if (outcome == RO_END) {
        Write("Input ended before the entry was confirmed.\n");
        OsExitProcess(1);
        return;
    }
    if (input[0] != '\0')
        window->texts[edit->id] = input;
    window->dialog->PostCommand(static_cast<unsigned>(DefaultButton(window)));
}

void InteractWithInfo(UiWindow* window) {
    WritePromptMarker("[Enter] > ");
    char input[256];
    const ReadOutcome outcome = ReadLinePumping(window, input, sizeof input);
    if (outcome == RO_CLOSED)
        return;
    window->dialog->PostCommand(static_cast<unsigned>(DefaultButton(window)));
}

void InteractWithView(UiWindow* window) {
    DispatchAll();
    if (!window->ended)
        WaitForMessage(20);
}

void Interact(UiWindow* window) {
    switch (window->kind) {
        case WK_MENU:
            InteractWithMenu(window);
            break;
        case WK_PROMPT:
            InteractWithPrompt(window);
            break;
        case WK_INFO:
            InteractWithInfo(window);
            break;
        case WK_VIEW:
            InteractWithView(window);
            break;
    }
}

// Ctrl+C: presses the button of an open search view, ends the program at a prompt, and is a
// close request elsewhere.
bool HandleInterrupt() {
    if (!OsConsole()->TakeInterrupt())
        return false;
    for (auto it = s_windows.rbegin(); it != s_windows.rend(); ++it) {
        if ((*it)->kind == WK_VIEW) {
            (*it)->dialog->PostCommand(static_cast<unsigned>(FirstButton(*it)));
            return true;
        }
    }
    if (!s_windows.empty() && s_windows.back()->kind == WK_PROMPT) {
        Write("\nInterrupted.\n");
        OsExitProcess(130);
        return true;
    }
    if (!s_windows.empty())
        s_windows.front()->dialog->PostClose();
    return true;
}

std::vector<SystemMenuItem> StandardSystemMenu() {
    return {{"&Restore", 0xF120, false},      {"&Move", 0xF010, false},
            {"&Size", 0xF000, false},         {"Mi&nimize", 0xF020, false},
            {"Ma&ximize", 0xF030, false},     {"", 0, false},
            {"&Close\tAlt+F4", 0xF060, false}};
}

bool ListOrder(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const int ca = tolower(static_cast<unsigned char>(a[i]));
        const int cb = tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

unsigned s_nextFont = 2;

}  // namespace

// ---------------------------------------------------------------------------------------------
// CDialog

CDialog::CDialog(int templateId) : m_window(nullptr), m_templateId(templateId) {}

CDialog::~CDialog() {}

int CDialog::DoModal() {
    if (!OnUiThread()) {
        int result = -1;
        RunOnUiThread([&] { result = DoModal(); });
        return result;
    }
    const DialogTemplate* form = FindDialogTemplate(m_templateId);
    if (form == nullptr || m_window != nullptr)
        return -1;
    UiWindow* window = new UiWindow;
    window->dialog = this;
    window->form = form;
    window->kind = KindOf(form);
    window->title = form->caption;
    window->systemMenu = StandardSystemMenu();
    for (int i = 0; i < form->controlCount; ++i) {
        const ControlTemplate& control = form->controls[i];
        if (control.id < 0)
            continue;
        window->texts[control.id] = control.text;
        if (control.kind == CK_LISTBOX)
            window->lists[control.id];
    }
    UiWindow* owner = s_windows.empty() ? nullptr : s_windows.back();
    const bool ownerWasEnabled = owner != nullptr && owner->enabled;
    if (owner != nullptr)
        owner->enabled = false;
    s_windows.push_back(window);
    m_window = window;

    OnInitDialog();
    if (form->style & RS_VISIBLE)
        Show(window);
    while (!window->ended) {
        DispatchAll();
        if (window->ended)
            break;
        if (!window->shown)
            Show(window);
        Interact(window);
    }
    OnDestroy();

    s_windows.erase(std::find(s_windows.begin(), s_windows.end(), window));
    if (owner != nullptr && ownerWasEnabled)
        owner->enabled = true;
    m_window = nullptr;
    const int result = window->result;
    delete window;
    return result;
}

void CDialog::EndDialog(int result) {
    RunOnUiThread([&] {
        if (m_window == nullptr)
            return;
        m_window->result = result;
        m_window->ended = true;
    });
}

int CDialog::OnInitDialog() {
    return 1;
}
void CDialog::OnOK() {
    EndDialog(UI_IDOK);
}
void CDialog::OnCancel() {
    EndDialog(UI_IDCANCEL);
}

int CDialog::OnCommand(WParam wParam, LParam) {
    const unsigned id = CommandId(wParam);
    if (id == UI_IDOK) {
        OnOK();
    } else if (id == UI_IDCANCEL) {
        OnCancel();
    }
    return 1;
}

void CDialog::OnClose() {
    OnCommand(UI_IDCANCEL, 0);
}
void CDialog::OnDestroy() {}
LResult CDialog::DefWindowProc(unsigned, WParam, LParam) {
    return 0;
}

void CDialog::SetWindowText(const char* text) {
    RunOnUiThread([&] {
        if (m_window != nullptr)
            m_window->title = text;
    });
}

void CDialog::SetDlgItemText(int id, const char* text) {
    RunOnUiThread([&] {
        if (m_window != nullptr)
            m_window->texts[id] = text;
    });
}

unsigned CDialog::GetDlgItemText(int id, char* buffer, unsigned size) {
    unsigned length = 0;
    RunOnUiThread([&] {
        if (size == 0)
            return;
        buffer[0] = '\0';
        if (m_window == nullptr)
            return;
        const std::string& text = m_window->texts[id];
        length = static_cast<unsigned>(std::min<size_t>(text.size(), size - 1));
        memcpy(buffer, text.data(), length);
        buffer[length] = '\0';
    });
    return length;
}

void CDialog::ShowDlgItem(int id, bool show) {
    RunOnUiThread([&] {
        if (m_window == nullptr)
            return;
        if (show) {
            m_window->hidden.erase(id);
        } else {
            m_window->hidden.insert(id);
        }
    });
}

void CDialog::EnableWindow(bool enable) {
    RunOnUiThread([&] {
        if (m_window != nullptr)
            m_window->enabled = enable;
    });
}

void CDialog::CenterWindow() {}

void CDialog::SetTopMost() {
    RunOnUiThread([&] {
        if (m_window != nullptr)
            m_window->topMost = true;
    });
}

void CDialog::FocusDlgItem(int id) {
    RunOnUiThread([&] {
        if (m_window != nullptr)
            m_window->focus = id;
    });
}

void CDialog::SetDlgItemFont(int, UiFont) {}
void CDialog::SetIcon(UiIcon) {}

void CDialog::AddListString(int id, const char* text) {
    RunOnUiThread([&] {
        if (m_window == nullptr)
            return;
        std::vector<std::string>& list = m_window->lists[id];
        const std::string line = text;
        list.insert(std::upper_bound(list.begin(), list.end(), line, ListOrder), line);
    });
}

void CDialog::ResetList(int id) {
    RunOnUiThread([&] {
        if (m_window != nullptr)
            m_window->lists[id].clear();
    });
}

void CDialog::AppendViewText(int id, const char* text) {
    RunOnUiThread([&] {
        if (m_window == nullptr)
            return;
        m_window->texts[id] += text;
        if (m_window->shown)
            Write(PlainLines(text));
    });
}

void CDialog::PostCommand(unsigned commandId, LParam lParam) {
    Post(Message{MK_COMMAND, this, commandId, lParam, nullptr, nullptr});
}

void CDialog::PostClose() {
    Post(Message{MK_CLOSE, this, 0, 0, nullptr, nullptr});
}

int CDialog::GetSystemMenuItemCount() {
    int count = 0;
    RunOnUiThread([&] {
        if (m_window != nullptr)
            count = static_cast<int>(m_window->systemMenu.size());
    });
    return count;
}

int CDialog::GetSystemMenuString(int position, char* buffer, int size) {
    int length = 0;
    RunOnUiThread([&] {
        if (size > 0)
            buffer[0] = '\0';
        if (m_window == nullptr || position < 0 ||
            position >= static_cast<int>(m_window->systemMenu.size()) || size <= 0) {
            return;
        }
        snprintf(buffer, static_cast<size_t>(size), "%s", m_window->systemMenu[position].text);
        length = static_cast<int>(strlen(buffer));
    });
    return length;
}

unsigned CDialog::GetSystemMenuItemId(int position) {
    unsigned id = 0;
    RunOnUiThread([&] {
        if (m_window != nullptr && position >= 0 &&
            position < static_cast<int>(m_window->systemMenu.size())) {
            id = m_window->systemMenu[position].id;
        }
    });
    return id;
}

bool CDialog::IsSystemMenuItemDisabled(unsigned commandId) {
    bool disabled = false;
    RunOnUiThread([&] {
        if (m_window == nullptr)
            return;
        for (const SystemMenuItem& item : m_window->systemMenu) {
            if (item.id == commandId && item.id != 0)
                disabled = item.disabled;
        }
    });
    return disabled;
}

void CDialog::GreySystemMenuItem(unsigned commandId) {
    RunOnUiThread([&] {
        if (m_window == nullptr)
            return;
        for (SystemMenuItem& item : m_window->systemMenu) {
            if (item.id == commandId && item.id != 0)
                item.disabled = true;
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Application, message boxes, pumping

CWinApp::CWinApp() {
    s_app = this;
}
CWinApp::~CWinApp() {
    if (s_app == this)
        s_app = nullptr;
}

CWinApp* UiTheApp() {
    return s_app;
}

int UiRunApplication(CWinApp* app) {
    ConsoleAttachUiThread();
    app->InitInstance();
    ConsoleDetachUiThread();
    return 0;
}

int UiMessageBox(CDialog* owner, const char* text, const char* caption, unsigned flags) {
    if (!OnUiThread()) {
        int result = UI_IDOK;
        RunOnUiThread([&] { result = UiMessageBox(owner, text, caption, flags); });
        return result;
    }
    Write(std::string("\n-- ") + caption + " --\n" + PlainLines(text) + "\n");
    char input[256];
    if ((flags & 0xF) == UI_MB_YESNO) {
        for (;;) {
            WritePromptMarker("[y/n] > ");
            if (ReadLinePumping(nullptr, input, sizeof input) != RO_LINE)
                return UI_IDNO;
            std::string answer;
            for (const char* c = input; *c != '\0'; ++c) {
                answer += static_cast<char>(tolower(static_cast<unsigned char>(*c)));
            }
            if (answer == "y" || answer == "yes")
                return UI_IDYES;
            if (answer == "n" || answer == "no")
                return UI_IDNO;
        }
    }
    WritePromptMarker("[Enter] > ");
    ReadLinePumping(nullptr, input, sizeof input);
    return UI_IDOK;
}

void UiPumpMessages() {
    if (OnUiThread())
        DispatchAll();
}

UiFont UiGetStockFixedFont() {
    return 1;
}
UiFont UiCreateFont(const char*, int, int) {
    return s_nextFont++;
}
void UiDeleteFont(UiFont) {}
UiIcon UiLoadSmallIcon(int) {
    return 1;
}

void UiGetScreenSize(int* width, int* height) {
    // A terminal has no pixels to report.
    *width = 0;
    *height = 0;
}

void UiOpenDocument(CDialog*, const char* path, const char* directory) {
    if (OsHasGraphicalDisplay()) {
        OsOpenDocument(path, directory);
    } else {
        Write(std::string("Log: ") + path + "\n");
    }
}

// ---------------------------------------------------------------------------------------------
// Testing

void ConsoleAttachUiThread() {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_haveUiThread = true;
    s_uiThread = std::this_thread::get_id();
    s_inputEnded = false;
}

void ConsoleDetachUiThread() {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_haveUiThread = false;
    for (Message& message : s_queue) {
        if (message.kind == MK_INVOKE)
            *message.done = true;
    }
    s_queue.clear();
    s_changed.notify_all();
}

std::vector<std::string> ConsoleListItems(CDialog* window, int id) {
    std::vector<std::string> items;
    RunOnUiThread([&] {
        if (window->m_window != nullptr)
            items = window->m_window->lists[id];
    });
    return items;
}

std::string ConsoleControlText(CDialog* window, int id) {
    std::string text;
    RunOnUiThread([&] {
        if (window->m_window != nullptr)
            text = window->m_window->texts[id];
    });
    return text;
}

bool ConsoleIsControlVisible(CDialog* window, int id) {
    bool visible = false;
    RunOnUiThread([&] {
        if (window->m_window != nullptr)
            visible = window->m_window->hidden.count(id) == 0;
    });
    return visible;
}

bool ConsoleIsWindowEnabled(CDialog* window) {
    bool enabled = false;
    RunOnUiThread([&] {
        if (window->m_window != nullptr)
            enabled = window->m_window->enabled;
    });
    return enabled;
}

bool ConsoleIsTopMost(CDialog* window) {
    bool topMost = false;
    RunOnUiThread([&] {
        if (window->m_window != nullptr)
            topMost = window->m_window->topMost;
    });
    return topMost;
}

std::string ConsoleWindowTitle(CDialog* window) {
    std::string title;
    RunOnUiThread([&] {
        if (window->m_window != nullptr)
            title = window->m_window->title;
    });
    return title;
}

bool ConsoleIsWindowEnding(CDialog* window) {
    bool ending = false;
    RunOnUiThread([&] {
        if (window->m_window != nullptr)
            ending = window->m_window->ended;
    });
    return ending;
}

int ConsoleFocusedControl(CDialog* window) {
    int focus = 0;
    RunOnUiThread([&] {
        if (window->m_window != nullptr)
            focus = window->m_window->focus;
    });
    return focus;
}

void ConsoleSimulateTimeChange() {
    RunOnUiThread([] {
        const std::vector<UiWindow*> windows = s_windows;
        for (UiWindow* window : windows)
            window->dialog->DefWindowProc(UI_WM_TIMECHANGE, 0, 0);
    });
}
