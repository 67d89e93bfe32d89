// The program's icon in the notification area: added with its tooltip, its picture changed by
// the relay (from any thread), a popup menu on right click and the default command on double click.
#pragma once
#include "relay/relay.h"

#include <windows.h>
#include <shellapi.h>

constexpr UINT WM_TRAY_NOTIFY = WM_USER + 10;

class CTrayIcon : public TrayIconState {
public:
    CTrayIcon();
    ~CTrayIcon() override;  // removes the icon
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    // tooltip: cut to the 63 characters that its field holds. Nonzero when added.
    int Create(HWND owner, UINT callbackMessage, const wchar_t* tooltip, HICON icon, UINT id);
    int SetIconHandle(HICON icon);  // nonzero when changed; 0 while not added
    int SetIcon(UINT resource);     // an icon resource of the program
    int Remove();
    // The notification area was made anew (the task bar restarted): add the icon again.
    int Recreate();
    // wParam: icon id; lParam: the mouse message. 1 when handled for this icon.
    virtual int HandleTrayMessage(WPARAM id, LPARAM event);

    // TrayIconState: the relay's picture changes, from the window thread or a receive worker.
    void SetIcon(int iconResource) override { SetIcon(static_cast<UINT>(iconResource)); }

    bool IsAdded() const;
    HICON CurrentIcon() const;
    const wchar_t* Tooltip() const { return m_nid.szTip; }

private:
    mutable CRITICAL_SECTION m_lock;  // the record and the shell calls, one thread at a time
    int m_enabled = 0;
    bool m_bCreated = false;  // Create was given a valid owner (Recreate may add again)
    NOTIFYICONDATAW m_nid;    // used in its first form (NOTIFYICONDATAW_V1_SIZE)
};
