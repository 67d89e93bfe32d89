// The about box (dialog 100): icon 142, the product line, the server key's fingerprint and "확인";
// titled like the main window.
#pragma once
#include "app/win32/dialog.h"

#include <string>

class CAboutDlg final : public CDialog {
public:
    CAboutDlg(HWND parent, const std::wstring& title);

protected:
    BOOL OnInitDialog() override;

private:
    std::wstring m_strTitle;
};
