// The window-thread seam on Windows: a hidden message-only window on the program's main thread.
// Another thread's call waits in an in-process queue (its node on the caller's stack) and a
// message without parameters wakes the window thread to run the queue; the caller waits until
// its call has returned. No message carries a pointer, so no other process can make this one
// run something of its choosing.
#pragma once
#include "core/call_queue.h"
#include "core/window_thread.h"

#include <windows.h>

#include <condition_variable>
#include <mutex>

class CWindowThread final : public WindowThread {
public:
    CWindowThread();
    ~CWindowThread() override;
    CWindowThread(const CWindowThread&) = delete;
    CWindowThread& operator=(const CWindowThread&) = delete;

    // On the thread that is to serve the calls: makes the hidden window. False on failure.
    bool Create();
    // Runs what is queued, then refuses further calls (they return without running).
    void Destroy();
    HWND Window() const { return m_hWnd; }

    void Send(Fn fn, void* ctx) override;
    bool IsCurrent() const override;
    void ServeUntil(Pred done, void* ctx) override;
    void Wake() override;

private:
    // On the window thread: runs every queued call, in order.
    void RunQueued();
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

    HWND m_hWnd = nullptr;
    DWORD m_threadId = 0;
    // Auto-reset, each waited on by the window thread alone (another waiter could take its
    // wake-up): set by Wake, and when a call is queued.
    HANDLE m_hWake;
    HANDLE m_hQueued;

    std::mutex m_lock;  // guards the queue, m_open and m_wakeups
    CallQueue m_calls;
    bool m_open = false;  // between Create and Destroy
    unsigned long m_wakeups = 0;          // Wake calls so far
    std::condition_variable m_wakeCond;  // other threads in ServeUntil wait here
};
