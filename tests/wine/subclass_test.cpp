// Window subclassing against real windows: routing, unhooking, refusal of a second hook,
// destruction, two objects on one window, and detach requests that did not come from Unhook.
#include "app/win32/window_subclass.h"
#include "ui_test_util.h"

#include <gtest/gtest.h>

namespace {

class TestSubclass : public CWindowSubclass {
public:
    std::vector<UINT> seen;
    int destroyed = 0;
    bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) override {
        seen.push_back(msg);
        if (msg == WM_APP + 2) {
            result = 77;
            return true;
        }
        return CWindowSubclass::OnMessage(msg, wp, lp, result);
    }
    void OnWindowDestroyed() override { ++destroyed; }
    bool Saw(UINT msg) const {
        for (UINT m : seen)
            if (m == msg) return true;
        return false;
    }
};

class SubclassTest : public ::testing::Test {
protected:
    void SetUp() override {
        RecordingWindow::Log().clear();
        m_hwnd = RecordingWindow::Create();
        ASSERT_NE(m_hwnd, nullptr);
    }
    void TearDown() override {
        if (IsWindow(m_hwnd)) DestroyWindow(m_hwnd);
    }
    WNDPROC CurrentProc() const { return reinterpret_cast<WNDPROC>(GetWindowLongPtrW(m_hwnd, GWLP_WNDPROC)); }
    HWND m_hwnd = nullptr;
};

TEST_F(SubclassTest, HookedWindowMessagesReachTheObjectFirstAndTheRestGoOn) {
    TestSubclass sub;
    ASSERT_TRUE(sub.Hook(m_hwnd));
    EXPECT_EQ(sub.GetHookedWindow(), m_hwnd);

    // Handled by the object: the window's own procedure never sees it.
    EXPECT_EQ(SendMessageW(m_hwnd, WM_APP + 2, 0, 0), 77);
    EXPECT_EQ(RecordingWindow::Count(WM_APP + 2), 0);

    // Not handled: seen by the object, then answered unchanged by the former procedure.
    EXPECT_EQ(SendMessageW(m_hwnd, WM_APP + 1, 5, 6), 1234);
    EXPECT_TRUE(sub.Saw(WM_APP + 1));
    EXPECT_EQ(RecordingWindow::Count(WM_APP + 1), 1);
    EXPECT_EQ(RecordingWindow::Log().back().wp, 5u);
}

TEST_F(SubclassTest, UnhookGivesTheWindowBackOnce) {
    TestSubclass sub;
    ASSERT_TRUE(sub.Hook(m_hwnd));
    EXPECT_NE(CurrentProc(), &RecordingWindow::Proc);

    EXPECT_EQ(sub.Unhook(), m_hwnd);
    EXPECT_EQ(CurrentProc(), &RecordingWindow::Proc);
    EXPECT_EQ(sub.GetHookedWindow(), nullptr);
    EXPECT_EQ(sub.Unhook(), nullptr);

    sub.seen.clear();
    EXPECT_EQ(SendMessageW(m_hwnd, WM_APP + 2, 0, 0), 0);  // the object no longer answers
    EXPECT_TRUE(sub.seen.empty());
    // And it may hook again afterwards.
    EXPECT_TRUE(sub.Hook(m_hwnd));
    EXPECT_EQ(sub.Unhook(), m_hwnd);
}

TEST_F(SubclassTest, SecondHookIsRefusedAndTheFirstWindowStaysHooked) {
    HWND other = RecordingWindow::Create();
    ASSERT_NE(other, nullptr);
    TestSubclass sub;
    ASSERT_TRUE(sub.Hook(m_hwnd));
    EXPECT_FALSE(sub.Hook(other));
    EXPECT_FALSE(sub.Hook(m_hwnd));
    EXPECT_EQ(sub.GetHookedWindow(), m_hwnd);
    EXPECT_EQ(SendMessageW(m_hwnd, WM_APP + 2, 0, 0), 77);
    EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrW(other, GWLP_WNDPROC)), &RecordingWindow::Proc);
    DestroyWindow(other);

    TestSubclass none;
    EXPECT_FALSE(none.Hook(nullptr));
    EXPECT_FALSE(none.Hook(other));  // destroyed: not a window any more
}

TEST_F(SubclassTest, DestroyingTheWindowUnhooksAndCallsOnWindowDestroyedOnce) {
    TestSubclass sub;
    ASSERT_TRUE(sub.Hook(m_hwnd));
    DestroyWindow(m_hwnd);
    EXPECT_EQ(sub.destroyed, 1);
    EXPECT_EQ(sub.GetHookedWindow(), nullptr);
    EXPECT_TRUE(sub.Saw(WM_DESTROY));
    EXPECT_TRUE(sub.Saw(WM_NCDESTROY));
    EXPECT_EQ(RecordingWindow::Count(WM_NCDESTROY), 1);  // the former procedure saw it too
    EXPECT_EQ(sub.Unhook(), nullptr);
    EXPECT_EQ(sub.destroyed, 1);
}

TEST_F(SubclassTest, TwoObjectsOnOneWindowUnhookInEitherOrder) {
    TestSubclass lower, upper;
    ASSERT_TRUE(lower.Hook(m_hwnd));
    ASSERT_TRUE(upper.Hook(m_hwnd));
    EXPECT_EQ(SendMessageW(m_hwnd, WM_APP + 1, 0, 0), 1234);
    EXPECT_TRUE(upper.Saw(WM_APP + 1));
    EXPECT_TRUE(lower.Saw(WM_APP + 1));

    // The lower one leaves first: the upper one now passes straight to the window's procedure.
    EXPECT_EQ(lower.Unhook(), m_hwnd);
    lower.seen.clear();
    EXPECT_EQ(SendMessageW(m_hwnd, WM_APP + 1, 0, 0), 1234);
    EXPECT_TRUE(lower.seen.empty());
    EXPECT_EQ(upper.Unhook(), m_hwnd);
    EXPECT_EQ(CurrentProc(), &RecordingWindow::Proc);
}

TEST_F(SubclassTest, ObjectGoingAwayWhileHookedGivesTheWindowBack) {
    {
        TestSubclass sub;
        ASSERT_TRUE(sub.Hook(m_hwnd));
    }
    EXPECT_EQ(CurrentProc(), &RecordingWindow::Proc);
    EXPECT_EQ(SendMessageW(m_hwnd, WM_APP + 1, 0, 0), 1234);
}

TEST_F(SubclassTest, DetachRequestFromOutsideIsIgnored) {
    TestSubclass lower, upper;
    ASSERT_TRUE(lower.Hook(m_hwnd));
    ASSERT_TRUE(upper.Hook(m_hwnd));
    // What another process could send: an object's address, alone or with a made-up object "above".
    const UINT detach = RegisterSubclassMessage();
    EXPECT_EQ(SendMessageW(m_hwnd, detach, 0, reinterpret_cast<LPARAM>(&upper)), 0);
    EXPECT_EQ(SendMessageW(m_hwnd, detach, 0x1234, reinterpret_cast<LPARAM>(&lower)), 0);
    EXPECT_EQ(upper.GetHookedWindow(), m_hwnd);
    EXPECT_EQ(lower.GetHookedWindow(), m_hwnd);
    EXPECT_EQ(SendMessageW(m_hwnd, WM_APP + 1, 0, 0), 1234);
    EXPECT_TRUE(lower.Saw(WM_APP + 1));  // the chain is whole

    EXPECT_EQ(lower.Unhook(), m_hwnd);
    EXPECT_EQ(upper.Unhook(), m_hwnd);
    EXPECT_EQ(CurrentProc(), &RecordingWindow::Proc);
}

}  // namespace
