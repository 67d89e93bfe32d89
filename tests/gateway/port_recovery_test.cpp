// The port's retry timer: tries on the window thread once an interval until one succeeds, keeps
// going when the port is lost again during a try, and stops without waiting for a try that the
// window thread would have to run.
#include "gateway/port_recovery.h"
#include "core/event_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct Tries {
    EventLoop* loop = nullptr;
    PortRecovery* recovery = nullptr;
    int succeedOn = 3;       // the try that reopens the port
    int loseAgainOn = 0;     // the try after which the port is lost again at once
    int count = 0;
    bool onWindow = true;
    std::mutex lock;
    std::condition_variable changed;

    static bool Try(void* self) {
        auto* t = static_cast<Tries*>(self);
        std::lock_guard<std::mutex> g(t->lock);
        t->onWindow = t->onWindow && t->loop->IsCurrent();
        ++t->count;
        if (t->count == t->loseAgainOn) t->recovery->Start();  // as the lost port reports it
        t->changed.notify_all();
        return t->count >= t->succeedOn;
    }
    bool WaitCount(int n) {
        std::unique_lock<std::mutex> l(lock);
        return changed.wait_for(l, 10s, [&] { return count >= n; });
    }
};

class RunningLoop {
public:
    RunningLoop() : m_thread([this] { loop.Run(); }) {}
    ~RunningLoop() {
        loop.Quit();
        m_thread.join();
    }
    EventLoop loop;

private:
    std::thread m_thread;
};

TEST(PortRecovery, TriesOnTheWindowThreadUntilThePortIsBack) {
    RunningLoop w;
    Tries tries;
    PortRecovery recovery(&w.loop, &Tries::Try, &tries, 10ms);
    tries.loop = &w.loop;
    tries.recovery = &recovery;
    EXPECT_FALSE(recovery.Retrying());
    recovery.Start();
    recovery.Start();  // a second loss report while retrying changes nothing
    ASSERT_TRUE(tries.WaitCount(3));
    // The third try reopened the port: no fourth comes. Not a synchronisation: ten retry
    // intervals in which nothing may happen.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recovery.Attempts(), 3u);
    EXPECT_FALSE(recovery.Retrying());
    EXPECT_TRUE(tries.onWindow);

    // Lost again later: it starts over.
    tries.succeedOn = 4;
    recovery.Start();
    ASSERT_TRUE(tries.WaitCount(4));
    recovery.Stop();
    EXPECT_EQ(recovery.Attempts(), 4u);
}

TEST(PortRecovery, APortLostAgainDuringASuccessfulTryIsRetried) {
    RunningLoop w;
    Tries tries;
    PortRecovery recovery(&w.loop, &Tries::Try, &tries, 10ms);
    tries.loop = &w.loop;
    tries.recovery = &recovery;
    tries.succeedOn = 1;
    tries.loseAgainOn = 1;  // reopened, and at once reported lost again
    recovery.Start();
    ASSERT_TRUE(tries.WaitCount(2));
    recovery.Stop();
}

TEST(PortRecovery, StopsOnTheWindowThreadWhileATryWaitsForIt) {
    RunningLoop w;
    Tries tries;
    tries.succeedOn = 1 << 30;  // the device never comes back
    PortRecovery recovery(&w.loop, &Tries::Try, &tries, 1ms);
    tries.loop = &w.loop;
    tries.recovery = &recovery;
    recovery.Start();
    ASSERT_TRUE(tries.WaitCount(5));
    // Stop runs where the program runs it: on the window thread, which the next try needs.
    w.loop.Call([&] { recovery.Stop(); });
    const int after = tries.count;
    std::this_thread::sleep_for(30ms);  // thirty retry intervals in which no try may come
    EXPECT_EQ(tries.count, after);
    EXPECT_FALSE(recovery.Retrying());
}

}  // namespace
