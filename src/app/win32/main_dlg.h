// The main window: the settings dialog (port, speed, "로그생성", "세팅") and the owner of all that
// lives as long as the program: serial port, relay, tray icon, debug window, window thread.
#pragma once
#include "app/win32/auto_width_combo.h"
#include "app/win32/debug_dlg.h"
#include "app/win32/dialog.h"
#include "app/win32/settings_store.h"
#include "app/win32/tray_icon.h"
#include "app/win32/window_thread_win32.h"
#include "relay/relay.h"
#include "serial/com.h"

#include <string>

// The text that the window title, the message box captions, the tooltip and the lock start with.
extern const wchar_t kProductTitle[];  // "(주)Tevo네트웍스 Brisca"
// The program-wide version text ("1, 0, 0, 5"), set by the main window's constructor.
extern std::wstring g_strVersion;

constexpr std::size_t kMaxPortChars = 63;  // longer port texts are cut (typed or stored)
constexpr std::size_t kMaxRateChars = 9;   // the speed fits the 10-character read buffer

// The decimal number at the start of a speed text; 0 if none; saturates instead of overflowing.
uint32_t ParseRate(const std::wstring& text);

class CMainDlg : public CDialog {
public:
    CMainDlg(HWND parent, const std::wstring& version);
    ~CMainDlg() override;  // ends the serial watcher and the relay's worker first

    int LoadSettings();  // 1 settings found, 0 none
    int SaveSettings(const std::wstring& port, const std::wstring& rate);  // 1 "Log Flag" written

    // State, for the application and tests.
    const std::wstring& PortText() const { return m_strPort; }
    const std::wstring& RateText() const { return m_strRate; }
    int LogFlag() const { return m_bLog; }
    const std::wstring& Title() const { return m_strTitle; }
    CTrayIcon& TrayIcon() { return m_trayIcon; }
    CDebugDlg* DebugDlg() { return m_pDebugDlg; }
    CSettingsStore& Settings() { return m_settings; }
    Relay& GetRelay() { return m_relay; }

protected:
    // Overrides
    DECLARE_MESSAGE_MAP()
    void DoDataExchange(CDataExchange& dx) override;
    BOOL PreTranslateMessage(MSG* msg) override;
    BOOL OnInitDialog() override;
    void OnCancel() override {}  // the window only hides (WM_CLOSE); Escape is filtered
    // Tray icon, start timer, serial port and autostart entry (tests leave them out).
    virtual void StartGateway();

    // Command handlers
    LRESULT OnMenuAbout(WPARAM, LPARAM);
    LRESULT OnMenuSettings(WPARAM, LPARAM);
    LRESULT OnMenuLog(WPARAM, LPARAM);
    LRESULT OnMenuExit(WPARAM, LPARAM);
    LRESULT OnSet(WPARAM, LPARAM);
    LRESULT OnDropDownPort(WPARAM, LPARAM);
    LRESULT OnDropDownRate(WPARAM, LPARAM);

    // Message handlers
    LRESULT OnSysCommand(WPARAM, LPARAM);
    LRESULT OnPaint(WPARAM, LPARAM);
    LRESULT OnQueryDragIcon(WPARAM, LPARAM);
    LRESULT OnClose(WPARAM, LPARAM);
    LRESULT OnDestroy(WPARAM, LPARAM);
    LRESULT OnTimer(WPARAM, LPARAM);
    LRESULT OnTrayNotify(WPARAM, LPARAM);
    LRESULT OnTaskbarCreated(WPARAM, LPARAM);

private:
    bool OpenPort();  // SetParams, Open; trace, or message box and trace on failure
    void ShowAbout();
    void StopGateway();

    // Settings and controls
    std::wstring m_strPort;
    std::wstring m_strRate;
    CAutoWidthComboBox m_comboPort;
    CAutoWidthComboBox m_comboRate;
    HWND m_btnSet = nullptr;
    HICON m_hIcon;
    int m_bShownByUser = 0;
    int m_bLog = 0;
    std::wstring m_strTitle;

    // What lives as long as the program; the relay is declared last so it goes first.
    CTrayIcon m_trayIcon;
    CCom m_com;
    CDebugDlg m_debugDlg;
    CDebugDlg* m_pDebugDlg = &m_debugDlg;
    CWindowThread m_windowThread;
    CSettingsStore m_settings;
    Relay m_relay;
};
