#include "app/posix/signals.h"

#include "net/transport.h"

#include "core/event_loop.h"

#include <csignal>
#include <pthread.h>

namespace {
sigset_t TerminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

void BlockTerminationSignals() {
    const sigset_t set = TerminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void SignalWatcher::Start(EventLoop* loop) {
    m_thread = std::thread([this, loop] {
        const sigset_t set = TerminationSet();
        int sig = 0;
        while (sigwait(&set, &sig) != 0) {
        }
        if (!m_stopping.load()) {
            m_signal.store(sig);
            // A connect in progress (up to 6 s on its connection's worker) gives up at once, and
            // so do later ones: the stop does not wait for a server.
            CancelPendingConnects();
            loop->Quit();
        }
    });
}

void SignalWatcher::Stop() {
    if (!m_thread.joinable()) return;
    m_stopping.store(true);
    // The thread has not returned before join, so its handle is still valid here; a signal
    // aimed at it wakes its sigwait when no signal has come yet, and is harmless otherwise.
    if (m_signal.load() == 0) pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
}
