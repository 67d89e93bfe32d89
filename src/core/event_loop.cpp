#include "core/event_loop.h"

void EventLoop::Adopt() {
    std::lock_guard<std::mutex> g(m_lock);
    m_owner = std::this_thread::get_id();
}

bool EventLoop::IsCurrent() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_owner == std::this_thread::get_id();
}

void EventLoop::RunQueued(std::unique_lock<std::mutex>& lock) {
    while (Node* n = m_head) {
        m_head = n->next;
        if (!m_head) m_tail = nullptr;
        lock.unlock();
        n->fn(n->ctx);
        lock.lock();
        n->done = true;
        // Wake the sender without holding the lock it is about to take; the node is not
        // touched again (it lives on the sender's stack).
        lock.unlock();
        m_doneCond.notify_all();
        lock.lock();
    }
}

void EventLoop::Run() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_owner = std::this_thread::get_id();
    for (;;) {
        RunQueued(lock);
        if (m_quit) break;
        m_cond.wait(lock, [&] { return m_head != nullptr || m_quit; });
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
    Node node{fn, ctx, nullptr, false};  // lives on the sender's stack until it is done
    if (m_tail) m_tail->next = &node; else m_head = &node;
    m_tail = &node;
    lock.unlock();
    m_cond.notify_all();
    lock.lock();
    m_doneCond.wait(lock, [&] { return node.done; });
}

void EventLoop::ServeUntil(Pred done, void* ctx) {
    std::unique_lock<std::mutex> lock(m_lock);
    const bool serving = m_owner == std::this_thread::get_id();
    for (;;) {
        if (serving) RunQueued(lock);
        const unsigned long seen = m_wakeups;
        lock.unlock();
        if (done(ctx)) return;
        lock.lock();
        if (serving)
            m_cond.wait(lock, [&] { return m_head != nullptr || m_wakeups != seen; });
        else
            m_cond.wait(lock, [&] { return m_wakeups != seen; });
    }
}

void EventLoop::Wake() {
    std::lock_guard<std::mutex> g(m_lock);
    ++m_wakeups;
    m_cond.notify_all();
}
