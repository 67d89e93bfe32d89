// The calls other threads hand to a window thread: each node lives on its sender's stack, and
// the sender waits until the window thread has run it. The owner's lock guards the queue; every
// member is called with it held.
#pragma once
#include "core/window_thread.h"

#include <condition_variable>
#include <mutex>

class CallQueue {
public:
    struct Node {
        WindowThread::Fn fn;
        void* ctx;
        Node* next = nullptr;
        bool done = false;
    };

    bool Empty() const { return m_head == nullptr; }
    // Appends node; true when the queue was empty before.
    bool Push(Node& node);
    // Runs every queued call in order, the lock released while each runs.
    void RunAll(std::unique_lock<std::mutex>& lock);
    // Waits until node has run (or was released).
    void WaitDone(std::unique_lock<std::mutex>& lock, const Node& node);
    // Releases every waiting sender without running its call (nothing serves the queue any more).
    void ReleaseAll(std::unique_lock<std::mutex>& lock);

private:
    // Marks n done and wakes its sender; the node is not touched again (its sender may return
    // at once). Wakes without the lock, which the sender is about to take.
    void Finish(std::unique_lock<std::mutex>& lock, Node* n);

    Node* m_head = nullptr;
    Node* m_tail = nullptr;
    std::condition_variable m_doneCond;  // senders wait here
};
