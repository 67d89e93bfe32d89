#include "core/event_loop.h"

void EventLoop::Adopt() {
    std::lock_guard<std::mutex> g(m_lock);
    m_owner = std::this_thread::get_id();
}

bool EventLoop::IsCurrent() const {
    std::lock_guard<std::mutex> g(m_lock);
    const std::thread::id me = std::this_thread::get_id();
    return m_owner == me || m_borrower == me;
}

void EventLoop::Run() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_owner = std::this_thread::get_id();
    for (;;) {
        m_calls.RunAll(lock);
        if (m_quit) break;
        // A sender running its call meanwhile keeps this thread asleep until it has returned,
        // the quit included: nothing of the window thread's runs after Run() has returned.
        m_parked = true;
        m_cond.wait(lock, [&] {
            return m_borrower == std::thread::id() && (!m_calls.Empty() || m_quit);
        });
        m_parked = false;
    }
}

void EventLoop::Quit() {
    std::lock_guard<std::mutex> g(m_lock);
    m_quit = true;
    m_cond.notify_all();
}

void EventLoop::Send(Fn fn, void* ctx) {
    std::unique_lock<std::mutex> lock(m_lock);
    const std::thread::id me = std::this_thread::get_id();
    if (m_owner == me || m_borrower == me) {
        lock.unlock();
        fn(ctx);
        return;
    }
    if (m_parked && m_borrower == std::thread::id() && m_calls.Empty() && !m_quit) {
        m_borrower = me;
        lock.unlock();
        fn(ctx);
        lock.lock();
        m_borrower = std::thread::id();
        // Calls queued meanwhile (and a quit) are the loop thread's again.
        const bool pending = !m_calls.Empty() || m_quit;
        lock.unlock();
        if (pending) m_cond.notify_all();
        return;
    }
    CallQueue::Node node{fn, ctx};  // lives on the sender's stack until it is done
    m_calls.Push(node);
    lock.unlock();
    m_cond.notify_all();
    lock.lock();
    m_calls.WaitDone(lock, node);
}

void EventLoop::ServeUntil(Pred done, void* ctx) {
    std::unique_lock<std::mutex> lock(m_lock);
    const bool serving =
        m_owner == std::this_thread::get_id() || m_borrower == std::this_thread::get_id();
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
