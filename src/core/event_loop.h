// A window thread made of standard C++: the thread that calls Run() serves handed-over calls
// until Quit(). The Linux program runs it on its main thread; tests run it on either platform.
//
// While the loop thread waits in Run() with nothing queued, a sender runs its call itself, as the
// window thread for that call's duration: the loop thread stays asleep until it has returned.
// Calls still run one at a time and in the order they were sent, IsCurrent() is true inside them
// and Send returns after its call has; what is saved is waking one thread and then the other
// again (a burst from the terminal goes to the server from the serial watcher's own thread).
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
    std::condition_variable m_cond;  // the window thread waits here
    CallQueue m_calls;
    bool m_quit = false;
    bool m_parked = false;  // the loop thread waits in Run() with nothing queued
    unsigned long m_wakeups = 0;
    std::thread::id m_owner;
    std::thread::id m_borrower;  // a sender running its call as the window thread; none: id()
};
