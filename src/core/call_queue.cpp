#include "core/call_queue.h"

bool CallQueue::Push(Node& node) {
    const bool wasEmpty = m_head == nullptr;
    if (m_tail) m_tail->next = &node; else m_head = &node;
    m_tail = &node;
    return wasEmpty;
}

void CallQueue::Finish(std::unique_lock<std::mutex>& lock, Node* n) {
    n->done = true;
    lock.unlock();
    m_doneCond.notify_all();
    lock.lock();
}

void CallQueue::RunAll(std::unique_lock<std::mutex>& lock) {
    while (Node* n = m_head) {
        m_head = n->next;
        if (!m_head) m_tail = nullptr;
        lock.unlock();
        n->fn(n->ctx);
        lock.lock();
        Finish(lock, n);
    }
}

void CallQueue::WaitDone(std::unique_lock<std::mutex>& lock, const Node& node) {
    m_doneCond.wait(lock, [&] { return node.done; });
}

void CallQueue::ReleaseAll(std::unique_lock<std::mutex>& lock) {
    while (Node* n = m_head) {
        m_head = n->next;
        if (!m_head) m_tail = nullptr;
        Finish(lock, n);
    }
}
