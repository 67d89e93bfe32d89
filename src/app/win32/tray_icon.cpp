// CTrayIcon over Shell_NotifyIconW with the record in its first form; a critical section keeps
// picture changes from the window thread and the receive workers apart.
#include "app/win32/tray_icon.h"

#include "app/win32/dialog.h"

#include <cwchar>

CTrayIcon::CTrayIcon() {
    InitializeCriticalSection(&m_lock);
    ZeroMemory(&m_nid, sizeof m_nid);
}

CTrayIcon::~CTrayIcon() {
    Remove();
    DeleteCriticalSection(&m_lock);
}

int CTrayIcon::Create(HWND owner, UINT callbackMessage, const wchar_t* tooltip, HICON icon, UINT id) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    const DWORD major = LOBYTE(LOWORD(GetVersion()));
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    EnterCriticalSection(&m_lock);
    m_enabled = 0;
    if (major < 4 || !owner || !IsWindow(owner)) {
        LeaveCriticalSection(&m_lock);
        return 0;
    }
    ZeroMemory(&m_nid, sizeof m_nid);
    m_nid.cbSize = NOTIFYICONDATAW_V1_SIZE;
    m_nid.hWnd = owner;
    m_nid.uID = id;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.uCallbackMessage = callbackMessage;
    m_nid.hIcon = icon;
    if (tooltip) {
        // The first form's field holds 64 characters with the terminator; never split a pair.
        std::size_t n = std::wcslen(tooltip);
        const std::size_t cap = 63;
        if (n > cap) n = (tooltip[cap - 1] >= 0xD800 && tooltip[cap - 1] <= 0xDBFF) ? cap - 1 : cap;
        wmemcpy(m_nid.szTip, tooltip, n);
        m_nid.szTip[n] = L'\0';
    }
    m_bCreated = true;
    m_enabled = Shell_NotifyIconW(NIM_ADD, &m_nid) ? 1 : 0;
    const int result = m_enabled;
    LeaveCriticalSection(&m_lock);
    return result;
}

int CTrayIcon::SetIconHandle(HICON icon) {
    EnterCriticalSection(&m_lock);
    int result = 0;
    if (m_enabled) {
        m_nid.uFlags = NIF_ICON;
        m_nid.hIcon = icon;
        result = Shell_NotifyIconW(NIM_MODIFY, &m_nid) ? 1 : 0;
    }
    LeaveCriticalSection(&m_lock);
    return result;
}

int CTrayIcon::SetIcon(UINT resource) {
    // Shared icon handles of the small size: never freed, safe to hand to any thread.
    HICON icon = static_cast<HICON>(LoadImageW(CDialog::Instance(), MAKEINTRESOURCEW(LOWORD(resource)),
                                               IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    return SetIconHandle(icon);
}

int CTrayIcon::Remove() {
    EnterCriticalSection(&m_lock);
    int result = 0;
    if (m_enabled) {
        m_nid.uFlags = 0;
        result = Shell_NotifyIconW(NIM_DELETE, &m_nid) ? 1 : 0;
        m_enabled = 0;
        m_bCreated = false;
    }
    LeaveCriticalSection(&m_lock);
    return result;
}

int CTrayIcon::Recreate() {
    EnterCriticalSection(&m_lock);
    int result = 0;
    if (m_bCreated && IsWindow(m_nid.hWnd)) {
        m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        m_enabled = Shell_NotifyIconW(NIM_ADD, &m_nid) ? 1 : 0;
        result = m_enabled;
    }
    LeaveCriticalSection(&m_lock);
    return result;
}

bool CTrayIcon::IsAdded() const {
    EnterCriticalSection(&m_lock);
    const bool added = m_enabled != 0;
    LeaveCriticalSection(&m_lock);
    return added;
}

HICON CTrayIcon::CurrentIcon() const {
    EnterCriticalSection(&m_lock);
    HICON icon = m_nid.hIcon;
    LeaveCriticalSection(&m_lock);
    return icon;
}

int CTrayIcon::HandleTrayMessage(WPARAM id, LPARAM event) {
    if (id != m_nid.uID) return 0;
    const UINT mouse = LOWORD(event);
    if (mouse != WM_RBUTTONUP && mouse != WM_LBUTTONDBLCLK) return 1;

    HMENU menu = LoadMenuW(CDialog::Instance(), MAKEINTRESOURCEW(m_nid.uID));
    if (!menu) return 0;
    HMENU popup = GetSubMenu(menu, 0);
    if (!popup) {
        DestroyMenu(menu);
        return 0;
    }
    HWND owner = m_nid.hWnd;
    if (mouse == WM_RBUTTONUP) {
        SetMenuDefaultItem(popup, 0, TRUE);
        POINT pt{};
        GetCursorPos(&pt);
        SetForegroundWindow(owner);
        TrackPopupMenu(popup, 0, pt.x, pt.y, 0, owner, nullptr);
        // Lets the menu close properly when the user clicks elsewhere.
        PostMessageW(owner, WM_USER, 0, 0);
    } else {
        SetForegroundWindow(owner);
        SendMessageW(owner, WM_COMMAND, GetMenuItemID(popup, 0), 0);
    }
    DestroyMenu(menu);
    return 1;
}
