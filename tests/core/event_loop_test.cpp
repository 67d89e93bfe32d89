// The window thread made of standard C++: hand-over from other threads, inline calls on the
// loop thread, serving while waiting, and the end of the loop.
#include "core/event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// On the window thread: waits for a worker that hands a call over to the window thread before
// it ends; true when that call ran (without serving, both would wait for ever).
bool ServeAWorkersHandOver(EventLoop& loop) {
    std::atomic<bool> workerDone{false};
    bool handedOver = false;
    std::thread worker([&] {
        loop.Call([&] { handedOver = true; });
        workerDone = true;
        loop.Wake();
    });
    loop.ServeUntilTrue([&] { return workerDone.load(); });
    worker.join();
    return handedOver;
}

}  // namespace

TEST(EventLoop, SendFromAnotherThreadRunsAsTheWindowThreadAndWaits) {
    EventLoop loop;
    std::thread window([&] { loop.Run(); });
    const std::thread::id windowId = window.get_id();
    const std::thread::id senderId = std::this_thread::get_id();

    // A call runs on the loop thread, or on the sender itself while the loop thread is parked
    // with nothing to do; the sender's own runs show up as soon as the loop has gone to sleep.
    int ownRuns = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (int round = 0; round < 100 || (ownRuns == 0 && std::chrono::steady_clock::now() < deadline);
         ++round) {
        std::thread::id ranOn;
        bool finished = false;
        loop.Call([&] {
            ranOn = std::this_thread::get_id();
            EXPECT_TRUE(loop.IsCurrent());
            finished = true;  // read below without a lock: Send must not return before the call
        });
        ASSERT_TRUE(finished);
        ASSERT_TRUE(ranOn == windowId || ranOn == senderId);
        ownRuns += ranOn == senderId;
    }
    EXPECT_GT(ownRuns, 0);
    EXPECT_FALSE(loop.IsCurrent());
    loop.Quit();
    window.join();
}

TEST(EventLoop, ACallRunBySenderHoldsTheLoopAndServesWhileItWaits) {
    // The sender's call waits for a worker that hands a call over before it ends (the relay
    // ending a connection): the waiting sender serves it. A quit meanwhile ends Run() only after
    // the call has returned.
    EventLoop loop;
    auto run = std::async(std::launch::async, [&] { loop.Run(); });
    for (int round = 0; round < 50; ++round) {
        std::atomic<bool> inside{false}, returned{false};
        loop.Call([&] {
            inside = true;
            EXPECT_TRUE(ServeAWorkersHandOver(loop));
            if (round == 49) {
                loop.Quit();
                EXPECT_EQ(run.wait_for(20ms), std::future_status::timeout);
            }
            returned = true;
        });
        EXPECT_TRUE(inside && returned);
    }
    EXPECT_EQ(run.wait_for(10s), std::future_status::ready);
}

TEST(EventLoop, ManySendersAreServedOneAtATime) {
    EventLoop loop;
    std::thread window([&] { loop.Run(); });
    int counter = 0;  // touched only on the loop thread
    std::atomic<int> inside{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < 4; ++s)
        senders.emplace_back([&] {
            for (int i = 0; i < 500; ++i)
                loop.Call([&] {
                    EXPECT_EQ(inside.fetch_add(1), 0);
                    ++counter;
                    inside.fetch_sub(1);
                });
        });
    for (auto& t : senders) t.join();
    int seen = -1;
    loop.Call([&] { seen = counter; });
    EXPECT_EQ(seen, 2000);
    loop.Quit();
    window.join();
}

TEST(EventLoop, SendOnTheLoopThreadRunsInline) {
    EventLoop loop;
    std::thread window([&] { loop.Run(); });
    bool nestedRan = false;
    loop.Call([&] {
        // Queued behind ourselves it would never run: it must run at once, inside this call.
        loop.Call([&] { nestedRan = true; });
        EXPECT_TRUE(nestedRan);
    });
    EXPECT_TRUE(nestedRan);
    loop.Quit();
    window.join();

    EventLoop adopted;
    adopted.Adopt();
    bool ran = false;
    adopted.Call([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(adopted.IsCurrent());
}

TEST(EventLoop, ServeUntilOnTheLoopThreadServesOtherSenders) {
    EventLoop loop;
    loop.Adopt();
    EXPECT_TRUE(ServeAWorkersHandOver(loop));
}

TEST(EventLoop, QuitEndsRun) {
    EventLoop loop;
    auto run = std::async(std::launch::async, [&] { loop.Run(); });
    loop.Call([] {});  // the loop is running
    EXPECT_EQ(run.wait_for(50ms), std::future_status::timeout);
    loop.Quit();
    EXPECT_EQ(run.wait_for(10s), std::future_status::ready);

    // Quit before Run: Run returns at once.
    EventLoop early;
    early.Quit();
    auto late = std::async(std::launch::async, [&] { early.Run(); });
    EXPECT_EQ(late.wait_for(10s), std::future_status::ready);
}
