// What the serial tests and the serial fuzz target share on both platforms: a window thread that
// tells when a watcher is waiting in its hand-over, and a sink that records every burst and loss
// with its arrival time.
#pragma once
#include "core/event_loop.h"
#include "serial/com.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline long long MsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration_cast<milliseconds>(b - a).count();
}

// The standard event loop, counting the hand-overs that other threads are waiting in.
class ProbeWindow final : public WindowThread {
public:
    void Send(Fn fn, void* ctx) override {
        const bool foreign = !m_loop.IsCurrent();
        if (foreign) {
            std::lock_guard<std::mutex> g(m_lock);
            ++m_waiting;
            m_cond.notify_all();
        }
        m_loop.Send(fn, ctx);
        if (foreign) {
            std::lock_guard<std::mutex> g(m_lock);
            --m_waiting;
        }
    }
    bool IsCurrent() const override { return m_loop.IsCurrent(); }
    void ServeUntil(Pred done, void* ctx) override { m_loop.ServeUntil(done, ctx); }
    void Wake() override { m_loop.Wake(); }

    // Runs the loop on a thread of its own (the usual arrangement in these tests).
    void Start() {
        m_thread = std::thread([this] { m_loop.Run(); });
    }
    void Stop() {
        m_loop.Quit();
        if (m_thread.joinable()) m_thread.join();
    }
    // Makes the calling thread the window thread without serving anything until it waits.
    void Adopt() { m_loop.Adopt(); }

    bool WaitForWaitingSender(milliseconds limit) {
        std::unique_lock<std::mutex> g(m_lock);
        return m_cond.wait_for(g, limit, [&] { return m_waiting > 0; });
    }

private:
    EventLoop m_loop;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_cond;
    int m_waiting = 0;
};

class BurstRecorder final : public TerminalSink {
public:
    struct Frame {
        std::string bytes;
        Clock::time_point at;
        bool onWindowThread;
    };

    explicit BurstRecorder(WindowThread* window) : m_window(window) {}

    void OnTerminalFrame(const unsigned char* bytes, unsigned n) override {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_frames.push_back({std::string(reinterpret_cast<const char*>(bytes), n), Clock::now(),
                                m_window->IsCurrent()});
        }
        m_cond.notify_all();
        if (const auto hook = Hook(m_onFrame)) hook();
    }
    void OnPortLost(const char* portName) override {
        {
            std::lock_guard<std::mutex> g(m_lock);
            ++m_lost;
            m_lostName = portName;
            m_lostOnWindowThread = m_window->IsCurrent();
        }
        m_cond.notify_all();
        if (const auto hook = Hook(m_onLost)) hook();
    }

    bool WaitFrames(size_t count, milliseconds limit = milliseconds(5000)) {
        std::unique_lock<std::mutex> g(m_lock);
        return m_cond.wait_for(g, limit, [&] { return m_frames.size() >= count; });
    }
    // Waits until the bursts add up to total bytes.
    bool WaitBytes(size_t total, milliseconds limit = milliseconds(5000)) {
        std::unique_lock<std::mutex> g(m_lock);
        return m_cond.wait_for(g, limit, [&] { return BytesLocked() >= total; });
    }
    bool WaitLost(milliseconds limit = milliseconds(5000)) {
        std::unique_lock<std::mutex> g(m_lock);
        return m_cond.wait_for(g, limit, [&] { return m_lost > 0; });
    }

    // Forgets what was recorded (a fuzzer reuses one recorder for every input).
    void Clear() {
        std::lock_guard<std::mutex> g(m_lock);
        m_frames.clear();
        m_lost = 0;
    }

    std::vector<Frame> Frames() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_frames;
    }
    size_t FrameCount() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_frames.size();
    }
    int LostCount() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_lost;
    }
    std::string LostName() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_lostName;
    }
    bool LostOnWindowThread() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_lostOnWindowThread;
    }

    // Extra work on the window thread after a burst or a loss was recorded. Set under the lock:
    // the bytes that trigger it travel through the kernel, which race checkers cannot see.
    void OnFrame(std::function<void()> f) {
        std::lock_guard<std::mutex> g(m_lock);
        m_onFrame = std::move(f);
    }
    void OnLost(std::function<void()> f) {
        std::lock_guard<std::mutex> g(m_lock);
        m_onLost = std::move(f);
    }

private:
    std::function<void()> Hook(const std::function<void()>& f) {
        std::lock_guard<std::mutex> g(m_lock);
        return f;
    }

    size_t BytesLocked() const {
        size_t n = 0;
        for (const Frame& f : m_frames) n += f.bytes.size();
        return n;
    }

    WindowThread* m_window;
    std::mutex m_lock;
    std::condition_variable m_cond;
    std::vector<Frame> m_frames;
    int m_lost = 0;
    std::string m_lostName;
    bool m_lostOnWindowThread = false;
    std::function<void()> m_onFrame;
    std::function<void()> m_onLost;
};
