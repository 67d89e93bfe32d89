// The two relay routes (connect, forward, close on DLE DLE DLE) and the one server connection
// they share with its receive worker.
#include "relay/relay.h"

#include "core/window_thread.h"
#include "diag/log.h"
#include "net/transport.h"
#include "diag/card_mask.h"
#include "diag/trace_render.h"
#include "relay/frame_text.h"
#include "relay/wiped.h"
#include "sys/sys.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kLogCopySize = 5120;
constexpr std::size_t kRuleSize = 256;

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

void Relay::Stop() {
    if (m_ports.window->IsCurrent()) {
        EndWorker();
    } else if (!m_workerDone.load() || Connected()) {
        m_ports.window->Call([this] { EndWorker(); });  // needs the window thread running
    } else if (m_worker.joinable()) {
        // The worker has made its last hand-over; joining needs no window thread (destruction
        // after the loop has ended).
        m_worker.join();
    }
}

bool Relay::Refused(Route route, int port) {
    const ServerFilter* filter = m_filter.load();
    if (!filter) return false;
    char rule[kRuleSize] = {};
    if (filter->Allows(m_host, rule, sizeof rule)) return false;
    rule[kRuleSize - 1] = '\0';
    // To the terminal and the operator it looks like a server that refused the connect.
    Unreachable(route, port);
    // The host is the terminal's text: a line break in it must not start a log line.
    char host[4 * sizeof m_host];
    EscapeControls(m_hostShown, std::strlen(m_hostShown), host, sizeof host);
    LogPrintf(Log(), "TEVN-> ERROR : 허용되지 않은 서버 (%s:%d, %s)\n", host, port, rule);
    LogConnectFailure(route, port, "not-allowed");
    return true;
}

void Relay::Unreachable(Route route, int port) {
    SetIcon(ICON_IDLE);
    PostTrace(route == ROUTE_SECURE ? TRACE_TEXT : TRACE_TMS, "서버 접속오류!-->%s:%d", m_hostShown,
              port);
    if (ServerWatch* watch = m_watch.load()) watch->OnServerUnreachable(m_hostShown, port);
}

void Relay::ConnectStep(Route route, const char* frame, int n) {
    if (!StoreServer(frame, n)) return;
    // One connection and one worker at a time: the old one ends before the new one opens.
    EndWorker();

    // The port part as the terminal sent it: a NUL byte in it is no digit either.
    int partLength = 0;
    const char* part = ConnectFramePortPart(frame, n, &partLength);
    const int port = ServerPortNumber(part, partLength);
    if (port == 0) {
        // Not a port: to the terminal and the operator it looks like a server out of reach,
        // with the trace line on either route.
        char shown[4 * kPortTextSize + 1];
        shown[EscapeControls(part, static_cast<std::size_t>(partLength), shown, sizeof shown - 1)] = '\0';
        LogPrintf(Log(), "TEVN-> ERROR : 접속전문 오류 (포트 %s)\n", shown);
        Unreachable(ROUTE_SECURE, port);
        return;
    }
    if (Refused(route, port)) return;
    const int handle = ConnectServer(Log(), m_host, port);
    if (handle == -1) {
        LogConnectFailure(route, port, "connect");
        Unreachable(route, port);
        ReleaseSocketLibrary();
        return;
    }
    unsigned generation;
    {
        std::lock_guard<std::mutex> g(m_connLock);
        m_socket = handle;
        generation = ++m_generation;
    }
    // A new connection starts without a key: no answer on it opens with an older one.
    WipeSessionKey(0);
    // Its log lines name the route and the server (the host as the console would show it).
    char host[4 * sizeof m_host];
    EscapeControls(m_hostShown, std::strlen(m_hostShown), host, sizeof host);
    std::snprintf(m_connText, sizeof m_connText, "%s %s:%d",
                  route == ROUTE_SECURE ? "SECURE" : "PLAIN", host, port);
    m_connStartMs = NowMs();
    m_firstSendMs.store(0);
    m_connSent.store(0);
    m_connFault.store(0);
    LogPrintf(Log(), "TEVN-> 서버 접속 : %s\n", m_connText);
    m_workerDone.store(false);
    if (route == ROUTE_SECURE)
        PostTrace(TRACE_TEXT, "서버접속-->%s:%d", m_hostShown, port);
    else
        PostTrace(TRACE_TMS, "서버접속-->%s:%d", m_hostShown, port);

    if (route == ROUTE_SECURE)
        m_worker = std::thread(&Relay::SecureRecvWorker, this, handle, generation,
                               m_secureSilenceSec.load());
    else
        m_worker = std::thread(&Relay::PlainRecvWorker, this, handle, generation,
                               m_plainSilenceSec.load());
}

void Relay::LogMaskedFrame(const char* head, const void* bytes, int n) {
    const int bLog = Log();
    if (!bLog || n <= 0) {
        LogFrame(bLog, head, bytes, 0, "]\n");
        return;
    }
    if (n > kLogCopySize) n = kLogCopySize;
    // Card data is masked in a copy that covers every byte logged; what is sent stays as it came.
    // The copy has room for every byte escaped: a CR or LF in the frame shows as \x0d or \x0a.
    char copy[kLogCopySize * 4];
    const Wiped wipeCopy{copy, sizeof copy};
    std::memcpy(copy, bytes, static_cast<std::size_t>(n));
    MaskCardData(copy, n);
    const void* nul = std::memchr(copy, '\0', static_cast<std::size_t>(n));
    const int shown = nul ? static_cast<int>(static_cast<const char*>(nul) - copy) : n;
    LogFrame(bLog, head, copy, EscapeLineBreaks(copy, shown, sizeof copy), "]\n");
}

void Relay::RelayPlain(const char* frame, FrameKind kind, int n, const TraceEvent* untraced) {
    const bool connectFrame = kind == FRAME_CONNECT_SE || kind == FRAME_CONNECT_PE;
    if (connectFrame) ConnectStep(ROUTE_PLAIN, frame, n);

    const int handle = CurrentSocket();
    if (handle == 0 || connectFrame) return;
    if (kind == FRAME_END) {
        DetachConnection();
        return;
    }
    NoteSent();  // before the bytes go: a quick answer may come back at once
    if (SendTraced(handle, frame, n, untraced) == -1) {
        m_connFault.store(1);
        PostTrace(TRACE_TMS, "송신 오류!-->접속해제");
        DetachConnection();
    }
}

void Relay::RelaySecure(const char* frame, FrameKind kind, int n) {
    const bool connectFrame = kind == FRAME_CONNECT_SE || kind == FRAME_CONNECT_TT;
    if (connectFrame) ConnectStep(ROUTE_SECURE, frame, n);

    const int handle = CurrentSocket();
    if (handle == 0 || connectFrame) return;
    if (kind == FRAME_END) {
        DetachConnection();
        return;
    }
    if (kind == FRAME_REQUEST) {
        char head[64];
        std::snprintf(head, sizeof head, "TEVN-> [요청전문][%d][", n);
        LogMaskedFrame(head, frame, n);
        NoteSent();
        const int r = SendSecureRequest(frame, n);
        if (r != 0) {
            m_connFault.store(1);
            PostTrace(TRACE_TEXT, "접속해제(%d)!-->(%d)", 993, r);
            DetachConnection();
        }
        return;
    }
    NoteSent();
    if (SendAll(Log(), handle, frame, n) == -1) {
        m_connFault.store(1);
        PostTrace(TRACE_TEXT, "접속해제(%d)!-->(%d)", kind == FRAME_ACK_NAK ? 1012 : 1025, -1);
        DetachConnection();
    }
}

void Relay::LogConnectFailure(Route route, int port, const char* cause) {
    char host[4 * sizeof m_host];
    EscapeControls(m_hostShown, std::strlen(m_hostShown), host, sizeof host);
    LogPrintf(Log(), "TEVN-> 서버 접속 실패 : %s %s:%d (%s)\n",
              route == ROUTE_SECURE ? "SECURE" : "PLAIN", host, port, cause);
}
