// CConsoleEdit: pending text under a critical section, one posted WM_CONSOLE_FLUSH per batch,
// insertion on the window thread that keeps the reader's view and selection.
#include "app/win32/console_edit.h"

#include <cstring>
#include <cwchar>
#include <vector>

bool g_bUnicodeWindows = true;

void DetectUnicodeWindows() {
    // GetVersion's high bit is clear on the NT family.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    g_bUnicodeWindows = (GetVersion() & 0x80000000u) == 0;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

CConsoleEdit::CConsoleEdit(HWND control, int flushDelayMs) : m_flushDelay(flushDelayMs) {
    InitializeCriticalSection(&m_lock);
    Attach(control);
}

CConsoleEdit::~CConsoleEdit() {
    if (HWND h = GetHookedWindow()) {
        if (m_timerId) KillTimer(h, m_timerId);
        m_timerId = 0;
        Unhook();
    }
    DeleteCriticalSection(&m_lock);
}

void CConsoleEdit::Attach(HWND control) {
    HWND current = GetHookedWindow();
    if (current && current != control) {
        if (m_timerId) KillTimer(current, m_timerId);
        m_timerId = 0;
        Unhook();
    }
    if (!control || GetHookedWindow() || !Hook(control)) return;
    SendMessageW(control, EM_LIMITTEXT, 0, 0);
    // Text that arrived while no control was hooked follows at once.
    EnterCriticalSection(&m_lock);
    if (!m_pending.empty() && !m_bFlushRequested && PostMessageW(control, WM_CONSOLE_FLUSH, 0, 0))
        m_bFlushRequested = true;
    LeaveCriticalSection(&m_lock);
}

void CConsoleEdit::Append(const char* utf8, bool lineBreaks) {
    if (!utf8) return;
    // UTF-8 never takes fewer bytes than UTF-16 takes characters: n characters always suffice.
    const std::size_t n = std::strlen(utf8) + 1;
    wchar_t stackBuffer[1024];
    std::vector<wchar_t> heapBuffer;
    wchar_t* buffer = stackBuffer;
    if (n > 1024) {
        heapBuffer.resize(n);
        buffer = heapBuffer.data();
    }
    if (MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(n), buffer, static_cast<int>(n)) <= 0)
        return;
    AppendW(buffer, lineBreaks);
}

void CConsoleEdit::AppendW(const wchar_t* text, bool lineBreaks) {
    if (!text) return;
    const std::size_t n = std::wcslen(text);
    EnterCriticalSection(&m_lock);
    if (lineBreaks) {
        m_pending.reserve(m_pending.size() + 2 * n);
        for (std::size_t i = 0; i < n; ++i) {
            if (text[i] == L'\n') m_pending.push_back(L'\r');
            m_pending.push_back(text[i]);
        }
    } else {
        m_pending.append(text, n);
    }
    HWND h = GetHookedWindow();
    if (!m_bFlushRequested && h && PostMessageW(h, WM_CONSOLE_FLUSH, 0, 0)) m_bFlushRequested = true;
    LeaveCriticalSection(&m_lock);
}

void CConsoleEdit::Insert(const std::wstring& text) {
    HWND h = GetHookedWindow();
    if (g_bUnicodeWindows) {
        SendMessageW(h, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
        return;
    }
    std::vector<char> ansi(text.size() * 2 + 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, ansi.data(), static_cast<int>(ansi.size()),
                        nullptr, nullptr);
    ansi.back() = '\0';
    SendMessageA(h, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(ansi.data()));
}

bool CConsoleEdit::Flush(bool force) {
    std::wstring text;
    EnterCriticalSection(&m_lock);
    text = m_pending;
    m_bFlushRequested = false;
    const bool clear = m_bClearPending;
    m_bClearPending = false;
    const unsigned clears = m_clears;
    LeaveCriticalSection(&m_lock);

    HWND h = GetHookedWindow();
    if (!h) return false;
    if (clear) ClearControl();
    if (!text.empty()) {
        DWORD selStart = 0, selEnd = 0;
        SendMessageW(h, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
        const DWORD len = static_cast<DWORD>(SendMessageW(h, WM_GETTEXTLENGTH, 0, 0));

        if (selStart == selEnd && selEnd == len) {
            SCROLLINFO si{};
            si.cbSize = sizeof si;
            si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
            // No scroll information (all text fits) counts as being at the bottom.
            const bool atBottom = !GetScrollInfo(h, SB_VERT, &si) || si.nPage == 0 ||
                                  si.nPos >= si.nMax - static_cast<int>(si.nPage) + 1;
            if (atBottom) {
                SendMessageW(h, EM_SETSEL, len, len);
                Insert(text);
            } else {
                if (!force) return false;
                SendMessageW(h, WM_SETREDRAW, FALSE, 0);
                const LRESULT first = SendMessageW(h, EM_GETFIRSTVISIBLELINE, 0, 0);
                SendMessageW(h, EM_SETSEL, len, len);
                // The caret stays at the new end, so the view follows again once the reader
                // is back at the bottom.
                Insert(text);
                const LRESULT now = SendMessageW(h, EM_GETFIRSTVISIBLELINE, 0, 0);
                SendMessageW(h, EM_LINESCROLL, 0, first - now);
                SendMessageW(h, WM_SETREDRAW, TRUE, 0);
                InvalidateRect(h, nullptr, TRUE);
            }
        } else {
            if (!force) return false;
            SendMessageW(h, WM_SETREDRAW, FALSE, 0);
            const LRESULT first = SendMessageW(h, EM_GETFIRSTVISIBLELINE, 0, 0);
            DWORD start = selStart, end = selEnd;
            if (start != end && GetFocus() == h) {
                // Put the selection back with the caret at the end where the user left it:
                // compare the caret with the screen positions of both ends (no 16-bit limits).
                POINT caret{};
                GetCaretPos(&caret);
                auto distance = [&](DWORD pos) {
                    LRESULT p = SendMessageW(h, EM_POSFROMCHAR, pos, 0);
                    long dx = static_cast<short>(LOWORD(p)) - caret.x;
                    long dy = static_cast<short>(HIWORD(p)) - caret.y;
                    return dx * dx + dy * dy;
                };
                if (distance(selStart) < distance(selEnd)) {
                    start = selEnd;
                    end = selStart;
                }
            }
            SendMessageW(h, EM_SETSEL, len, len);
            Insert(text);
            SendMessageW(h, EM_SETSEL, start, end);
            // The reader keeps looking at the same lines.
            const LRESULT now = SendMessageW(h, EM_GETFIRSTVISIBLELINE, 0, 0);
            SendMessageW(h, EM_LINESCROLL, 0, first - now);
            SendMessageW(h, WM_SETREDRAW, TRUE, 0);
            InvalidateRect(h, nullptr, TRUE);
        }
    }
    EnterCriticalSection(&m_lock);
    // A clear since the copy dropped that text already; what is pending now came after it.
    if (clears == m_clears)
        m_pending.erase(0, text.size() < m_pending.size() ? text.size() : m_pending.size());
    LeaveCriticalSection(&m_lock);
    return true;
}

void CConsoleEdit::ClearConsole() {
    HWND h = GetHookedWindow();
    if (!h) return;
    if (GetWindowThreadProcessId(h, nullptr) == GetCurrentThreadId()) {
        ClearControl();
        return;
    }
    // Lines not yet shown would be cleared with the rest: they are dropped here.
    EnterCriticalSection(&m_lock);
    m_pending.clear();
    m_bClearPending = true;
    ++m_clears;
    if (!m_bFlushRequested && PostMessageW(h, WM_CONSOLE_FLUSH, 0, 0)) m_bFlushRequested = true;
    LeaveCriticalSection(&m_lock);
}

void CConsoleEdit::ClearControl() {
    HWND h = GetHookedWindow();
    const bool readOnly = (GetWindowLongW(h, GWL_STYLE) & ES_READONLY) != 0;
    if (readOnly) SendMessageW(h, EM_SETREADONLY, FALSE, 0);
    SendMessageW(h, EM_SETSEL, 0, -1);
    SendMessageW(h, WM_CLEAR, 0, 0);
    if (readOnly) SendMessageW(h, EM_SETREADONLY, TRUE, 0);
}

bool CConsoleEdit::OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
    HWND h = GetHookedWindow();
    switch (msg) {
    case WM_CONSOLE_FLUSH:
        if (!Flush(false) && m_timerId == 0)
            m_timerId = SetTimer(h, CONSOLE_FLUSH_TIMER, static_cast<UINT>(m_flushDelay), nullptr);
        result = 0;
        return true;
    case WM_TIMER:
        // The control's own timers (scrolling while the mouse selects) go on to it.
        if (m_timerId == 0 || wp != m_timerId) break;
        if (Flush(true)) {
            KillTimer(h, m_timerId);
            m_timerId = 0;
        }
        result = 0;
        return true;
    case WM_DESTROY: {
        if (m_timerId) KillTimer(h, m_timerId);
        m_timerId = 0;
        // Give the control back, then let its own procedure see its WM_DESTROY.
        WNDPROC prev = PreviousProc();
        Unhook();
        result = CallWindowProcW(prev, h, msg, wp, lp);
        return true;
    }
    default:
        break;
    }
    return CWindowSubclass::OnMessage(msg, wp, lp, result);
}
