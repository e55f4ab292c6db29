// Dialog templates 200 to 204 and menu 129, in dialog units, for every window back end.
#include "resources/Resources.h"

namespace {
const unsigned long kBoxStyle = RS_CAPTION | RS_SYSMENU | RS_MODALFRAME | RS_VISIBLE;

const ControlTemplate kAboutControls[] = {
    {IDC_ABOUT_TEXT, CK_STATIC, "", 5, 5, 181, 16, RS_SS_CENTER, 0},
    {-1, CK_STATIC, "Copyright (C) Dunvarlotek.", 5, 23, 181, 8, RS_SS_CENTER, 0},
    {-1, CK_STATIC, "All rights reserved.", 5, 33, 181, 8, RS_SS_CENTER, 0},
    {-1, CK_STATIC, "This program may be copied and shared freely.", 5, 43, 181, 8, RS_SS_CENTER,
     0},
    {-1, CK_ICON, "", 85, 58, 20, 20, RS_SS_ICON, IDI_PROGRAM},
    {IDC_ABOUT_OK, CK_BUTTON, "&OK", 71, 86, 49, 14, RS_GROUP | RS_TABSTOP, 0},
};

const ControlTemplate kMainControls[] = {
    {-1, CK_PICTURE, "", 4, 4, 107, 77, RS_SS_BITMAP | RS_SS_SUNKEN, IDB_PICTURE},
    {IDC_INTRO, CK_STATIC, "Static", 120, 4, 225, 77, 0, 0},
    {IDC_START, CK_BUTTON, "Click here to &Quillifax...", 4, 85, 349, 14, RS_TABSTOP, 0},
    {IDC_RESULTS, CK_LISTBOX, "", 4, 104, 349, 141,
     RS_LBS_SORT | RS_LBS_NOTIFY | RS_LBS_NOINTEGRALHEIGHT | RS_VSCROLL | RS_BORDER | RS_TABSTOP,
     0},
};

const ControlTemplate kSearchControls[] = {
    {IDC_LOGVIEW, CK_EDIT, "", 0, 0, 165, 76,
     RS_ES_MULTILINE | RS_ES_AUTOVSCROLL | RS_ES_WANTRETURN | RS_VSCROLL | RS_BORDER | RS_TABSTOP |
         RS_GROUP | RS_VISIBLE,
     0},
    {IDC_STOP, CK_BUTTON, "Stop Looking", 4, 82, 157, 14, RS_TABSTOP | RS_GROUP, 0},
};

const ControlTemplate kPromptControls[] = {
    {-1, CK_PICTURE, "", 4, 3, 107, 77, RS_SS_BITMAP | RS_SS_SUNKEN, IDB_PICTURE},
    {IDC_PROMPT_TEXT, CK_STATIC, "", 118, 5, 238, 72, 0, 0},
    {IDC_PROMPT_EDIT, CK_EDIT, "", 4, 82, 353, 15,
     RS_BORDER | RS_ES_AUTOHSCROLL | RS_GROUP | RS_TABSTOP, 0},
    {-1, CK_ICON, "", 144, 101, 20, 20, RS_SS_ICON, IDI_PROGRAM},
    {IDC_PROMPT_CANCEL, CK_BUTTON, "&Cancel", 275, 106, 40, 14, RS_GROUP, 0},
    {IDC_PROMPT_OK, CK_BUTTON, "&OK", 316, 106, 40, 14, RS_DEFPUSHBUTTON, 0},
};

const ControlTemplate kNoticeControls[] = {
    {-1, CK_PICTURE, "", 4, 4, 107, 77, RS_SS_BITMAP | RS_SS_SUNKEN, IDB_PICTURE},
    {IDC_NOTICE_TEXT, CK_STATIC, "", 116, 4, 123, 42, 0, 0},
    {IDC_CONTINUE, CK_BUTTON, "Continue", 146, 61, 60, 14, RS_DEFPUSHBUTTON | RS_GROUP | RS_TABSTOP,
     0},
};

#define COUNT_OF(array) static_cast<int>(sizeof(array) / sizeof((array)[0]))

const DialogTemplate kDialogs[] = {
    {IDD_ABOUT, "", 34, 22, 191, 106, kBoxStyle, 0, 0, "MS Sans Serif", 8, kAboutControls,
     COUNT_OF(kAboutControls)},
    {IDD_MAIN, "", -1, -1, 358, 249, RS_CAPTION | RS_SYSMENU | RS_MINIMIZEBOX | RS_MODALFRAME,
     RS_EX_APPWINDOW, IDR_MAINMENU, "MS Sans Serif", 8, kMainControls, COUNT_OF(kMainControls)},
    {IDD_SEARCH, "Searching for COM-Ports and Modems", 0, 0, 165, 101, 0x90C800C0UL, 0, 0,
     "MS Sans Serif", 8, kSearchControls, COUNT_OF(kSearchControls)},
    {IDD_PROMPT, "", 6, 18, 361, 126, kBoxStyle, 0, 0, "MS Sans Serif", 8, kPromptControls,
     COUNT_OF(kPromptControls)},
    {IDD_NOTICE, "", 6, 18, 244, 85, RS_CAPTION | RS_MODALFRAME | RS_VISIBLE, 0, 0, "MS Sans Serif",
     8, kNoticeControls, COUNT_OF(kNoticeControls)},
};

const MenuItemTemplate kMainMenuItems[] = {
    {"&File", "E&xit", ID_FILE_EXIT},
    {"&Help", "A&bout...", ID_HELP_ABOUT},
};

const MenuTemplate kMenus[] = {
    {IDR_MAINMENU, kMainMenuItems, COUNT_OF(kMainMenuItems)},
};
}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate& dialog : kDialogs) {
        if (dialog.id == id)
            return &dialog;
    }
    return nullptr;
}

const MenuTemplate* FindMenuTemplate(int id) {
    for (const MenuTemplate& menu : kMenus) {
        if (menu.id == id)
            return &menu;
    }
    return nullptr;
}

const ConsoleKey kMainConsoleKeys[] = {
    {'s', IDC_START, "Click here to Quillifax..."},
    {'a', ID_HELP_ABOUT, "Help > About..."},
    {'x', ID_FILE_EXIT, "File > Exit"},
};
const int kMainConsoleKeyCount = COUNT_OF(kMainConsoleKeys);
