// The two relay routes (connect, forward, close on DLE DLE DLE) and the one server connection
// they share with its receive worker.
#include "relay/relay.h"

#include "core/window_thread.h"
#include "diag/log.h"
#include "net/transport.h"
#include "diag/card_mask.h"
#include "relay/frame_text.h"

#include <cstdlib>
#include <cstring>

namespace {

bool StartsWithThree(const char* clean, int n, char c) {
    return n >= 3 && clean[0] == c && clean[1] == c && clean[2] == c;
}

}  // namespace

int Relay::CurrentSocket() const {
    std::lock_guard<std::mutex> g(m_connLock);
    return m_socket;
}

bool Relay::Connected() const { return CurrentSocket() != 0; }

bool Relay::Detached(unsigned generation) const {
    std::lock_guard<std::mutex> g(m_connLock);
    return m_socket == 0 || m_generation != generation;
}

// Shutting the socket down wakes a worker blocked on it (closing alone does not everywhere) and
// lets the server see the end at once; the worker, which owns the handle, closes it.
void Relay::DetachConnection() {
    std::lock_guard<std::mutex> g(m_connLock);
    if (m_socket == 0) return;
    ShutdownServer(m_socket);
    m_socket = 0;
}

void Relay::EndWorker() {
    DetachConnection();
    if (!m_worker.joinable()) return;
    // The ending worker still hands its last trace events to this thread: keep serving them.
    m_ports.window->ServeUntilTrue([this] { return m_workerDone.load(); });
    if (m_worker.joinable()) m_worker.join();  // a call served meanwhile may have joined it
}

void Relay::StopOnWindow() { EndWorker(); }

void Relay::Stop() {
    if (m_ports.window->IsCurrent()) {
        StopOnWindow();
    } else if (!m_workerDone.load() || Connected()) {
        m_ports.window->Call([this] { StopOnWindow(); });  // needs the window thread running
    } else if (m_worker.joinable()) {
        // The worker has made its last hand-over; joining needs no window thread (destruction
        // after the loop has ended).
        m_worker.join();
    }
}

bool Relay::IsOwnConnectFrame(Route route, const char* work, int n) const {
    if (n <= 0) return false;
    const char b0 = work[0], bL = work[n - 1];
    if (route == ROUTE_PLAIN) return (b0 == 'S' && bL == 'E') || (b0 == 'P' && bL == 'E');
    return (b0 == 'S' && bL == 'E') || (b0 == 'T' && bL == 'T');
}

void Relay::ConnectStep(Route route, const char* work, int n) {
    if (!StoreServer(work, n)) return;
    // One connection and one worker at a time: the old one ends before the new one opens.
    EndWorker();

    const int port = std::atoi(m_portText);
    const int handle = ConnectServer(Log(), m_host, port);
    if (handle == -1) {
        SetIcon(ICON_IDLE);
        if (route == ROUTE_SECURE)
            PostTrace(TRACE_TEXT, "서버 접속오류!-->%s:%d", m_host, port);
        else
            PostTrace(TRACE_TMS, "서버 접속오류!-->%s:%d", m_host, port);
        ReleaseSocketLibrary();
        return;
    }
    unsigned generation;
    {
        std::lock_guard<std::mutex> g(m_connLock);
        m_socket = handle;
        generation = ++m_generation;
    }
    m_workerDone.store(false);
    if (route == ROUTE_SECURE)
        PostTrace(TRACE_TEXT, "서버접속-->%s:%d", m_host, port);
    else
        PostTrace(TRACE_TMS, "서버접속-->%s:%d", m_host, port);

    if (route == ROUTE_SECURE)
        m_worker = std::thread(&Relay::SecureRecvWorker, this, handle, generation,
                               m_secureSilenceSec.load());
    else
        m_worker = std::thread(&Relay::PlainRecvWorker, this, handle, generation,
                               m_plainSilenceSec.load());
}

void Relay::RelayPlain(const char* clean, char* work, int n) {
    const bool connectFrame = IsOwnConnectFrame(ROUTE_PLAIN, work, n);
    if (connectFrame) ConnectStep(ROUTE_PLAIN, work, n);

    const int handle = CurrentSocket();
    if (handle == 0 || connectFrame) return;
    if (StartsWithThree(clean, n, kDle)) {
        DetachConnection();
        return;
    }
    if (SendAll(Log(), handle, work, n) == -1) {
        PostTrace(TRACE_TMS, "송신 오류!-->접속해제");
        DetachConnection();
    }
}

void Relay::RelaySecure(const char* clean, char* work, int n) {
    const bool connectFrame = IsOwnConnectFrame(ROUTE_SECURE, work, n);
    if (connectFrame) ConnectStep(ROUTE_SECURE, work, n);

    const int handle = CurrentSocket();
    if (handle == 0 || connectFrame) return;
    if (StartsWithThree(clean, n, kDle)) {
        DetachConnection();
        return;
    }
    if (n >= 3 && clean[0] == kStx && clean[n - 3] == kEtx) {
        // The log shows the request with card data masked; the server gets it as it came.
        MaskCardData(work, n);
        LogPrintf(Log(), "TEVN-> [요청전문][%d][%s]\n", n, work);
        const int r = SendSecureRequest(clean, n);
        if (r != 0) {
            PostTrace(TRACE_TEXT, "접속해제(%d)!-->(%d)", 993, r);
            DetachConnection();
        }
        return;
    }
    if (SendAll(Log(), handle, work, n) == -1) {
        const bool ackOrNak = StartsWithThree(clean, n, kAck) || StartsWithThree(clean, n, kNak);
        PostTrace(TRACE_TEXT, "접속해제(%d)!-->(%d)", ackOrNak ? 1012 : 1025, -1);
        DetachConnection();
    }
}
