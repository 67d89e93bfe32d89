// A window thread made of standard C++: the thread that calls Run() serves handed-over calls
// until Quit(). The Linux program runs it on its main thread; tests run it on either platform.
//
// A call from another thread always runs on the loop thread (or on the window thread while it
// waits in ServeUntil), never on its sender: the same schedule as the Windows window thread.
// Calls run one at a time, in the order they were queued; Send returns after its call has. The
// sender's node lives on its own stack, so a hand-over allocates nothing.
#pragma once
#include "core/call_queue.h"
#include "core/window_thread.h"

#include <condition_variable>
#include <mutex>
#include <thread>

class EventLoop final : public WindowThread {
public:
    EventLoop() = default;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Serves calls on the calling thread until Quit(); returns at once if Quit() came first.
    // Calls queued before the quit still run.
    void Run();
    // Ends Run() from any thread (a signal-handling thread included).
    void Quit();
    // Marks the calling thread as the window thread without running the loop (tests, start-up).
    void Adopt();

    void Send(Fn fn, void* ctx) override;
    bool IsCurrent() const override;
    void ServeUntil(Pred done, void* ctx) override;
    void Wake() override;

private:
    mutable std::mutex m_lock;
    std::condition_variable m_cond;  // the window thread and off-thread ServeUntil wait here
    CallQueue m_calls;
    bool m_quit = false;
    unsigned long m_wakeups = 0;
    std::thread::id m_owner;
};
