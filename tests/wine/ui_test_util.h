// Helpers for tests against real windows under Wine: pumping the message queue until a condition
// holds (waiting on the queue, never sleeping) and a plain window that records what it receives.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Dispatches messages until done() is true or timeoutMs passed; returns done().
inline bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= end) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

// Dispatches what is queued now (posted messages and due timers), without waiting.
inline void PumpPending() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

inline std::wstring WindowText(HWND hwnd) {
    int len = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<std::size_t>(len) + 1, L'\0');
    int got = GetWindowTextW(hwnd, text.data(), len + 1);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

// A top-level window whose procedure records every message and answers WM_APP+1 with 1234.
struct RecordingWindow {
    struct Entry {
        UINT msg;
        WPARAM wp;
        LPARAM lp;
    };
    static std::vector<Entry>& Log() {
        static std::vector<Entry> log;
        return log;
    }
    static LRESULT CALLBACK Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
        Log().push_back({msg, wp, lp});
        if (msg == WM_APP + 1) return 1234;
        return DefWindowProcW(h, msg, wp, lp);
    }
    static HWND Create() {
        static bool registered = false;
        if (!registered) {
            WNDCLASSW wc{};
            wc.lpfnWndProc = Proc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"BriscaTest.Recording";
            RegisterClassW(&wc);
            registered = true;
        }
        return CreateWindowExW(0, L"BriscaTest.Recording", L"recording", WS_OVERLAPPEDWINDOW, 10, 10,
                               200, 100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    static int Count(UINT msg) {
        int n = 0;
        for (const Entry& e : Log()) n += (e.msg == msg);
        return n;
    }
    static bool HasCommand(WORD id) {
        for (const Entry& e : Log())
            if (e.msg == WM_COMMAND && LOWORD(e.wp) == id) return true;
        return false;
    }
};
