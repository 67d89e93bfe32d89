// The debug window ("디버그 화면"): a modeless dialog with the read-only console to which every
// trace event is rendered, whether the window is shown or not.
#pragma once
#include "app/win32/console_edit.h"
#include "app/win32/dialog.h"
#include "diag/trace.h"
#include "diag/trace_render.h"

class CDebugDlg final : public CDialog, public TraceTarget {
public:
    CDebugDlg();
    ~CDebugDlg() override;

    // Window thread: renders one event into the console and the log.
    void OnTraceEvent(unsigned count, const TraceEvent& event) override;
    void ShowHeldLine() override { m_renderer.ShowHeldLine(); }
    void ClearConsole();
    void SetLog(int bLog) { m_renderer.SetLog(bLog); }
    int Log() const { return m_renderer.Log(); }
    CConsoleEdit& Console() { return m_console; }
    HWND ConsoleWindow() const { return m_edit; }

protected:
    // Overrides
    DECLARE_MESSAGE_MAP()
    void DoDataExchange(CDataExchange& dx) override;
    BOOL OnInitDialog() override;

    // Message handlers
    LRESULT OnClear(WPARAM, LPARAM);
    LRESULT OnClose(WPARAM, LPARAM);

private:
    HWND m_edit = nullptr;
    HWND m_btnClear = nullptr;
    HWND m_btnClose = nullptr;
    CConsoleEdit m_console;
    TraceRenderer m_renderer;  // keeps the event count and the log flag
    HICON m_hIcon;
};
