// CMainDlg: start-up of the gateway, the "세팅" button, the tray menu's commands, the settings in
// the registry and the autostart entry.
#include "app/win32/main_dlg.h"

#include "app/win32/about_dlg.h"
#include "app/win32/com_ports.h"
#include "app/win32/resource.h"
#include "app/win32/startup_env.h"
#include "app/win32/wide_text.h"

#include <vector>

const wchar_t kProductTitle[] = L"(주)Tevo네트웍스 Brisca";
std::wstring g_strVersion;

namespace {
constexpr UINT_PTR kStartTimer = 1;
UINT g_wmTaskbarCreated = 0;  // "TaskbarCreated": the notification area was made anew
UINT g_wmExit = 0;            // "Brisca.Exit": an installer ends the program, without asking

const wchar_t* const kRates[] = {L"57600", L"38400", L"19200", L"9600"};

std::wstring Cut(const std::wstring& text, std::size_t chars) {
    return text.size() > chars ? text.substr(0, chars) : text;
}

// The log goes to the folder of the "Log Folder" setting, else beside the program (or the
// user's local application data when the program's folder is not writable). UTF-8.
std::string DefaultLogFolderText() { return Narrow(DefaultLogFolder()); }
}  // namespace

uint32_t ParseRate(const std::wstring& text) { return RateNumber(Narrow(text).c_str()); }

BEGIN_MESSAGE_MAP(CMainDlg)
    ON_MESSAGE(WM_SYSCOMMAND, &CMainDlg::OnSysCommand)
    ON_MESSAGE(WM_PAINT, &CMainDlg::OnPaint)
    ON_MESSAGE(WM_QUERYDRAGICON, &CMainDlg::OnQueryDragIcon)
    ON_MESSAGE(WM_CLOSE, &CMainDlg::OnClose)
    ON_MESSAGE(WM_DESTROY, &CMainDlg::OnDestroy)
    ON_MESSAGE(WM_TIMER, &CMainDlg::OnTimer)
    ON_COMMAND(ID_MENU_ABOUT, &CMainDlg::OnMenuAbout)
    ON_COMMAND(ID_MENU_SETTINGS, &CMainDlg::OnMenuSettings)
    ON_COMMAND(ID_MENU_LOG, &CMainDlg::OnMenuLog)
    ON_COMMAND(ID_MENU_EXIT, &CMainDlg::OnMenuExit)
    ON_COMMAND(IDC_BTN_SET, &CMainDlg::OnSet)
    ON_CONTROL(CBN_DROPDOWN, IDC_COMBO_PORT, &CMainDlg::OnDropDownPort)
    ON_CONTROL(CBN_DROPDOWN, IDC_COMBO_RATE, &CMainDlg::OnDropDownRate)
    ON_MESSAGE(WM_TRAY_NOTIFY, &CMainDlg::OnTrayNotify)
    ON_REGISTERED_MESSAGE(&g_wmTaskbarCreated, &CMainDlg::OnTaskbarCreated)
    ON_REGISTERED_MESSAGE(&g_wmExit, &CMainDlg::OnExitRequest)
END_MESSAGE_MAP()

CMainDlg::CMainDlg(HWND parent, const std::wstring& version)
    : CDialog(IDD_BRISCA_DIALOG, parent),
      m_hIcon(LoadIconW(Instance(), MAKEINTRESOURCEW(IDI_STARTUP))),
      m_gateway(Gateway::Parts{&m_windowThread, &m_debugDlg.Console(), &m_trayIcon, this, &m_events},
                Narrow(version).c_str(), DefaultLogFolderText().c_str()) {
    g_strVersion = version;
    if (!g_wmTaskbarCreated) g_wmTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    if (!g_wmExit) g_wmExit = RegisterWindowMessageW(L"Brisca.Exit");
}

CMainDlg::~CMainDlg() { StopGateway(); }

void CMainDlg::StopGateway() {
    // The watcher hands bursts to the relay and the worker traces to the debug window: both
    // end here, while everything they use still exists.
    m_gateway.Stop();
}

void CMainDlg::DoDataExchange(CDataExchange& dx) {
    DDX_Control(dx, IDC_COMBO_PORT, m_comboPort.m_hWnd);
    DDX_Control(dx, IDC_COMBO_RATE, m_comboRate.m_hWnd);
    DDX_Control(dx, IDC_BTN_SET, m_btnSet);
    DDX_Text(dx, IDC_COMBO_PORT, m_strPort);
    DDX_Text(dx, IDC_COMBO_RATE, m_strRate);
    if (dx.save) {
        m_strPort = Cut(PortNameFromEntry(m_strPort), kMaxPortText);
        m_strRate = Cut(m_strRate, kMaxRateText);
    }
}

BOOL CMainDlg::PreTranslateMessage(MSG* msg) {
    // Neither Escape nor Enter closes or activates anything in this window.
    if (msg->message == WM_KEYDOWN && (msg->wParam == VK_ESCAPE || msg->wParam == VK_RETURN))
        return TRUE;
    return CDialog::PreTranslateMessage(msg);
}

BOOL CMainDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    m_windowThread.Create();

    if (HMENU sysMenu = GetSystemMenu(m_hWnd, FALSE)) {
        wchar_t about[128] = {};
        if (LoadStringW(Instance(), IDS_ABOUTBOX, about, 128) > 0) {
            AppendMenuW(sysMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(sysMenu, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    m_hIcon = LoadIconW(Instance(), MAKEINTRESOURCEW(IDI_MAINFRAME));
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    m_strTitle = std::wstring(kProductTitle) + L" ver." + g_strVersion;
    SetWindowTextW(m_hWnd, m_strTitle.c_str());

    SendMessageW(m_comboPort.m_hWnd, CB_LIMITTEXT, kMaxPortText, 0);
    SendMessageW(m_comboRate.m_hWnd, CB_LIMITTEXT, kMaxRateText, 0);
    const std::vector<std::wstring> ports = PortListEntries();
    for (int i = 0; i < static_cast<int>(ports.size()); ++i) m_comboPort.InsertString(i, ports[i].c_str());
    for (int i = 0; i < static_cast<int>(std::size(kRates)); ++i) m_comboRate.InsertString(i, kRates[i]);

    if (!LoadSettings()) m_strPort = L"COM1";
    // A text that is not in a list still shows in the list's field: what is shown is what is used.
    int portEntry = -1;  // an existing port's entry carries its marker
    for (int i = 0; i < static_cast<int>(ports.size()) && portEntry < 0; ++i)
        if (PortNameFromEntry(ports[i]) == m_strPort) portEntry = i;
    SendMessageW(m_comboPort.m_hWnd, CB_SETCURSEL, static_cast<WPARAM>(portEntry), 0);
    if (portEntry < 0) SetWindowTextW(m_comboPort.m_hWnd, m_strPort.c_str());
    if (m_comboRate.SelectExact(m_strRate.c_str()) < 0) {
        if (m_strRate.empty()) {
            SendMessageW(m_comboRate.m_hWnd, CB_SETCURSEL, 0, 0);
            m_strRate = kRates[0];
        } else {
            SetWindowTextW(m_comboRate.m_hWnd, m_strRate.c_str());
        }
    }
    m_gateway.SetTexts(Narrow(m_strPort), Narrow(m_strRate));

    // The debug window exists before anything can trace.
    m_pDebugDlg->Create(nullptr);
    m_pDebugDlg->SetLog(m_bLog);
    ShowWindow(m_pDebugDlg->GetSafeHwnd(), SW_HIDE);

    StartGateway();
    return TRUE;
}

void CMainDlg::StartGateway() {
    if (!m_trayIcon.Create(m_hWnd, WM_TRAY_NOTIFY, kProductTitle, nullptr, IDR_TRAYMENU)) return;
    m_trayIcon.SetIcon(static_cast<UINT>(IDI_TRAY_IDLE));
    SetTimer(m_hWnd, kStartTimer, 1, nullptr);

    // Opens the port and saves the settings, or reports the failure. Only a start that worked
    // registers the program to start at logon.
    if (m_gateway.Start()) RegisterAutostart(kRunKey, L"Brisca", ProgramPath().c_str());
}

int CMainDlg::LoadSettings() {
    if (!m_gateway.LoadSettings()) return 0;
    m_strPort = Widen(m_gateway.PortText().c_str());
    m_strRate = Widen(m_gateway.RateText().c_str());
    if (m_bLog) {
        CDataExchange dx{this, false};
        DDX_Check(dx, IDC_CHECK_LOG, m_bLog);
    }
    return 1;
}

int CMainDlg::SaveSettings(const std::wstring& port, const std::wstring& rate) {
    m_gateway.SetTexts(Narrow(port), Narrow(rate));
    return m_gateway.SaveSettings();
}

SettingsRead CMainDlg::ReadSettings() { return m_settings.Load(); }

int CMainDlg::SaveSettings(const GatewaySettings& settings, const char*) {
    StoredSettings stored;
    stored.port = Widen(settings.port.c_str());
    stored.rate = Widen(settings.rate.c_str());
    stored.bLog = settings.log;
    return m_settings.Save(stored, g_strVersion);
}

int CMainDlg::LogChecked() {
    if (m_hWnd) {
        CDataExchange dx{this, true};
        DDX_Check(dx, IDC_CHECK_LOG, m_bLog);
    }
    return m_bLog;
}

void CMainDlg::OnLogSwitch(int bLog) {
    m_bLog = bLog;
    m_pDebugDlg->SetLog(bLog);
}

void CMainDlg::ReportOpenFailure(const char* port) {
    const std::wstring text = Widen(port) + L" 포트를 열 수 없습니다!";
    MessageBoxW(m_hWnd, text.c_str(), kProductTitle, MB_OK | MB_ICONERROR);
}

void CMainDlg::ShowAbout() {
    CAboutDlg about(m_hWnd, m_strTitle);
    about.DoModal();
}

LRESULT CMainDlg::OnSysCommand(WPARAM wp, LPARAM) {
    if ((wp & 0xFFF0) == IDM_ABOUTBOX)
        ShowAbout();
    else
        Default();
    return 0;
}

LRESULT CMainDlg::OnPaint(WPARAM, LPARAM) {
    if (!IsIconic(m_hWnd)) {
        Default();
        return 0;
    }
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(m_hWnd, &ps);
    SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT rc;
    GetClientRect(m_hWnd, &rc);
    const int cx = GetSystemMetrics(SM_CXICON), cy = GetSystemMetrics(SM_CYICON);
    DrawIcon(dc, (rc.right - rc.left - cx + 1) / 2, (rc.bottom - rc.top - cy + 1) / 2, m_hIcon);
    EndPaint(m_hWnd, &ps);
    return 0;
}

LRESULT CMainDlg::OnQueryDragIcon(WPARAM, LPARAM) { return reinterpret_cast<LRESULT>(m_hIcon); }

LRESULT CMainDlg::OnClose(WPARAM, LPARAM) {
    ShowWindow(m_hWnd, SW_HIDE);
    return 0;
}

LRESULT CMainDlg::OnDestroy(WPARAM, LPARAM) {
    StopGateway();
    // Nothing changes the picture any more: the icon leaves with its window.
    m_trayIcon.Remove();
    Default();
    return 0;
}

LRESULT CMainDlg::OnTimer(WPARAM id, LPARAM) {
    if (id == kStartTimer) {
        if (!m_bShownByUser) ShowWindow(m_hWnd, SW_HIDE);
        KillTimer(m_hWnd, kStartTimer);
    }
    Default();
    return 0;
}

LRESULT CMainDlg::OnMenuAbout(WPARAM, LPARAM) {
    ShowAbout();
    return 0;
}

LRESULT CMainDlg::OnMenuSettings(WPARAM, LPARAM) {
    m_bShownByUser = 1;
    ShowWindow(m_hWnd, SW_SHOWNORMAL);
    SetForegroundWindow(m_hWnd);
    return 0;
}

LRESULT CMainDlg::OnMenuLog(WPARAM, LPARAM) {
    HWND debug = m_pDebugDlg->GetSafeHwnd();
    if (debug) {
        ShowWindow(debug, SW_SHOWNORMAL);
        SetForegroundWindow(debug);
    }
    return 0;
}

LRESULT CMainDlg::OnMenuExit(WPARAM, LPARAM) {
    if (MessageBoxW(m_hWnd, L"프로그램을 종료하시겠습니까?", kProductTitle,
                    MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK)
        OnOK();
    return 0;
}

LRESULT CMainDlg::OnSet(WPARAM, LPARAM) {
    // The gateway closes the port that is open, opens the one now typed and saves the settings.
    UpdateData(true);
    if (!m_gateway.ApplySettings(Narrow(m_strPort), Narrow(m_strRate))) return 0;
    m_bShownByUser = 0;
    ShowWindow(m_hWnd, SW_HIDE);
    return 0;
}

LRESULT CMainDlg::OnDropDownPort(WPARAM, LPARAM) {
    m_comboPort.FitDropDownWidth();
    return 0;
}

LRESULT CMainDlg::OnDropDownRate(WPARAM, LPARAM) {
    m_comboRate.FitDropDownWidth();
    return 0;
}

LRESULT CMainDlg::OnTrayNotify(WPARAM wp, LPARAM lp) { return m_trayIcon.HandleTrayMessage(wp, lp); }

LRESULT CMainDlg::OnTaskbarCreated(WPARAM, LPARAM) {
    m_trayIcon.Recreate();
    Default();
    return 0;
}

// An installer's upgrade or uninstall: the program ends as after "종료", without the question.
namespace {
// A box or dialog this window owns (the start-up "포트를 열 수 없습니다!", the exit question, the
// about box) runs a loop of its own: cancelled, it returns and the program's own loop ends.
BOOL CALLBACK CancelOwnedWindow(HWND hwnd, LPARAM owner) {
    if (GetWindow(hwnd, GW_OWNER) == reinterpret_cast<HWND>(owner))
        PostMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
    return TRUE;
}
}  // namespace

LRESULT CMainDlg::OnExitRequest(WPARAM, LPARAM) {
    if (m_bExitRequested) return 0;
    m_bExitRequested = true;
    m_gateway.GetRelay().PostTrace(TRACE_TEXT, "설치 프로그램의 요청으로 종료합니다 (업그레이드/제거)");
    EnumThreadWindows(GetCurrentThreadId(), CancelOwnedWindow, reinterpret_cast<LPARAM>(m_hWnd));
    OnOK();
    return 0;
}
