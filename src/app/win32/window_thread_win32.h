// The window-thread seam on Windows: a hidden message-only window on the program's main thread;
// other threads hand a call over with SendMessageW and wait until it has returned.
#pragma once
#include "core/window_thread.h"

#include <windows.h>

class CWindowThread final : public WindowThread {
public:
    CWindowThread();
    ~CWindowThread() override;
    CWindowThread(const CWindowThread&) = delete;
    CWindowThread& operator=(const CWindowThread&) = delete;

    // On the thread that is to serve the calls: makes the hidden window. False on failure.
    bool Create();
    void Destroy();
    HWND Window() const { return m_hWnd; }

    void Send(Fn fn, void* ctx) override;
    bool IsCurrent() const override;
    void ServeUntil(Pred done, void* ctx) override;
    void Wake() override;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

    HWND m_hWnd = nullptr;
    DWORD m_threadId = 0;
    HANDLE m_hWake;  // auto-reset: set by Wake, re-checks the waiter's predicate
};
