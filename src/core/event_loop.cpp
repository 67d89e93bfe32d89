#include "core/event_loop.h"

void EventLoop::Adopt() {
    std::lock_guard<std::mutex> g(m_lock);
    m_owner = std::this_thread::get_id();
}

bool EventLoop::IsCurrent() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_owner == std::this_thread::get_id();
}

void EventLoop::Run() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_owner = std::this_thread::get_id();
    for (;;) {
        m_calls.RunAll(lock);
        if (m_quit) break;
        m_cond.wait(lock, [&] { return !m_calls.Empty() || m_quit; });
    }
}

void EventLoop::Quit() {
    std::lock_guard<std::mutex> g(m_lock);
    m_quit = true;
    m_cond.notify_all();
}

void EventLoop::Send(Fn fn, void* ctx) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_owner == std::this_thread::get_id()) {
        lock.unlock();
        fn(ctx);
        return;
    }
    CallQueue::Node node{fn, ctx};  // lives on the sender's stack until it is done
    // One wake-up per batch: the window thread runs the whole queue once it is up.
    const bool wasEmpty = m_calls.Push(node);
    lock.unlock();
    if (wasEmpty) m_cond.notify_all();
    lock.lock();
    m_calls.WaitDone(lock, node);
}

void EventLoop::ServeUntil(Pred done, void* ctx) {
    std::unique_lock<std::mutex> lock(m_lock);
    const bool serving = m_owner == std::this_thread::get_id();
    for (;;) {
        if (serving) m_calls.RunAll(lock);
        const unsigned long seen = m_wakeups;
        lock.unlock();
        if (done(ctx)) return;
        lock.lock();
        if (serving)
            m_cond.wait(lock, [&] { return !m_calls.Empty() || m_wakeups != seen; });
        else
            m_cond.wait(lock, [&] { return m_wakeups != seen; });
    }
}

void EventLoop::Wake() {
    std::lock_guard<std::mutex> g(m_lock);
    ++m_wakeups;
    m_cond.notify_all();
}
