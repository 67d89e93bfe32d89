// CWindowThread: WM_APP carries (fn, ctx) to the hidden window; ServeUntil waits with
// MsgWaitForMultipleObjects and serves only sent messages while it waits.
#include "app/win32/window_thread_win32.h"

#include "app/win32/dialog.h"

namespace {
const wchar_t kClassName[] = L"Brisca.WindowThread";
constexpr UINT WM_WINDOW_THREAD_CALL = WM_APP + 1;
}  // namespace

CWindowThread::CWindowThread() : m_hWake(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CWindowThread::~CWindowThread() {
    Destroy();
    if (m_hWake) CloseHandle(m_hWake);
}

bool CWindowThread::Create() {
    if (m_hWnd) return true;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = CDialog::Instance();
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);  // fails harmlessly when already registered
    m_hWnd = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             CDialog::Instance(), nullptr);
    if (!m_hWnd) return false;
    m_threadId = GetCurrentThreadId();
    return true;
}

void CWindowThread::Destroy() {
    if (m_hWnd && IsCurrent()) DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
}

bool CWindowThread::IsCurrent() const { return m_threadId != 0 && GetCurrentThreadId() == m_threadId; }

void CWindowThread::Send(Fn fn, void* ctx) {
    if (IsCurrent()) {
        fn(ctx);
        return;
    }
    if (m_hWnd)
        SendMessageW(m_hWnd, WM_WINDOW_THREAD_CALL, reinterpret_cast<WPARAM>(fn),
                     reinterpret_cast<LPARAM>(ctx));
}

void CWindowThread::ServeUntil(Pred done, void* ctx) {
    if (!IsCurrent()) {
        while (!done(ctx)) WaitForSingleObject(m_hWake, INFINITE);
        return;
    }
    while (!done(ctx)) {
        DWORD r = MsgWaitForMultipleObjects(1, &m_hWake, FALSE, INFINITE, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0 + 1) {
            // Serves every message sent to this thread; nothing is taken off the queue.
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        } else if (r == WAIT_FAILED) {
            return;
        }
    }
}

void CWindowThread::Wake() { SetEvent(m_hWake); }

LRESULT CALLBACK CWindowThread::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_WINDOW_THREAD_CALL) {
        reinterpret_cast<WindowThread::Fn>(wp)(reinterpret_cast<void*>(lp));
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}
