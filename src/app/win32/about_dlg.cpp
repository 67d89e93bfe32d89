// CAboutDlg: everything is in the resource but the title and the line naming the server key.
#include "app/win32/about_dlg.h"

#include "app/win32/resource.h"
#include "app/win32/wide_text.h"
#include "crypto/server_key.h"

CAboutDlg::CAboutDlg(HWND parent, const std::wstring& title)
    : CDialog(IDD_ABOUTBOX, parent), m_strTitle(title) {}

BOOL CAboutDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetWindowTextW(m_hWnd, m_strTitle.c_str());
    SetDlgItemTextW(m_hWnd, IDC_ABOUT_SERVER_KEY, Widen(ServerKeyLine()).c_str());
    return TRUE;
}
