// Drives the running program (screenshots, end-to-end test) the way a user would: the tray menu's commands
// and the tray icon's right click, sent to the program's main window from outside.
//   brisca_shot_helper settings | log | about | exit | menu X Y | escape | ok | hide | close-log
//                      | box-ok [TEXT]   (answers the program's message box with OK, waiting up
//                                       to 30 s; with TEXT only a box that says exactly that)
//                      | box-up [TEXT]   (waits up to 30 s for such a box and leaves it up)
//                      | hang SECONDS    (a window titled like the program's main window that
//                                       ignores every request to end, for SECONDS)
#include "app/win32/resource.h"
#include "app/win32/tray_icon.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

HWND g_found = nullptr;
HWND g_owner = nullptr;

BOOL CALLBACK FindMain(HWND hwnd, LPARAM) {
    wchar_t title[128] = {};
    GetWindowTextW(hwnd, title, 128);
    const wchar_t prefix[] = L"(주)Tevo네트웍스 Brisca ver.";
    if (std::wcsncmp(title, prefix, std::wcslen(prefix)) == 0 && !GetWindow(hwnd, GW_OWNER)) {
        g_found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// A visible dialog owned by g_owner (the about box).
BOOL CALLBACK FindOwned(HWND hwnd, LPARAM) {
    if (GetWindow(hwnd, GW_OWNER) == g_owner && IsWindowVisible(hwnd)) {
        g_found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// A visible message box of the program: a dialog titled "(주)Tevo네트웍스 Brisca".
BOOL CALLBACK FindBox(HWND hwnd, LPARAM) {
    wchar_t title[64] = {}, cls[16] = {};
    GetWindowTextW(hwnd, title, 64);
    GetClassNameW(hwnd, cls, 16);
    if (IsWindowVisible(hwnd) && std::wcscmp(cls, L"#32770") == 0 &&
        std::wcscmp(title, L"(주)Tevo네트웍스 Brisca") == 0) {
        g_found = hwnd;
        return FALSE;
    }
    return TRUE;
}

int AnswerBox(const wchar_t* expected, bool answer) {
    // The box belongs to another process and no event of its creation reaches this one:
    // look again every 100 ms, for at most 30 s.
    for (int i = 0; i < 300; ++i) {
        g_found = nullptr;
        EnumWindows(FindBox, 0);
        if (g_found) {
            wchar_t text[256] = {};
            GetDlgItemTextW(g_found, 0xFFFF, text, 256);  // the message box's text control
            if (expected && std::wcscmp(text, expected) != 0) return 3;
            if (!answer) return 0;
            return !PostMessageW(g_found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    }
    return 1;
}

// A program that does not end when asked: its window has the main window's title and lets
// every message pass to DefWindowProc, the registered "Brisca.Exit" included.
int Hang(int seconds) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"BriscaHangingWindow";
    if (!RegisterClassW(&wc)) return 1;
    HWND hwnd = CreateWindowW(wc.lpszClassName, L"(주)Tevo네트웍스 Brisca ver. hanging", WS_OVERLAPPED,
                              0, 0, 100, 100, nullptr, nullptr, wc.hInstance, nullptr);
    if (!hwnd) return 1;
    std::puts("hanging");
    std::fflush(stdout);
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    if (std::wstring(argv[1]) == L"hang" && argc >= 3) return Hang(_wtoi(argv[2]));
    if (std::wstring(argv[1]) == L"box-ok") return AnswerBox(argc >= 3 ? argv[2] : nullptr, true);
    if (std::wstring(argv[1]) == L"box-up") return AnswerBox(argc >= 3 ? argv[2] : nullptr, false);
    EnumWindows(FindMain, 0);
    HWND main = g_found;
    if (!main) return 1;
    const std::wstring cmd = argv[1];
    if (cmd == L"settings") return !PostMessageW(main, WM_COMMAND, ID_MENU_SETTINGS, 0);
    if (cmd == L"log") return !PostMessageW(main, WM_COMMAND, ID_MENU_LOG, 0);
    if (cmd == L"about") return !PostMessageW(main, WM_COMMAND, ID_MENU_ABOUT, 0);
    if (cmd == L"exit") return !PostMessageW(main, WM_COMMAND, ID_MENU_EXIT, 0);
    if (cmd == L"menu" && argc >= 4) {
        SetCursorPos(_wtoi(argv[2]), _wtoi(argv[3]));
        return !PostMessageW(main, WM_TRAY_NOTIFY, IDR_TRAYMENU, WM_RBUTTONUP);
    }
    if (cmd == L"escape") {
        HWND popup = FindWindowW(L"#32768", nullptr);
        return popup ? !PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 0) : 1;
    }
    if (cmd == L"ok") {  // closes the about box (a dialog owned by the main window)
        g_owner = main;
        g_found = nullptr;
        EnumWindows(FindOwned, 0);
        return g_found ? !PostMessageW(g_found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0) : 1;
    }
    if (cmd == L"hide") return !PostMessageW(main, WM_CLOSE, 0, 0);
    if (cmd == L"close-log") {
        HWND debug = FindWindowW(nullptr, L"디버그 화면");
        return debug ? !PostMessageW(debug, WM_COMMAND, MAKEWPARAM(IDC_BTN_CLOSE, BN_CLICKED), 0) : 1;
    }
    return 2;
}
