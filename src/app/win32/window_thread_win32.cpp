// CWindowThread: calls queue under a lock; a posted WM_APP (no parameters) or the queue's event
// makes the window thread run them. ServeUntil waits with MsgWaitForMultipleObjects and serves
// the queue and the messages sent to this thread while it waits; on another thread it only waits
// for Wake.
#include "app/win32/window_thread_win32.h"

#include "app/win32/dialog.h"

#include <algorithm>
#include <vector>

namespace {
const wchar_t kClassName[] = L"Brisca.WindowThread";
constexpr UINT WM_WINDOW_THREAD_CALL = WM_APP + 1;

// The live objects, found from their window by the window procedure. Kept in this process's
// memory, not in the window (whose data another process may be able to set).
std::mutex g_liveLock;
std::vector<CWindowThread*> g_live;
}  // namespace

CWindowThread::CWindowThread()
    : m_hWake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_hQueued(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CWindowThread::~CWindowThread() {
    Destroy();
    if (m_hWake) CloseHandle(m_hWake);
    if (m_hQueued) CloseHandle(m_hQueued);
}

bool CWindowThread::Create() {
    if (m_hWnd) return true;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = CDialog::Instance();
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);  // fails harmlessly when already registered
    HWND hwnd = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                CDialog::Instance(), nullptr);
    if (!hwnd) return false;
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_hWnd = hwnd;
        m_threadId = GetCurrentThreadId();
        m_open = true;
    }
    std::lock_guard<std::mutex> live(g_liveLock);
    g_live.push_back(this);
    return true;
}

void CWindowThread::Destroy() {
    if (!m_hWnd) return;
    {
        std::lock_guard<std::mutex> live(g_liveLock);
        g_live.erase(std::remove(g_live.begin(), g_live.end(), this), g_live.end());
    }
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_open = false;
    }
    if (IsCurrent()) {
        // Calls queued before the close still run: their callers are waiting for them.
        RunQueued();
        DestroyWindow(m_hWnd);
    } else {
        // Not the window thread (nothing serves the queue any more): release the callers.
        std::unique_lock<std::mutex> lock(m_lock);
        m_calls.ReleaseAll(lock);
    }
    std::lock_guard<std::mutex> g(m_lock);
    m_hWnd = nullptr;
}

bool CWindowThread::IsCurrent() const { return m_threadId != 0 && GetCurrentThreadId() == m_threadId; }

void CWindowThread::Send(Fn fn, void* ctx) {
    if (IsCurrent()) {
        fn(ctx);
        return;
    }
    CallQueue::Node node{fn, ctx};  // lives on this stack until the window thread is done with it
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_open) return;
    const bool wasEmpty = m_calls.Push(node);
    const HWND hwnd = m_hWnd;
    lock.unlock();
    if (wasEmpty) {
        // One wake-up per batch: the window thread runs the whole queue for it. The message wakes
        // a message loop (the program's or a modal one), the event a window thread in ServeUntil.
        PostMessageW(hwnd, WM_WINDOW_THREAD_CALL, 0, 0);
        SetEvent(m_hQueued);
    }
    lock.lock();
    m_calls.WaitDone(lock, node);
}

void CWindowThread::RunQueued() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_calls.RunAll(lock);
}

void CWindowThread::ServeUntil(Pred done, void* ctx) {
    if (!IsCurrent()) {
        // Every waiter sees every Wake: each compares the count with the one it last saw.
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            const unsigned long seen = m_wakeups;
            lock.unlock();
            if (done(ctx)) return;
            lock.lock();
            m_wakeCond.wait(lock, [&] { return m_wakeups != seen; });
        }
    }
    const HANDLE events[2] = {m_hWake, m_hQueued};
    for (;;) {
        RunQueued();
        if (done(ctx)) return;
        const DWORD r = MsgWaitForMultipleObjects(2, events, FALSE, INFINITE, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0 + 2) {
            // Serves every message sent to this thread; nothing is taken off the queue.
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        } else if (r == WAIT_FAILED) {
            return;
        }
    }
}

void CWindowThread::Wake() {
    {
        std::lock_guard<std::mutex> g(m_lock);
        ++m_wakeups;
    }
    m_wakeCond.notify_all();
    SetEvent(m_hWake);
}

LRESULT CALLBACK CWindowThread::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_WINDOW_THREAD_CALL) {
        // Whoever posted it, the message only says "look at the queue"; its parameters are unused.
        CWindowThread* self = nullptr;
        {
            std::lock_guard<std::mutex> live(g_liveLock);
            for (CWindowThread* t : g_live)
                if (t->m_hWnd == hwnd) self = t;
        }
        if (self && self->IsCurrent()) self->RunQueued();
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}
