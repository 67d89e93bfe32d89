// Resource numbers of the Windows program: dialogs, menu, icons, bitmap, strings, control and
// command ids. Shared by brisca.rc and the C++ sources.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_BRISCA_DIALOG 102
#define IDR_TRAYMENU 129
#define IDI_MAINFRAME 131
#define IDD_DEBUG_DIALOG 132
#define IDI_STARTUP 137
#define IDB_LOGO 140
#define IDI_CONSOLE 141
#define IDI_TRAY_IDLE 142
#define IDI_TRAY_ANSWER 143

#define IDC_COMBO_PORT 1000
#define IDC_COMBO_RATE 1001
#define IDC_BTN_SET 1002
#define IDC_EDIT_CONSOLE 1003
#define IDC_BTN_CLEAR 1004
#define IDC_BTN_CLOSE 1005
#define IDC_CHECK_LOG 1006
#define IDC_ABOUT_SERVER_KEY 1050

#define IDM_ABOUTBOX 0x0010
#define ID_MENU_ABOUT 32771
#define ID_MENU_SETTINGS 32772
#define ID_MENU_LOG 32773
#define ID_MENU_EXIT 32774

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
