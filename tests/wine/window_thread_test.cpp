// The Windows window-thread seam: calls handed over from other threads run on the window thread,
// and a window thread that waits keeps serving them (no deadlock).
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

}  // namespace
