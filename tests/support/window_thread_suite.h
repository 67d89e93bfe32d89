// What every window thread promises (core/window_thread.h), as one typed GoogleTest suite that
// each implementation instantiates with its arrangements:
//
//   class Arrangement {  // default-constructible; set up and torn down by the fixture
//       WindowThread& Window();
//       std::thread::id WindowThreadId() const;  // the thread that serves the calls
//   };
//
// Either the window thread is a thread of its own that serves in its idle loop (Run(), a message
// loop) and the test thread is just another thread, or the test thread is the window thread and
// serves only while it waits in ServeUntil. The tests are written for both: the test thread
// waits with Window().ServeUntilTrue (serving when it is the window thread, only waiting when it
// is not) and reaches the window thread with Window().Call (a hand-over, or a call in place).
//
//   using Arrangements = ::testing::Types<EventLoopInRun, EventLoopAdopted>;
//   INSTANTIATE_TYPED_TEST_SUITE_P(EventLoop, WindowThreadContract, Arrangements);
//
// (Arrangements at namespace scope, named for their implementation: ctest names each test after
// its type, e.g. EventLoop.HandOverRunsOnTheWindowThreadAndReturnsAfterTheCall<EventLoopInRun>.)
#pragma once
#include "core/window_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace window_thread_suite {

using namespace std::chrono_literals;

// A count that other threads wait on, with a deadline.
class Tally {
public:
    void Add() {
        {
            std::lock_guard<std::mutex> g(m_lock);
            ++m_count;
        }
        m_cond.notify_all();
    }
    bool WaitAtLeast(int n, std::chrono::milliseconds limit = 10000ms) {
        std::unique_lock<std::mutex> g(m_lock);
        return m_cond.wait_for(g, limit, [&] { return m_count >= n; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cond;
    int m_count = 0;
};

// Ends the test program when a test is stuck: a lost wake-up or a deadlock in the window thread
// would otherwise leave the test waiting until the runner's time-out, saying nothing.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit) {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "?";
        m_thread = std::thread([this, limit, name] {
            std::unique_lock<std::mutex> g(m_lock);
            if (m_cond.wait_for(g, limit, [&] { return m_done; })) return;
            std::fprintf(stderr, "%s: stuck for %lld s (deadlock or lost wake-up)\n", name.c_str(),
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::abort();
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_done = true;
        }
        m_cond.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cond;
    bool m_done = false;
    std::thread m_thread;
};

template <class A> class WindowThreadContract : public ::testing::Test {
protected:
    Watchdog m_watchdog{60s};  // declared first: it also watches the arrangement's teardown
    A m_arrangement;

    WindowThread& Window() { return m_arrangement.Window(); }
    std::thread::id WindowId() const { return m_arrangement.WindowThreadId(); }
};

TYPED_TEST_SUITE_P(WindowThreadContract);

TYPED_TEST_P(WindowThreadContract, HandOverRunsOnTheWindowThreadAndReturnsAfterTheCall) {
    WindowThread& w = this->Window();
    const std::thread::id windowId = this->WindowId();
    EXPECT_EQ(w.IsCurrent(), std::this_thread::get_id() == windowId);

    // Every call, however idle the window thread is when it comes, runs there and not on its
    // sender; Send returns only after the call has.
    std::atomic<int> astray{0}, early{0}, finished{0};
    auto sender = [&] {
        EXPECT_FALSE(w.IsCurrent());
        for (int i = 0; i < 200; ++i) {
            std::thread::id ranOn;
            bool current = false, done = false;  // read without a lock once Send has returned
            w.Call([&] {
                ranOn = std::this_thread::get_id();
                current = w.IsCurrent();
                done = true;
            });
            if (!done) ++early;
            if (ranOn != windowId || !current) ++astray;
        }
        ++finished;
        w.Wake();
    };
    std::thread a(sender), b(sender);
    w.ServeUntilTrue([&] { return finished.load() == 2; });
    a.join();
    b.join();
    EXPECT_EQ(early.load(), 0);
    EXPECT_EQ(astray.load(), 0);
}

TYPED_TEST_P(WindowThreadContract, OnTheWindowThreadSendRunsAtOnceEvenInsideACall) {
    WindowThread& w = this->Window();
    const std::thread::id windowId = this->WindowId();
    bool outerRan = false;
    w.Call([&] {
        EXPECT_EQ(std::this_thread::get_id(), windowId);
        // Queued behind the running call it would never run: it runs at once, in this call.
        bool innerRan = false;
        w.Call([&] {
            EXPECT_EQ(std::this_thread::get_id(), windowId);
            innerRan = true;
        });
        EXPECT_TRUE(innerRan);
        outerRan = true;
    });
    EXPECT_TRUE(outerRan);
}

TYPED_TEST_P(WindowThreadContract, CallsFromSeveralThreadsRunOneAtATimeInEachSendersOrder) {
    WindowThread& w = this->Window();
    const std::thread::id windowId = this->WindowId();
    constexpr int kSenders = 4, kCalls = 300;
    std::vector<std::pair<int, int>> ran;  // (sender, call), touched only on the window thread
    ran.reserve(kSenders * kCalls);
    std::atomic<int> inside{0}, overlaps{0}, astray{0}, finished{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s)
        senders.emplace_back([&, s] {
            for (int i = 0; i < kCalls; ++i)
                w.Call([&, i] {
                    if (inside.fetch_add(1) != 0) ++overlaps;
                    if (std::this_thread::get_id() != windowId) ++astray;
                    ran.emplace_back(s, i);
                    inside.fetch_sub(1);
                });
            ++finished;
            w.Wake();
        });
    w.ServeUntilTrue([&] { return finished.load() == kSenders; });
    for (auto& t : senders) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(astray.load(), 0);
    ASSERT_EQ(ran.size(), static_cast<size_t>(kSenders * kCalls));
    std::vector<int> next(kSenders, 0);
    for (const auto& [s, i] : ran) EXPECT_EQ(i, next[s]++) << "sender " << s;
}

TYPED_TEST_P(WindowThreadContract, ServeUntilOnTheWindowThreadServesHandOversAndLooksAgainOnWake) {
    WindowThread& w = this->Window();
    const std::thread::id windowId = this->WindowId();
    w.Call([&] {
        ASSERT_TRUE(w.IsCurrent());
        // A worker that hands a call over before it ends (the relay's receive worker, the serial
        // watcher): without serving, the waiter and the worker would wait for each other.
        std::atomic<bool> workerDone{false};
        bool servedHere = false;
        std::thread worker([&] {
            w.Call([&] { servedHere = std::this_thread::get_id() == windowId; });
            workerDone = true;
            w.Wake();
        });
        w.ServeUntilTrue([&] { return workerDone.load(); });
        worker.join();
        EXPECT_TRUE(servedHere);

        // Nothing handed over: once the waiter has found the predicate false, only Wake makes
        // it look again.
        Tally looked;
        std::atomic<bool> ready{false};
        std::thread waker([&] {
            EXPECT_TRUE(looked.WaitAtLeast(1));
            ready = true;
            w.Wake();
        });
        w.ServeUntilTrue([&] {
            looked.Add();
            return ready.load();
        });
        waker.join();

        // A wake-up that comes just as the waiter goes to sleep is not lost either.
        for (int round = 0; round < 100; ++round) {
            std::atomic<bool> set{false};
            std::thread quick([&] {
                set = true;
                w.Wake();
            });
            w.ServeUntilTrue([&] { return set.load(); });
            quick.join();
        }
    });
}

TYPED_TEST_P(WindowThreadContract, ServeUntilOffTheWindowThreadOnlyWaitsAndEveryWaiterSeesAWake) {
    WindowThread& w = this->Window();
    const std::thread::id windowId = this->WindowId();
    // Two waiters that are not the window thread: a call handed over meanwhile is not theirs to
    // run, and the one Wake that makes their predicates true reaches both.
    Tally looked, returned, sent;
    std::atomic<bool> go{false}, callRan{false};
    auto waiter = [&] {
        EXPECT_FALSE(w.IsCurrent());
        bool first = true;
        w.ServeUntilTrue([&] {
            if (first) looked.Add();
            first = false;
            return go.load();
        });
        returned.Add();
    };
    std::thread w1(waiter), w2(waiter);
    std::thread::id ranOn;
    std::thread sender([&] {
        EXPECT_TRUE(looked.WaitAtLeast(2));  // both are waiting
        w.Call([&] {
            ranOn = std::this_thread::get_id();
            callRan = true;
        });
        sent.Add();
    });
    // The window thread serves the call (when it is the test thread, the call's own effect ends
    // the wait: no Wake is involved).
    if (w.IsCurrent()) w.ServeUntilTrue([&] { return callRan.load(); });
    EXPECT_TRUE(sent.WaitAtLeast(1));

    go = true;
    w.Wake();
    const bool bothReturned = returned.WaitAtLeast(2);
    EXPECT_TRUE(bothReturned) << "a waiter missed the Wake";
    if (!bothReturned) {
        w.Wake();  // let the other one go, so that the test can end
        w.Wake();
    }
    w1.join();
    w2.join();
    sender.join();
    EXPECT_EQ(ranOn, windowId);
}

TYPED_TEST_P(WindowThreadContract, HandOverDuringANestedServeUntilRunsInsideTheWaitingCall) {
    WindowThread& w = this->Window();
    const std::thread::id windowId = this->WindowId();
    // The window thread waits (ServeUntil) for worker A, whose call waits in turn for worker B
    // (a connection closed from a handler): B's hand-over is served by the inner wait, inside
    // A's call, and A's Send returns only after that.
    std::vector<std::string> order;  // touched only on the window thread
    std::atomic<int> astray{0};
    auto note = [&](const char* what) {
        if (std::this_thread::get_id() != windowId) ++astray;
        order.push_back(what);
    };
    w.Call([&] {
        std::atomic<bool> aDone{false}, bDone{false};
        std::thread b;
        std::thread a([&] {
            w.Call([&] {
                note("A begins");
                b = std::thread([&] {
                    w.Call([&] { note("B"); });
                    bDone = true;
                    w.Wake();
                });
                w.ServeUntilTrue([&] { return bDone.load(); });
                note("A ends");
            });
            aDone = true;
            w.Wake();
        });
        w.ServeUntilTrue([&] { return aDone.load(); });
        a.join();
        b.join();
        note("window thread");
    });
    EXPECT_EQ(astray.load(), 0);
    EXPECT_EQ(order, (std::vector<std::string>{"A begins", "B", "A ends", "window thread"}));
}

REGISTER_TYPED_TEST_SUITE_P(WindowThreadContract,
                            HandOverRunsOnTheWindowThreadAndReturnsAfterTheCall,
                            OnTheWindowThreadSendRunsAtOnceEvenInsideACall,
                            CallsFromSeveralThreadsRunOneAtATimeInEachSendersOrder,
                            ServeUntilOnTheWindowThreadServesHandOversAndLooksAgainOnWake,
                            ServeUntilOffTheWindowThreadOnlyWaitsAndEveryWaiterSeesAWake,
                            HandOverDuringANestedServeUntilRunsInsideTheWaitingCall);

}  // namespace window_thread_suite
