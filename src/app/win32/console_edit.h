// The debug console's text sink: any thread appends text under a lock and asks for one posted
// flush; the window thread inserts it, holding it back while the reader looks at older text.
#pragma once
#include "app/win32/window_subclass.h"
#include "diag/trace.h"

#include <windows.h>

#include <string>

constexpr UINT WM_CONSOLE_FLUSH = WM_USER + 500;
constexpr UINT_PTR CONSOLE_FLUSH_TIMER = 4711;

// True on the Windows NT family (the control takes 16-bit text); set once at start.
extern bool g_bUnicodeWindows;
void DetectUnicodeWindows();

class CConsoleEdit final : public CWindowSubclass, public ConsoleSink {
public:
    explicit CConsoleEdit(HWND control = nullptr, int flushDelayMs = 500);
    ~CConsoleEdit() override;

    // Hooks the control (after unhooking a different one) and lifts its text limit.
    void Attach(HWND control);
    // UTF-8 text; lineBreaks puts a CR before every LF. Any thread.
    void Append(const char* utf8, bool lineBreaks);
    void AppendW(const wchar_t* text, bool lineBreaks);
    // Window thread: true when the pending text went into the control.
    bool Flush(bool force);

    // ConsoleSink (the trace renderer's lines). Any thread; off the window thread the clear is
    // queued in front of the lines that follow it, so no producer waits for the window.
    void Append(const char* line) override { Append(line, true); }
    void ClearConsole() override;

    UINT_PTR TimerId() const { return m_timerId; }

protected:
    bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) override;

private:
    void Insert(const std::wstring& text);  // at the caret, as 16-bit or ANSI text
    void ClearControl();                    // window thread: the control emptied

    UINT_PTR m_timerId = 0;
    int m_flushDelay;
    CRITICAL_SECTION m_lock;
    bool m_bFlushRequested = false;
    bool m_bClearPending = false;  // another thread emptied the console; the control follows
    unsigned m_clears = 0;         // clears asked for so far (pending text dropped each time)
    std::wstring m_pending;
};
