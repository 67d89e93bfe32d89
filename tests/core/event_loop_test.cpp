// The window thread made of standard C++: the window-thread suite with the loop run on a thread
// of its own and with the test thread adopted as the window thread; and the end of the loop.
#include "core/event_loop.h"
#include "support/window_thread_suite.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

using namespace std::chrono_literals;

// The Linux program's arrangement: the loop runs on a thread of its own until it quits.
class EventLoopInRun {
public:
    EventLoopInRun() : m_thread([this] { m_loop.Run(); }) {}
    ~EventLoopInRun() {
        m_loop.Quit();
        m_thread.join();
    }
    WindowThread& Window() { return m_loop; }
    std::thread::id WindowThreadId() const { return m_thread.get_id(); }

private:
    EventLoop m_loop;
    std::thread m_thread;
};

// The test thread is the window thread and serves only while it waits (start-up, shutdown).
class EventLoopAdopted {
public:
    EventLoopAdopted() { m_loop.Adopt(); }
    WindowThread& Window() { return m_loop; }
    std::thread::id WindowThreadId() const { return m_id; }

private:
    EventLoop m_loop;
    std::thread::id m_id = std::this_thread::get_id();
};

namespace window_thread_suite {
using EventLoopArrangements = ::testing::Types<EventLoopInRun, EventLoopAdopted>;
INSTANTIATE_TYPED_TEST_SUITE_P(EventLoop, WindowThreadContract, EventLoopArrangements);
}  // namespace window_thread_suite

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
