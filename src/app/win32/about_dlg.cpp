// CAboutDlg: everything is in the resource; only the title is set at start.
#include "app/win32/about_dlg.h"

#include "app/win32/resource.h"

CAboutDlg::CAboutDlg(HWND parent, const std::wstring& title)
    : CDialog(IDD_ABOUTBOX, parent), m_strTitle(title) {}

BOOL CAboutDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetWindowTextW(m_hWnd, m_strTitle.c_str());
    return TRUE;
}
