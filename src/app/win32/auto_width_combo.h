// A combo box whose dropped-down list is made wide enough for its longest entry.
#pragma once
#include <windows.h>

class CAutoWidthComboBox {
public:
    HWND m_hWnd = nullptr;

    int InsertString(int index, const wchar_t* text);
    // Selects the entry equal to text (case matters); -1 and no selection when there is none.
    int SelectExact(const wchar_t* text);
    // List width = widest (entry + vertical scroll bar) + the width of "0", in the control's font.
    void FitDropDownWidth();
};
