// CCom's platform-free half: parameters, the owner, the two hand-overs to the window thread and
// the rules by which Close waits for (or lets go of) the watcher. The device work is per platform.
#include "serial/com.h"

#include "core/window_thread.h"
#include "sys/sys.h"

#include <cstdio>

// Marks a hand-over while its handler runs on the window thread, so that a Close called from
// inside the handler knows that the watcher cannot leave before the handler has returned.
struct CCom::HandOverMark {
    std::thread::id watcher;
    bool letGo;  // set by such a Close; read by the watcher once the hand-over has returned
    HandOverMark* outer;
};

void CCom::SetParams(const char* portName, uint32_t baudRate, uint8_t byteSize, ComStopBits stopBits,
                     ComParity parity) {
    m_strPortName = portName ? portName : "";
    m_baudRate = baudRate;
    m_byteSize = byteSize;
    m_stopBits = stopBits;
    m_parity = parity;
}

void CCom::SetOwner(WindowThread* window, TerminalSink* sink) {
    m_window = window;
    m_sink = sink;
}

bool CCom::HandOver(uint32_t total) {
    HandOverMark mark{std::this_thread::get_id(), false, nullptr};
    auto deliver = [this, total, &mark] {
        // A Close is under way: the burst goes the way of the purge at close.
        if (m_closing.load() || m_bConnected.load() == 0) {
            sys::SecureZero(m_readBuffer, total);
            return;
        }
        mark.outer = m_handOver;
        m_handOver = &mark;
        m_sink->OnTerminalFrame(m_readBuffer, total);
        m_handOver = mark.outer;
        // The burst has been handed on (a request may hold a card number): it does not stay in
        // the buffer. A watcher let go by a Close in the handler no longer owns the buffer; a
        // port opened again meanwhile may be reading into it.
        if (!mark.letGo) sys::SecureZero(m_readBuffer, total);
    };
    m_window->Call(deliver);
    return !mark.letGo;
}

bool CCom::ReportLost(const char* why) {
    m_bConnected.store(0);
    // The handler may change the parameters before it reopens: it gets a name of its own.
    const std::string name = m_strPortName;
    // A detail for whoever reads standard error (the journal on Linux: debug level).
    std::fprintf(stderr, "<7>Port %s lost: %s\n", name.c_str(), why);
    HandOverMark mark{std::this_thread::get_id(), false, nullptr};
    auto tell = [this, &name, &mark] {
        if (m_closing.load()) return;  // the owner is closing the port anyway
        mark.outer = m_handOver;
        m_handOver = &mark;
        m_sink->OnPortLost(name.c_str());
        m_handOver = mark.outer;
    };
    m_window->Call(tell);
    return !mark.letGo;
}

void CCom::WatcherDone() {
    // A burst that a closing or failing port never handed over does not stay behind either.
    sys::SecureZero(m_readBuffer, sizeof m_readBuffer);
    m_watcherDone.store(true);
    m_window->Wake();
}

bool CCom::StartWatcher() {
    m_bConnected.store(1);
    m_watcherDone.store(false);
    try {
        m_watcher = std::thread([this] { CommWatchProc(); });
    } catch (...) {
        m_watcherDone.store(true);
        return false;
    }
    return true;
}

void CCom::StopWatcher() {
    const bool onWindow = m_window && m_window->IsCurrent();
    auto markOf = [this](const std::thread& t) -> HandOverMark* {
        for (HandOverMark* h = m_handOver; h; h = h->outer)
            if (h->watcher == t.get_id()) return h;
        return nullptr;
    };
    if (m_watcher.joinable()) {
        HandOverMark* own = onWindow ? markOf(m_watcher) : nullptr;
        if (own) {
            // Close from inside the watcher's own hand-over: waiting would never end. The
            // watcher returns as soon as the handler has, touching nothing of this object.
            own->letGo = true;
            if (m_leftWatcher.joinable()) {
                if (markOf(m_leftWatcher)) m_leftWatcher.detach();
                else m_leftWatcher.join();
            }
            m_leftWatcher = std::move(m_watcher);
        } else {
            // A watcher waiting in its hand-over needs this thread to serve it before it can
            // see the stop and leave.
            if (onWindow) m_window->ServeUntilTrue([this] { return m_watcherDone.load(); });
            m_watcher.join();
        }
    }
    if (m_leftWatcher.joinable() && !(onWindow && markOf(m_leftWatcher))) m_leftWatcher.join();
}
