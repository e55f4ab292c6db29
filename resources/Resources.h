// Resource ids, and the dialog and menu templates held once as data for every window back end.
#pragma once

// Templates.
enum {
    IDD_ABOUT = 200,
    IDD_MAIN = 201,
    IDD_SEARCH = 202,
    IDD_PROMPT = 203,
    IDD_NOTICE = 204,
    IDR_MAINMENU = 129,
    IDI_PROGRAM = 128,
    IDB_PICTURE = 130,
};

// Controls and commands.
enum {
    IDC_ABOUT_OK = 1,  // the about box's button gives the OK command
    IDC_PROMPT_TEXT = 1005,
    IDC_PROMPT_EDIT = 1006,
    IDC_PROMPT_CANCEL = 1007,
    IDC_PROMPT_OK = 1008,
    IDC_ABOUT_TEXT = 1009,
    IDC_INTRO = 1010,
    IDC_START = 1011,
    IDC_RESULTS = 1012,
    IDC_LOGVIEW = 1013,
    IDC_STOP = 1014,
    IDC_RUNSEARCH = 1015,  // private command: the search window posts it to itself
    IDC_NOTICE_TEXT = 1017,
    IDC_CONTINUE = 1018,
    ID_FILE_EXIT = 32771,
    ID_HELP_ABOUT = 32772,
};

// Window and control styles used by the templates (the Win32 values).
enum : unsigned long {
    RS_VISIBLE = 0x10000000UL,
    RS_CAPTION = 0x00C00000UL,
    RS_SYSMENU = 0x00080000UL,
    RS_MINIMIZEBOX = 0x00020000UL,
    RS_MODALFRAME = 0x00000080UL,  // DS_MODALFRAME
    RS_TABSTOP = 0x00010000UL,
    RS_GROUP = 0x00020000UL,
    RS_BORDER = 0x00800000UL,
    RS_VSCROLL = 0x00200000UL,
    RS_HSCROLL = 0x00100000UL,
    RS_DEFPUSHBUTTON = 0x00000001UL,
    RS_ES_MULTILINE = 0x00000004UL,
    RS_ES_AUTOVSCROLL = 0x00000040UL,
    RS_ES_AUTOHSCROLL = 0x00000080UL,
    RS_ES_WANTRETURN = 0x00001000UL,
    RS_LBS_NOTIFY = 0x00000001UL,
    RS_LBS_SORT = 0x00000002UL,
    RS_LBS_NOINTEGRALHEIGHT = 0x00000100UL,
    RS_SS_CENTER = 0x00000001UL,
    RS_SS_BITMAP = 0x0000000EUL,
    RS_SS_ICON = 0x00000003UL,
    RS_SS_SUNKEN = 0x00001000UL,
    RS_EX_APPWINDOW = 0x00040000UL,  // extended style: shown in the task bar
};

enum ControlKind {
    CK_STATIC,   // text
    CK_PICTURE,  // bitmap resource (resourceId)
    CK_ICON,     // icon resource (resourceId)
    CK_BUTTON,   // push button (RS_DEFPUSHBUTTON for the default one)
    CK_EDIT,     // edit field (RS_ES_MULTILINE for a multi-line view)
    CK_LISTBOX,
};

struct ControlTemplate {
    int id;  // -1: none
    ControlKind kind;
    const char* text;
    int x, y, cx, cy;  // dialog units
    unsigned long style;
    int resourceId;  // pictures and icons
};

struct DialogTemplate {
    int id;
    const char* caption;  // "" when the caption is set at start
    int x, y, cx, cy;     // dialog units; x and y -1 when the framework places the window
    unsigned long style;
    unsigned long exStyle;
    int menuId;        // 0: none
    const char* font;  // "MS Sans Serif"
    int pointSize;     // 8
    const ControlTemplate* controls;
    int controlCount;
};

struct MenuItemTemplate {
    const char* popup;  // the popup that holds the item
    const char* text;
    unsigned commandId;
};

struct MenuTemplate {
    int id;
    const MenuItemTemplate* items;
    int itemCount;
};

// Returns the template, or null.
const DialogTemplate* FindDialogTemplate(int id);
const MenuTemplate* FindMenuTemplate(int id);

// Terminal keys of the main window's commands: `s` starts a search, `a` is Help > About, `x` is
// File > Exit.
struct ConsoleKey {
    char key;
    unsigned commandId;
    const char* label;
};
extern const ConsoleKey kMainConsoleKeys[];
extern const int kMainConsoleKeyCount;
