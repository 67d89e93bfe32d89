// Brings the terminal's serial port back after its device went away (a USB adapter pulled and
// plugged in again): a small thread asks the window thread to try the open once a second.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class WindowThread;

class PortRecovery {
public:
    // Runs on the window thread; true when the port is open again.
    using Attempt = bool (*)(void* ctx);

    PortRecovery(WindowThread* window, Attempt attempt, void* ctx,
                 std::chrono::milliseconds interval = std::chrono::seconds(1));
    ~PortRecovery();  // Stop()
    PortRecovery(const PortRecovery&) = delete;
    PortRecovery& operator=(const PortRecovery&) = delete;

    // The port is lost: try every interval until an attempt succeeds. Any thread; a second call
    // while retrying changes nothing. The thread is made on the first loss and then waits
    // without a time-out while there is nothing to retry.
    void Start();
    // The operator chose new settings: no further try of the lost port (window thread, so that
    // no try is running meanwhile). A later loss starts the retries again.
    void Cancel();
    // Ends the thread. On the window thread it serves the window thread meanwhile, so that a try
    // in flight can finish; no try starts once Stop has begun.
    void Stop();
    bool Retrying() const;
    unsigned Attempts() const { return m_attempts.load(); }

private:
    void Run();

    WindowThread* m_window;
    Attempt m_attempt;
    void* m_ctx;
    std::chrono::milliseconds m_interval;

    mutable std::mutex m_lock;
    std::condition_variable m_cond;
    bool m_retrying = false;
    unsigned m_losses = 0;  // Start calls so far
    bool m_quit = false;
    std::atomic<bool> m_done{false};
    std::atomic<unsigned> m_attempts{0};
    std::thread m_thread;
};
