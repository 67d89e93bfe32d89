// The main window: the settings dialog (port, speed, "로그생성", "세팅") and the Windows shell of
// the gateway: the window thread, the settings in the registry, the tray icon, the debug window
// (whose console shows the trace) and the message boxes. The gateway itself (serial port, relay,
// trace, port recovery, the open/save sequence) is the part both programs share.
#pragma once
#include "app/win32/auto_width_combo.h"
#include "app/win32/debug_dlg.h"
#include "app/win32/dialog.h"
#include "app/win32/event_log.h"
#include "app/win32/settings_store.h"
#include "app/win32/tray_icon.h"
#include "app/win32/window_thread_win32.h"
#include "gateway/gateway.h"

#include <string>

// The text that the window title, the message box captions, the tooltip and the lock start with.
extern const wchar_t kProductTitle[];  // "(주)Tevo네트웍스 Brisca"
// The program-wide version text ("1, 0, 0, 5"), set by the main window's constructor.
extern std::wstring g_strVersion;

// The speed a speed text stands for (the gateway's rule: blanks skipped, saturating).
uint32_t ParseRate(const std::wstring& text);

class CMainDlg : public CDialog, private GatewayShell {
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
    Relay& GetRelay() { return m_gateway.GetRelay(); }

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
    LRESULT OnExitRequest(WPARAM, LPARAM);

private:
    // GatewayShell: the registry, the "로그생성" checkbox, the debug window's copy of the log
    // switch and the message box of a port that does not open.
    SettingsRead ReadSettings() override;
    int SaveSettings(const GatewaySettings& settings, const char* version) override;
    int LogChecked() override;
    void OnLogSwitch(int bLog) override;
    void ReportOpenFailure(const char* port) override;

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
    bool m_bExitRequested = false;  // an installer asked the program to end
    int m_bLog = 0;
    std::wstring m_strTitle;

    // What lives as long as the program, in the order it is needed. Members go in reverse: the
    // gateway (port, relay, their threads) first, while the debug window, the tray icon and the
    // window thread that it calls into still exist; the window thread last.
    CWindowThread m_windowThread;
    CSettingsStore m_settings;
    CTrayIcon m_trayIcon;
    CDebugDlg m_debugDlg;
    CDebugDlg* m_pDebugDlg = &m_debugDlg;
    CEventLogEvents m_events;
    Gateway m_gateway;
};
