// CDebugDlg: resource 132; the trace renderer writes into its console through CConsoleEdit.
#include "app/win32/debug_dlg.h"

#include "app/win32/resource.h"

BEGIN_MESSAGE_MAP(CDebugDlg)
    ON_COMMAND(IDC_BTN_CLEAR, &CDebugDlg::OnClear)
    ON_COMMAND(IDC_BTN_CLOSE, &CDebugDlg::OnClose)
END_MESSAGE_MAP()

CDebugDlg::CDebugDlg()
    : CDialog(IDD_DEBUG_DIALOG, nullptr),
      m_console(nullptr, 500),
      m_renderer(&m_console),
      m_hIcon(LoadIconW(Instance(), MAKEINTRESOURCEW(IDI_CONSOLE))) {}

CDebugDlg::~CDebugDlg() {
    // The console lets go of the control before the window goes.
    m_console.Attach(nullptr);
    if (m_hWnd) DestroyWindow(m_hWnd);
}

void CDebugDlg::DoDataExchange(CDataExchange& dx) {
    DDX_Control(dx, IDC_EDIT_CONSOLE, m_edit);
    DDX_Control(dx, IDC_BTN_CLEAR, m_btnClear);
    DDX_Control(dx, IDC_BTN_CLOSE, m_btnClose);
}

BOOL CDebugDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    m_console.Attach(m_edit);
    return TRUE;
}

void CDebugDlg::OnTraceEvent(unsigned count, const TraceEvent& event) {
    m_renderer.OnTraceEvent(count, event);
}

void CDebugDlg::ClearConsole() { m_console.ClearConsole(); }

LRESULT CDebugDlg::OnClear(WPARAM, LPARAM) {
    ClearConsole();
    return 0;
}

LRESULT CDebugDlg::OnClose(WPARAM, LPARAM) {
    ShowWindow(m_hWnd, SW_HIDE);
    return 0;
}
