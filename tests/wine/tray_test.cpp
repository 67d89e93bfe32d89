// The tray icon in Wine's notification area: the popup menu on right click (chosen with the
// keyboard), the default command on double click, other events and other icons.
#include "app/win32/resource.h"
#include "app/win32/tray_icon.h"
#include "ui_test_util.h"

#include <gtest/gtest.h>

namespace {

struct MenuSeen {
    bool shown = false;
    int items = -1;
    UINT defaultItem = static_cast<UINT>(-1);
    UINT firstId = 0;
    int keysToSend = 0;  // VK_DOWN presses before Enter; -1: Escape
    bool closed = false;
};
MenuSeen g_menu;

// Runs inside the menu's own loop: looks at the open popup, then picks an entry or closes it.
void CALLBACK MenuTimer(HWND, UINT, UINT_PTR id, DWORD) {
    HWND popup = FindWindowW(L"#32768", nullptr);
    if (!popup || !IsWindowVisible(popup) || g_menu.closed) return;
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
    g_menu.shown = true;
    g_menu.items = GetMenuItemCount(menu);
    g_menu.defaultItem = GetMenuDefaultItem(menu, FALSE, 0);  // by command id
    g_menu.firstId = GetMenuItemID(menu, 0);
    g_menu.closed = true;
    KillTimer(nullptr, id);
    if (g_menu.keysToSend < 0) {
        EndMenu();
        return;
    }
    for (int i = 0; i < g_menu.keysToSend; ++i) PostMessageW(popup, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(popup, WM_KEYDOWN, VK_RETURN, 0);
}

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        RecordingWindow::Log().clear();
        g_menu = MenuSeen{};
        m_owner = RecordingWindow::Create();
        ASSERT_NE(m_owner, nullptr);
        ASSERT_NE(m_tray.Create(m_owner, WM_TRAY_NOTIFY, L"(주)Tevo네트웍스 Brisca", nullptr, IDR_TRAYMENU), 0);
        RecordingWindow::Log().clear();
    }
    void TearDown() override {
        m_tray.Remove();
        DestroyWindow(m_owner);
    }
    CTrayIcon m_tray;
    HWND m_owner = nullptr;
};

TEST_F(TrayTest, RightClickOpensTheMenuWithTheAboutEntryAsDefaultAndSendsTheChoice) {
    g_menu.keysToSend = 3;  // nothing is highlighted at first: Down x3 reaches "로그"
    UINT_PTR timer = SetTimer(nullptr, 0, 100, MenuTimer);
    ASSERT_NE(timer, 0u);
    EXPECT_EQ(m_tray.HandleTrayMessage(IDR_TRAYMENU, WM_RBUTTONUP), 1);
    KillTimer(nullptr, timer);
    ASSERT_TRUE(g_menu.shown);
    EXPECT_EQ(g_menu.items, 5);
    EXPECT_EQ(g_menu.defaultItem, static_cast<UINT>(ID_MENU_ABOUT));
    EXPECT_EQ(g_menu.firstId, static_cast<UINT>(ID_MENU_ABOUT));
    // The chosen command and the closing WM_USER reach the owner through its queue.
    EXPECT_TRUE(PumpUntil([] { return RecordingWindow::Count(WM_COMMAND) > 0 && RecordingWindow::Count(WM_USER) > 0; }, 2000));
    EXPECT_TRUE(RecordingWindow::HasCommand(ID_MENU_LOG));
    EXPECT_FALSE(RecordingWindow::HasCommand(ID_MENU_EXIT));
}

TEST_F(TrayTest, RightClickAndEscapeChoosesNothing) {
    g_menu.keysToSend = -1;
    UINT_PTR timer = SetTimer(nullptr, 0, 100, MenuTimer);
    EXPECT_EQ(m_tray.HandleTrayMessage(IDR_TRAYMENU, WM_RBUTTONUP), 1);
    KillTimer(nullptr, timer);
    EXPECT_TRUE(g_menu.shown);
    EXPECT_TRUE(PumpUntil([] { return RecordingWindow::Count(WM_USER) > 0; }, 2000));
    EXPECT_EQ(RecordingWindow::Count(WM_COMMAND), 0);
}

TEST_F(TrayTest, DoubleClickSendsTheFirstEntrysCommandWithoutAMenu) {
    UINT_PTR timer = SetTimer(nullptr, 0, 50, MenuTimer);  // would see a menu if one opened
    EXPECT_EQ(m_tray.HandleTrayMessage(IDR_TRAYMENU, WM_LBUTTONDBLCLK), 1);
    // Sent, not posted: the owner has handled it when the call returns.
    EXPECT_TRUE(RecordingWindow::HasCommand(ID_MENU_ABOUT));
    PumpUntil([] { return false; }, 200);
    KillTimer(nullptr, timer);
    EXPECT_FALSE(g_menu.shown);
}

TEST_F(TrayTest, OtherMouseEventsAndOtherIconsDoNothing) {
    for (UINT event : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_MBUTTONUP, WM_MOUSEMOVE, WM_RBUTTONDOWN})
        EXPECT_EQ(m_tray.HandleTrayMessage(IDR_TRAYMENU, event), 1) << event;
    EXPECT_EQ(m_tray.HandleTrayMessage(IDR_TRAYMENU + 1, WM_RBUTTONUP), 0);
    EXPECT_EQ(m_tray.HandleTrayMessage(IDR_TRAYMENU + 1, WM_LBUTTONDBLCLK), 0);
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(RecordingWindow::Count(WM_COMMAND), 0);
    EXPECT_EQ(RecordingWindow::Count(WM_USER), 0);
}

TEST_F(TrayTest, PictureChangesOnlyWhileAddedAndFromSeveralThreads) {
    EXPECT_NE(m_tray.SetIcon(static_cast<UINT>(IDI_TRAY_IDLE)), 0);
    HICON idle = m_tray.CurrentIcon();
    EXPECT_NE(idle, nullptr);

    // Receive workers and the window thread change the picture at the same time.
    struct Ctx {
        CTrayIcon* tray;
        int icon;
    };
    auto worker = [](LPVOID p) -> DWORD {
        auto* c = static_cast<Ctx*>(p);
        for (int i = 0; i < 100; ++i) c->tray->SetIcon(c->icon);
        return 0;
    };
    Ctx a{&m_tray, IDI_TRAY_ANSWER}, b{&m_tray, IDI_TRAY_IDLE};
    HANDLE ta = CreateThread(nullptr, 0, worker, &a, 0, nullptr);
    HANDLE tb = CreateThread(nullptr, 0, worker, &b, 0, nullptr);
    for (int i = 0; i < 100; ++i) m_tray.SetIcon(static_cast<UINT>(i % 2 ? IDI_TRAY_IDLE : IDI_TRAY_ANSWER));
    WaitForSingleObject(ta, 30000);
    WaitForSingleObject(tb, 30000);
    CloseHandle(ta);
    CloseHandle(tb);
    EXPECT_NE(m_tray.SetIcon(static_cast<UINT>(IDI_TRAY_ANSWER)), 0);
    EXPECT_NE(m_tray.CurrentIcon(), idle);

    EXPECT_NE(m_tray.Remove(), 0);
    EXPECT_FALSE(m_tray.IsAdded());
    EXPECT_EQ(m_tray.SetIcon(static_cast<UINT>(IDI_TRAY_IDLE)), 0);
    EXPECT_EQ(m_tray.Remove(), 0);
}

TEST_F(TrayTest, IconComesBackWhenTheNotificationAreaIsMadeAnew) {
    ASSERT_NE(m_tray.SetIcon(static_cast<UINT>(IDI_TRAY_ANSWER)), 0);
    HICON answer = m_tray.CurrentIcon();
    // The shell loses the icon (the task bar restarted): only a new add brings it back.
    NOTIFYICONDATAW gone{};
    gone.cbSize = NOTIFYICONDATAW_V1_SIZE;
    gone.hWnd = m_owner;
    gone.uID = IDR_TRAYMENU;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &gone));
    EXPECT_NE(m_tray.Recreate(), 0);
    EXPECT_TRUE(m_tray.IsAdded());
    EXPECT_EQ(m_tray.CurrentIcon(), answer);  // with the picture it had
    EXPECT_NE(m_tray.SetIcon(static_cast<UINT>(IDI_TRAY_IDLE)), 0);
    // After a removal there is nothing to bring back.
    EXPECT_NE(m_tray.Remove(), 0);
    EXPECT_EQ(m_tray.Recreate(), 0);
}

TEST(TrayTooltip, LongTooltipIsCutToItsField) {
    HWND owner = RecordingWindow::Create();
    std::wstring longTip(100, L'가');
    CTrayIcon tray;
    ASSERT_NE(tray.Create(owner, WM_TRAY_NOTIFY, longTip.c_str(), nullptr, IDR_TRAYMENU), 0);
    EXPECT_EQ(std::wstring(tray.Tooltip()), std::wstring(63, L'가'));
    tray.Remove();

    // A surrogate pair across the cut is dropped whole.
    std::wstring pairs(62, L'a');
    pairs += L"\U0001F600\U0001F600";
    CTrayIcon tray2;
    ASSERT_NE(tray2.Create(owner, WM_TRAY_NOTIFY, pairs.c_str(), nullptr, IDR_TRAYMENU), 0);
    EXPECT_EQ(std::wstring(tray2.Tooltip()), std::wstring(62, L'a'));
    tray2.Remove();

    CTrayIcon noOwner;
    EXPECT_EQ(noOwner.Create(nullptr, WM_TRAY_NOTIFY, L"x", nullptr, IDR_TRAYMENU), 0);
    EXPECT_EQ(noOwner.SetIcon(static_cast<UINT>(IDI_TRAY_IDLE)), 0);
    DestroyWindow(owner);
}

}  // namespace
