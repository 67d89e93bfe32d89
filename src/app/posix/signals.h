// SIGINT and SIGTERM end the headless gateway: they are blocked in every thread and taken by
// one thread with sigwait, which asks the window thread's loop to quit.
#pragma once
#include <atomic>
#include <thread>

class EventLoop;

// Blocks SIGINT and SIGTERM in the calling thread (and so in every thread it starts later) and
// ignores SIGPIPE (a closed standard output or socket must not end the program).
void BlockTerminationSignals();

class SignalWatcher {
public:
    SignalWatcher() = default;
    ~SignalWatcher() { Stop(); }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    void Start(EventLoop* loop);
    // Ends the watcher thread (waking it if no signal came) and joins it.
    void Stop();
    int Signal() const { return m_signal.load(); }  // the signal that came, 0 if none

private:
    std::thread m_thread;
    std::atomic<int> m_signal{0};
    std::atomic<bool> m_stopping{false};
};
