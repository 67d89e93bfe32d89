// CAutoWidthComboBox: measures the entries with GetTextExtentPoint32W and sets CB_SETDROPPEDWIDTH.
#include "app/win32/auto_width_combo.h"

#include <string>

namespace {

// The text of list entry i into item; false when the entry cannot be read.
bool ItemText(HWND combo, int i, std::wstring& item) {
    const LRESULT len = SendMessageW(combo, CB_GETLBTEXTLEN, i, 0);
    if (len == CB_ERR) return false;
    item.assign(static_cast<std::size_t>(len) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()));
    item.resize(static_cast<std::size_t>(len));
    return true;
}

}  // namespace

int CAutoWidthComboBox::InsertString(int index, const wchar_t* text) {
    return static_cast<int>(SendMessageW(m_hWnd, CB_INSERTSTRING, static_cast<WPARAM>(index),
                                         reinterpret_cast<LPARAM>(text)));
}

int CAutoWidthComboBox::SelectExact(const wchar_t* text) {
    const int count = static_cast<int>(SendMessageW(m_hWnd, CB_GETCOUNT, 0, 0));
    std::wstring item;
    for (int i = 0; i < count; ++i) {
        if (!ItemText(m_hWnd, i, item)) continue;
        if (item == text) {
            SendMessageW(m_hWnd, CB_SETCURSEL, i, 0);
            return i;
        }
    }
    SendMessageW(m_hWnd, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    return -1;
}

void CAutoWidthComboBox::FitDropDownWidth() {
    HDC dc = GetDC(m_hWnd);
    if (!dc) return;
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
    HGDIOBJ oldFont = font ? SelectObject(dc, font) : nullptr;
    const int scrollBar = GetSystemMetrics(SM_CXVSCROLL);
    int width = 0;
    const int count = static_cast<int>(SendMessageW(m_hWnd, CB_GETCOUNT, 0, 0));
    std::wstring item;
    for (int i = 0; i < count; ++i) {
        if (!ItemText(m_hWnd, i, item)) continue;
        SIZE size{};
        GetTextExtentPoint32W(dc, item.c_str(), static_cast<int>(item.size()), &size);
        if (size.cx + scrollBar > width) width = size.cx + scrollBar;
    }
    SIZE zero{};
    GetTextExtentPoint32W(dc, L"0", 1, &zero);
    width += zero.cx;
    if (oldFont) SelectObject(dc, oldFont);
    ReleaseDC(m_hWnd, dc);
    SendMessageW(m_hWnd, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(width), 0);
}
