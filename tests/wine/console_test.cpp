// The debug window's console against the real edit control of dialog 132: immediate insertion at
// the bottom, hold-back while the reader is elsewhere, the single delayed flush, clearing.
#include "app/win32/console_edit.h"
#include "app/win32/debug_dlg.h"
#include "app/win32/resource.h"
#include "ui_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>

namespace {

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dlg.Create(nullptr));
        ShowWindow(m_dlg.GetSafeHwnd(), SW_SHOWNORMAL);
        m_edit = m_dlg.ConsoleWindow();
        ASSERT_NE(m_edit, nullptr);
        ASSERT_EQ(m_dlg.Console().GetHookedWindow(), m_edit);
        PumpPending();
    }

    std::wstring Text() const { return WindowText(m_edit); }
    bool Shows(const wchar_t* s) const { return Text().find(s) != std::wstring::npos; }
    int FirstVisibleLine() const { return static_cast<int>(SendMessageW(m_edit, EM_GETFIRSTVISIBLELINE, 0, 0)); }
    int LineCount() const { return static_cast<int>(SendMessageW(m_edit, EM_GETLINECOUNT, 0, 0)); }
    bool AtBottom() const {
        SCROLLINFO si{};
        si.cbSize = sizeof si;
        si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
        GetScrollInfo(m_edit, SB_VERT, &si);
        return si.nPos >= si.nMax - static_cast<int>(si.nPage) + 1;
    }
    // Many lines, inserted and shown, with the view at the bottom.
    void Fill(int lines) {
        char line[64];
        for (int i = 0; i < lines; ++i) {
            std::snprintf(line, sizeof line, "filler line %03d\r\n", i);
            m_dlg.Console().Append(line);
        }
        wchar_t last[32];
        std::swprintf(last, 32, L"filler line %03d", lines - 1);
        ASSERT_TRUE(PumpUntil([&] { return Shows(last); }, 3000));
    }
    void Selection(DWORD& start, DWORD& end) const {
        SendMessageW(m_edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    }

    CDebugDlg m_dlg;
    HWND m_edit = nullptr;
};

TEST_F(ConsoleTest, LineAtTheBottomShowsAtOnceAndTheViewFollows) {
    m_dlg.Console().Append("첫 줄 [CAT->VAN]\r\n");
    // One posted flush inserts it: no timer involved.
    ASSERT_TRUE(PumpUntil([&] { return Shows(L"첫 줄 [CAT->VAN]"); }, 2000));
    EXPECT_EQ(m_dlg.Console().TimerId(), 0u);
    // CR CR LF shows as a single line break.
    EXPECT_EQ(LineCount(), 2);

    Fill(120);
    m_dlg.Console().Append("last line\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Shows(L"last line"); }, 2000));
    EXPECT_EQ(m_dlg.Console().TimerId(), 0u);
    EXPECT_TRUE(AtBottom());
    EXPECT_GT(FirstVisibleLine(), 50);
}

TEST_F(ConsoleTest, ScrolledUpHoldsLinesBackThenInsertsOnceKeepingTheView) {
    Fill(150);
    SendMessageW(m_edit, WM_VSCROLL, SB_TOP, 0);
    SendMessageW(m_edit, EM_LINESCROLL, 0, 20);
    const int first = FirstVisibleLine();
    ASSERT_GT(first, 0);
    ASSERT_FALSE(AtBottom());

    const ULONGLONG start = GetTickCount64();
    m_dlg.Console().Append("held back line\r\n");
    PumpUntil([&] { return m_dlg.Console().TimerId() != 0; }, 1000);
    EXPECT_EQ(m_dlg.Console().TimerId(), CONSOLE_FLUSH_TIMER);
    EXPECT_FALSE(Shows(L"held back line"));

    // More lines keep coming every 100 ms; the timer is not started again, so the first line
    // arrives about 500 ms after it was held back, long before the stream ends.
    ULONGLONG shownAt = 0;
    for (int i = 0; i < 15 && !shownAt; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "stream %d\r\n", i);
        m_dlg.Console().Append(line);
        PumpUntil([&] { return Shows(L"held back line"); }, 100);
        if (Shows(L"held back line")) shownAt = GetTickCount64();
        else EXPECT_EQ(m_dlg.Console().TimerId(), CONSOLE_FLUSH_TIMER);
    }
    ASSERT_NE(shownAt, 0u) << "held-back text never inserted";
    EXPECT_GE(shownAt - start, 350u);
    EXPECT_LT(shownAt - start, 1400u);
    EXPECT_EQ(m_dlg.Console().TimerId(), 0u);
    EXPECT_EQ(FirstVisibleLine(), first);  // the reader still sees the same lines
    DWORD s = 0, e = 0;
    Selection(s, e);
    EXPECT_EQ(s, e);
    EXPECT_EQ(static_cast<int>(e), GetWindowTextLengthW(m_edit));  // caret still at the end
}

TEST_F(ConsoleTest, SelectionHoldsLinesBackAndIsKeptWithTheCaretAtItsEnd) {
    Fill(20);
    SetForegroundWindow(m_dlg.GetSafeHwnd());
    SetFocus(m_edit);
    ASSERT_EQ(GetFocus(), m_edit);

    for (bool caretAtStart : {true, false}) {
        // EM_SETSEL puts the caret at its second position.
        if (caretAtStart)
            SendMessageW(m_edit, EM_SETSEL, 40, 25);
        else
            SendMessageW(m_edit, EM_SETSEL, 25, 40);
        const std::wstring tag = caretAtStart ? L"while selected A" : L"while selected B";
        m_dlg.Console().Append(caretAtStart ? "while selected A\r\n" : "while selected B\r\n");
        PumpUntil([&] { return m_dlg.Console().TimerId() != 0; }, 1000);
        EXPECT_FALSE(Shows(tag.c_str()));
        ASSERT_TRUE(PumpUntil([&] { return Shows(tag.c_str()); }, 2000));
        DWORD s = 0, e = 0;
        Selection(s, e);
        EXPECT_EQ(s, 25u);
        EXPECT_EQ(e, 40u);
        POINT caret{};
        GetCaretPos(&caret);
        LRESULT at = SendMessageW(m_edit, EM_POSFROMCHAR, caretAtStart ? 25 : 40, 0);
        EXPECT_EQ(caret.x, static_cast<short>(LOWORD(at))) << (caretAtStart ? "start" : "end");
        EXPECT_EQ(caret.y, static_cast<short>(HIWORD(at))) << (caretAtStart ? "start" : "end");
        EXPECT_EQ(m_dlg.Console().TimerId(), 0u);
    }
}

// Appends once while the console is inserting text (inside EM_REPLACESEL).
class AppendDuringInsert : public CWindowSubclass {
public:
    explicit AppendDuringInsert(CConsoleEdit& console) : m_console(console) {}
    bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) override {
        if (msg == EM_REPLACESEL && !m_done) {
            m_done = true;
            m_console.AppendW(L"late arrival\n", true);
        }
        return CWindowSubclass::OnMessage(msg, wp, lp, result);
    }

private:
    CConsoleEdit& m_console;
    bool m_done = false;
};

TEST_F(ConsoleTest, TextAppendedWhileAFlushInsertsIsNotLost) {
    AppendDuringInsert spy(m_dlg.Console());
    ASSERT_TRUE(spy.Hook(m_edit));
    m_dlg.Console().Append("early\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Shows(L"late arrival"); }, 2000));
    const std::wstring text = Text();
    EXPECT_LT(text.find(L"early"), text.find(L"late arrival"));
    EXPECT_EQ(text.find(L"late arrival"), text.rfind(L"late arrival"));  // once, not twice
    spy.Unhook();
}

TEST_F(ConsoleTest, ClearAllEmptiesTheConsoleAndLeavesItReadOnly) {
    m_dlg.Console().Append("something to clear\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Shows(L"something to clear"); }, 2000));
    HWND clear = GetDlgItem(m_dlg.GetSafeHwnd(), IDC_BTN_CLEAR);
    ASSERT_EQ(WindowText(clear), L"모두 지우기");
    SendMessageW(m_dlg.GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDC_BTN_CLEAR, BN_CLICKED),
                 reinterpret_cast<LPARAM>(clear));
    EXPECT_EQ(GetWindowTextLengthW(m_edit), 0);
    EXPECT_NE(GetWindowLongW(m_edit, GWL_STYLE) & ES_READONLY, 0);
    // Typing still changes nothing.
    SendMessageW(m_edit, WM_CHAR, L'x', 0);
    EXPECT_EQ(GetWindowTextLengthW(m_edit), 0);
    // New lines keep arriving after the clear.
    m_dlg.Console().Append("after clear\r\n");
    EXPECT_TRUE(PumpUntil([&] { return Shows(L"after clear"); }, 2000));
}

TEST_F(ConsoleTest, AnotherThreadsClearIsQueuedInOrderWithoutWaitingForTheWindow) {
    m_dlg.Console().Append("shown before\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Shows(L"shown before"); }, 2000));
    // A producer thread appends, clears and appends again while this (window) thread pumps
    // nothing: it must return on its own.
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct Ctx { CConsoleEdit* console; HANDLE done; } ctx{&m_dlg.Console(), done};
    HANDLE t = CreateThread(nullptr, 0, [](LPVOID p) -> DWORD {
        auto* c = static_cast<Ctx*>(p);
        c->console->Append("pending before\r\n");
        c->console->ClearConsole();
        c->console->Append("after the clear\r\n");
        SetEvent(c->done);
        return 0;
    }, &ctx, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
    CloseHandle(done);
    EXPECT_TRUE(PumpUntil([&] { return Shows(L"after the clear"); }, 2000));
    EXPECT_FALSE(Shows(L"shown before"));
    EXPECT_FALSE(Shows(L"pending before"));
}

TEST_F(ConsoleTest, CloseHidesTheWindowAndTraceEventsStillArrive) {
    HWND dlg = m_dlg.GetSafeHwnd();
    SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDC_BTN_CLOSE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDC_BTN_CLOSE)));
    EXPECT_FALSE(IsWindowVisible(dlg));
    EXPECT_TRUE(IsWindow(dlg));

    TraceEvent event;
    event.kind = TRACE_FROM_TERMINAL;
    event.raw[0] = 0x06;
    m_dlg.OnTraceEvent(1, event);
    EXPECT_TRUE(PumpUntil([&] { return Shows(L"[CAT->VAN] [001] [ACK]"); }, 2000));
}

TEST_F(ConsoleTest, InitDialogFromOutsideAttachesNoObject) {
    // A WM_INITDIALOG that CreateDialogParam did not send (another process could): its lParam is
    // no object of this process and the dialog stays as it was.
    HWND dlg = m_dlg.GetSafeHwnd();
    SendMessageW(dlg, WM_INITDIALOG, 0, 0x1234);
    EXPECT_EQ(CDialog::FromHandle(dlg), &m_dlg);
    m_dlg.Console().Append("still here\r\n");
    EXPECT_TRUE(PumpUntil([&] { return Shows(L"still here"); }, 2000));
}

}  // namespace
