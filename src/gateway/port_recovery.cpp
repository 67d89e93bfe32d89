#include "gateway/port_recovery.h"

#include "core/window_thread.h"

PortRecovery::PortRecovery(WindowThread* window, Attempt attempt, void* ctx,
                           std::chrono::milliseconds interval)
    : m_window(window), m_attempt(attempt), m_ctx(ctx), m_interval(interval) {}

PortRecovery::~PortRecovery() { Stop(); }

void PortRecovery::Start() {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_quit) return;
    ++m_losses;
    m_retrying = true;
    if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
    m_cond.notify_all();
}

bool PortRecovery::Retrying() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_retrying;
}

void PortRecovery::Cancel() {
    std::lock_guard<std::mutex> g(m_lock);
    m_retrying = false;
    m_cond.notify_all();
}

void PortRecovery::Run() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_cond.wait(lock, [this] { return m_retrying || m_quit; });
        if (m_quit) break;
        // The device needs a moment after it is gone (and again after it is back).
        if (m_cond.wait_for(lock, m_interval, [this] { return m_quit || !m_retrying; })) {
            if (m_quit) break;
            continue;  // cancelled
        }
        const unsigned losses = m_losses;
        lock.unlock();
        bool back = false;
        m_window->Call([this, &back] {
            {
                std::lock_guard<std::mutex> g(m_lock);
                if (m_quit || !m_retrying) return;
            }
            m_attempts.fetch_add(1);
            back = m_attempt(m_ctx);
        });
        lock.lock();
        // A loss reported after this try began (the port went away again at once) keeps the
        // retries going.
        if (back && m_losses == losses) m_retrying = false;
    }
    m_done.store(true);
    m_window->Wake();
}

void PortRecovery::Stop() {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_quit = true;
        m_retrying = false;
        m_cond.notify_all();
    }
    if (!m_thread.joinable()) return;
    if (m_window->IsCurrent()) m_window->ServeUntilTrue([this] { return m_done.load(); });
    m_thread.join();
}
