// The Windows window-thread seam: the window-thread suite with the window thread in a message
// loop of its own and with the test thread as the window thread; what Windows adds: its window's
// messages carry nothing another process could use to make it run code, and Destroy leaves no
// caller waiting.
#include "app/win32/window_thread_win32.h"
#include "support/window_thread_suite.h"
#include "ui_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace std::chrono_literals;

// The program's arrangement: the window thread serves calls from an ordinary message loop (the
// program's own, or a dialog's or a message box's) until it is told to quit.
class CWindowThreadInMessageLoop {
public:
    CWindowThreadInMessageLoop() {
        m_thread = std::thread([this] {
            const bool created = m_window.Create();
            m_threadId = GetCurrentThreadId();
            m_ready.set_value(created);
            if (!created) return;
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            m_window.Destroy();
        });
        auto ready = m_ready.get_future();
        if (ready.wait_for(10s) != std::future_status::ready || !ready.get())
            ADD_FAILURE() << "no window thread";
    }
    ~CWindowThreadInMessageLoop() {
        PostThreadMessageW(m_threadId, WM_QUIT, 0, 0);
        m_thread.join();
    }
    WindowThread& Window() { return m_window; }
    std::thread::id WindowThreadId() const { return m_thread.get_id(); }

private:
    CWindowThread m_window;
    std::promise<bool> m_ready;
    DWORD m_threadId = 0;
    std::thread m_thread;
};

// The test thread is the window thread and serves only while it waits (in ServeUntil).
class CWindowThreadOnTestThread {
public:
    CWindowThreadOnTestThread() {
        if (!m_window.Create()) ADD_FAILURE() << "no window thread";
    }
    WindowThread& Window() { return m_window; }
    std::thread::id WindowThreadId() const { return m_id; }

private:
    CWindowThread m_window;
    std::thread::id m_id = std::this_thread::get_id();
};

namespace window_thread_suite {
using Win32Arrangements = ::testing::Types<CWindowThreadInMessageLoop, CWindowThreadOnTestThread>;
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, WindowThreadContract, Win32Arrangements);
}  // namespace window_thread_suite

namespace {

// Waits (bounded) until a message has been posted to the calling thread, leaving it queued.
bool WaitForPostedMessage() {
    return MsgWaitForMultipleObjects(0, nullptr, FALSE, 10000, QS_POSTMESSAGE) == WAIT_OBJECT_0;
}

TEST(WindowThreadWin32, ForeignMessagesRunNothing) {
    CWindowThread wt;
    ASSERT_TRUE(wt.Create());
    // What another process could send or post to the hidden window: made-up "function" and
    // "argument" values. Nothing is called with them.
    SendMessageW(wt.Window(), WM_APP + 1, 0x1234, 0x5678);
    PostMessageW(wt.Window(), WM_APP + 1, 0x1234, 0x5678);
    PumpPending();

    // The window still serves its own calls afterwards.
    bool ran = false;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        wt.Call([&] { ran = true; });
        returned = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return returned.load(); }, 10000));
    wt.Destroy();  // runs what is still queued, so the worker cannot be left waiting
    worker.join();
    EXPECT_TRUE(ran);
}

TEST(WindowThreadWin32, DestroyOnTheWindowThreadRunsWhatIsQueuedAndLaterCallsReturnAtOnce) {
    CWindowThread wt;
    ASSERT_TRUE(wt.Create());
    DWORD ranOn = 0;
    std::thread worker([&] { wt.Call([&] { ranOn = GetCurrentThreadId(); }); });
    // The call is queued (its wake-up message has arrived) but nothing has served it yet.
    EXPECT_TRUE(WaitForPostedMessage());
    wt.Destroy();
    worker.join();
    EXPECT_EQ(ranOn, GetCurrentThreadId());

    // Once the window thread is gone, a call returns without running.
    bool ranAfter = false;
    std::thread late([&] { wt.Call([&] { ranAfter = true; }); });
    late.join();
    EXPECT_FALSE(ranAfter);
}

TEST(WindowThreadWin32, DestroyFromAnotherThreadReleasesTheWaitingCallers) {
    // A window thread that has stopped serving (it is stuck, or gone without Destroy): Destroy
    // from elsewhere lets the waiting callers go without running their calls.
    CWindowThread wt;
    std::promise<void> created, queued, destroyed;
    std::thread window([&] {
        if (!wt.Create()) ADD_FAILURE() << "no window thread";
        created.set_value();
        EXPECT_TRUE(WaitForPostedMessage());  // a caller waits in the queue
        queued.set_value();
        destroyed.get_future().wait_for(10s);
    });
    created.get_future().wait_for(10s);
    bool ran = false;
    auto caller = std::async(std::launch::async, [&] { wt.Call([&] { ran = true; }); });
    EXPECT_EQ(queued.get_future().wait_for(10s), std::future_status::ready);
    wt.Destroy();
    EXPECT_EQ(caller.wait_for(10s), std::future_status::ready);
    destroyed.set_value();
    window.join();
    caller.wait();
    EXPECT_FALSE(ran);
}

}  // namespace
