// The Windows window-thread seam: calls handed over from other threads run on the window thread,
// and a window thread that waits keeps serving them (no deadlock); its window's messages carry
// nothing another process could use to make it run code.
#include "app/win32/window_thread_win32.h"
#include "ui_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(WindowThreadWin32, SendRunsOnTheWindowThreadAndWaitsForTheCall) {
    CWindowThread wt;
    ASSERT_TRUE(wt.Create());
    EXPECT_TRUE(wt.IsCurrent());
    const DWORD windowThread = GetCurrentThreadId();

    DWORD ranOn = 0;
    bool returnedAfterCall = false;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        EXPECT_FALSE(wt.IsCurrent());
        wt.Call([&] { ranOn = GetCurrentThreadId(); });
        returnedAfterCall = (ranOn != 0);
        finished = true;
        wt.Wake();
    });
    // The window thread waits for the worker while serving its hand-over.
    wt.ServeUntilTrue([&] { return finished.load(); });
    worker.join();
    EXPECT_EQ(ranOn, windowThread);
    EXPECT_TRUE(returnedAfterCall);

    // On the window thread itself the call runs at once.
    int direct = 0;
    wt.Call([&] { direct = 1; });
    EXPECT_EQ(direct, 1);
}

TEST(WindowThreadWin32, ManyHandOversFromSeveralThreadsAllRunInTurn) {
    CWindowThread wt;
    ASSERT_TRUE(wt.Create());
    int counter = 0;  // touched only on the window thread
    std::atomic<int> done{0};
    std::thread a([&] {
        for (int i = 0; i < 200; ++i) wt.Call([&] { ++counter; });
        ++done;
        wt.Wake();
    });
    std::thread b([&] {
        for (int i = 0; i < 200; ++i) wt.Call([&] { ++counter; });
        ++done;
        wt.Wake();
    });
    wt.ServeUntilTrue([&] { return done.load() == 2; });
    a.join();
    b.join();
    EXPECT_EQ(counter, 400);
}

TEST(WindowThreadWin32, OrdinaryMessageLoopServesCallsAndForeignMessagesRunNothing) {
    CWindowThread wt;
    ASSERT_TRUE(wt.Create());
    // What another process could send or post to the hidden window: made-up "function" and
    // "argument" values. Nothing is called with them.
    SendMessageW(wt.Window(), WM_APP + 1, 0x1234, 0x5678);
    PostMessageW(wt.Window(), WM_APP + 1, 0x1234, 0x5678);
    PumpPending();

    // A call while the window thread is in a plain message loop (as in a dialog or a message box).
    DWORD ranOn = 0;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        wt.Call([&] { ranOn = GetCurrentThreadId(); });
        returned = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return returned.load(); }, 10000));
    wt.Destroy();  // runs what is still queued, so the worker cannot be left waiting
    worker.join();
    EXPECT_EQ(ranOn, GetCurrentThreadId());

    // Once the window thread is gone, a call returns without running.
    bool ranAfter = false;
    std::thread late([&] { wt.Call([&] { ranAfter = true; }); });
    late.join();
    EXPECT_FALSE(ranAfter);
}

}  // namespace
