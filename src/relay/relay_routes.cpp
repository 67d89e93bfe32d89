// The two relay routes (connect, forward, close on DLE DLE DLE) and the one server connection
// they share with its receive worker.
#include "relay/relay.h"

#include "core/window_thread.h"
#include "diag/log.h"
#include "net/transport.h"
#include "relay/connection.h"
#include "diag/card_mask.h"
#include "diag/trace_render.h"
#include "relay/frame_text.h"
#include "relay/wiped.h"
#include "sys/sys.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int kLogCopySize = 5120;
constexpr std::size_t kRuleSize = 256;

}  // namespace

void Relay::CloseConnection() {
    if (m_conn) m_conn->Close();
}

void Relay::EndWorker() {
    if (!m_conn) return;
    m_conn->Close();
    // The ending worker may still hand something to this thread (a tray icon): keep serving.
    Connection* conn = m_conn.get();
    m_ports.window->ServeUntilTrue([conn] { return conn->WorkerEnded(); });
    conn->Join();
    m_conn.reset();
}

void Relay::Stop() {
    if (m_ports.window->IsCurrent() || m_workerDone.load()) {
        // Off the window thread only once the worker has ended (destruction after the loop has
        // ended): joining it needs no window thread then.
        EndWorker();
    } else {
        m_ports.window->Call([this] { EndWorker(); });  // needs the window thread running
    }
}

bool Relay::Refused(RelayMode route, int port) {
    const ServerFilter* filter = m_filter.load();
    if (!filter) return false;
    char rule[kRuleSize] = {};
    if (filter->Allows(m_host, rule, sizeof rule)) return false;
    rule[kRuleSize - 1] = '\0';
    // To the terminal and the operator it looks like a server that refused the connect.
    Unreachable(route, m_hostShown, port);
    // The host is the terminal's text: a line break in it must not start a log line.
    char host[4 * sizeof m_host];
    EscapeControls(m_hostShown, std::strlen(m_hostShown), host, sizeof host);
    LogPrintf(Log(), "TEVN-> ERROR : 허용되지 않은 서버 (%s:%d, %s)\n", host, port, rule);
    LogConnectFailure(route, m_hostShown, port, "not-allowed");
    return true;
}

void Relay::ServerNotReading(Connection& conn) {
    if (conn.stallReported.exchange(true)) return;
    if (ServerWatch* watch = m_watch.load())
        m_ports.window->Call([&] { watch->OnServerNotReading(conn.hostShown, conn.port); });
}

void Relay::Unreachable(RelayMode route, const char* hostShown, int port) {
    SetIcon(ICON_IDLE);
    PostTrace(route == RELAY_SECURE ? TRACE_TEXT : TRACE_TMS, "서버 접속오류!-->%s:%d", hostShown, port);
    // The shop's monitoring hears of it on the window thread.
    if (ServerWatch* watch = m_watch.load()) m_ports.window->Call([&] { watch->OnServerUnreachable(hostShown, port); });
}

void Relay::ConnectStep(RelayMode route, const char* frame, int n) {
    DropHeldRequest();  // the pieces of a request for the old connection go nowhere
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
        Unreachable(RELAY_SECURE, m_hostShown, port);
        return;
    }
    if (Refused(route, port)) return;
    // The connect runs on the connection's worker: the terminal is heard while it waits (6 s at
    // most); the frames that come meanwhile wait in the connection's queue.
    m_conn = std::make_unique<Connection>(route, m_host, m_hostShown, port);
    Connection& c = *m_conn;
    // Its log lines name the route and the server (the host as the console would show it).
    char host[4 * sizeof m_host];
    EscapeControls(m_hostShown, std::strlen(m_hostShown), host, sizeof host);
    std::snprintf(c.text, sizeof c.text, "%s %s:%d", route == RELAY_SECURE ? "SECURE" : "PLAIN", host, port);
    m_workerDone.store(false);
    const int silence = route == RELAY_SECURE ? m_secureSilenceSec.load() : m_plainSilenceSec.load();
    c.StartWorker([this, &c, silence] { RunConnection(c, silence); });
}

void Relay::RunConnection(Connection& conn, int silenceSec) {
    const RelayMode route = conn.Route();
    const NetResult r = conn.Link().Connect(conn.host, conn.port);
    if (!r.Ok()) {
        // Closed by the relay meanwhile (the terminal's end, a new connect frame, the stop):
        // nothing to say. Frames that waited for the connect go nowhere, as without a connection.
        if (r.status != NetStatus::kCancelled) {
            LogPrintf(Log(), r.status == NetStatus::kNoSocket ? "TEVN-> ERROR : Socket Open Error (ERRNO = %d)\n"
                                                              : "TEVN-> ERROR : Connect Error (ERRNO = %d)\n",
                      r.error);
            LogConnectFailure(route, conn.hostShown, conn.port, "connect");
            Unreachable(route, conn.hostShown, conn.port);
        }
        int frames = 0, bytes = 0;
        conn.Finish(&frames, &bytes);
        conn.WorkerDone();
        m_workerDone.store(true);
        m_ports.window->Wake();
        return;
    }
    conn.startMs = NowMs();
    LogPrintf(Log(), "TEVN-> 서버 접속 : %s\n", conn.text);
    PostTrace(route == RELAY_SECURE ? TRACE_TEXT : TRACE_TMS, "서버접속-->%s:%d", conn.hostShown, conn.port);
    conn.MarkConnected();
    if (route == RELAY_SECURE)
        SecureRecvWorker(conn, silenceSec);
    else
        PlainRecvWorker(conn, silenceSec);
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

bool Relay::HandToServer(Connection& conn, const char* bytes, int n, const unsigned char* key,
                         const TraceEvent* untraced, bool* dropped) {
    *dropped = false;
    NoteSent(conn);  // before the bytes go: a quick answer may come back at once
    NetResult failure;
    Connection::Handed handed;
    TraceTarget* target = m_ports.trace;
    if (untraced && target) {
        // The trace lock is held from the send until the event is traced: an answer that the
        // request brings back quickly is traced after it all the same.
        std::lock_guard<std::mutex> g(m_traceLock);
        handed = conn.Send(bytes, n, key, &failure);
        target->OnTraceEvent(static_cast<unsigned>(n), *untraced);
    } else {
        handed = conn.Send(bytes, n, key, &failure);
    }
    switch (handed) {
    case Connection::Handed::kSent:
    case Connection::Handed::kQueued:
        conn.sent.fetch_add(1);
        return true;
    case Connection::Handed::kDropped:
        // The server has not taken what waits already: this frame never goes out, the
        // connection goes on (its send's bound ends it if the server never reads again).
        *dropped = true;
        LogPrintf(Log(), "TEVN-> ERROR : 송신 대기 초과, 전문 버림 (%d바이트)\n", n);
        PostTrace(TRACE_TEXT, "송신 대기 초과!-->전문 버림(%d)", n);
        ServerNotReading(conn);
        return true;
    case Connection::Handed::kFailed:
        break;
    }
    // A connection that has just ended (its worker saw the server go): the frame goes nowhere,
    // as when there is no connection.
    if (failure.status == NetStatus::kCancelled) return true;
    LogPrintf(Log(), "TEVN-> ERROR : Write Error (ERRNO = %d)\n", failure.error);
    conn.fault.store(1);
    return false;
}

void Relay::RelayPlain(const char* frame, FrameKind kind, int n, const TraceEvent* untraced) {
    const bool connectFrame = kind == FRAME_CONNECT_SE || kind == FRAME_CONNECT_PE;
    if (connectFrame) ConnectStep(RELAY_PLAIN, frame, n);
    if (!Connected() || connectFrame) return;
    if (kind == FRAME_END) {
        CloseConnection();
        return;
    }
    bool dropped;
    if (!HandToServer(*m_conn, frame, n, nullptr, untraced, &dropped)) {
        PostTrace(TRACE_TMS, "송신 오류!-->접속해제");
        CloseConnection();
    }
}

bool Relay::JoinRequestPieces(const char* frame, FrameKind kind, int n) {
    const bool continuation = kind == FRAME_OTHER && n > 0 && frame[0] != kStx;
    if (m_heldLength > 0 || m_discarding) {
        if (continuation) {
            if (m_discarding) return true;  // the rest of a request that was refused
            if (m_heldLength + n > kHeldRequestSize) {
                LogPrintf(Log(), "TEVN-> ERROR : 요청전문 크기 초과! (%d바이트)\n", m_heldLength + n);
                PostTrace(TRACE_TEXT, "요청전문 오류!-->크기 초과(%d)", m_heldLength + n);
                m_heldLength = 0;
                DropHeldRequest();
                m_discarding = true;
                return true;
            }
            std::memcpy(m_heldRequest + m_heldLength, frame, static_cast<std::size_t>(n));
            m_heldLength += n;
            if (ClassifyFrame(m_heldRequest, m_heldLength) == FRAME_REQUEST) {
                const int length = m_heldLength;
                m_heldLength = 0;
                SendRequest(m_heldRequest, length);
                sys::SecureZero(m_heldRequest, static_cast<std::size_t>(length));
            }
            return true;
        }
        // Anything else ends the pieces: a start that never got its end goes nowhere.
        DropHeldRequest();
    }
    if (kind != FRAME_OTHER || n <= 0 || frame[0] != kStx) return false;
    // A request that does not end in this burst (the line hands over 4096 bytes at most): its
    // start waits for the rest and never goes to the server as it came.
    std::memcpy(m_heldRequest, frame, static_cast<std::size_t>(n));
    m_heldLength = n;
    return true;
}

void Relay::DropHeldRequest() {
    if (m_heldLength > 0) {
        LogPrintf(Log(), "TEVN-> ERROR : 요청전문 불완전, 보내지 않음 (%d바이트)\n", m_heldLength);
        PostTrace(TRACE_TEXT, "요청전문 오류!-->불완전(%d)", m_heldLength);
    }
    sys::SecureZero(m_heldRequest, sizeof m_heldRequest);
    m_heldLength = 0;
    m_discarding = false;
}

void Relay::SendRequest(const char* frame, int n) {
    char head[64];
    std::snprintf(head, sizeof head, "TEVN-> [요청전문][%d][", n);
    LogMaskedFrame(head, frame, n);
    const int r = SendSecureRequest(frame, n);
    if (r != 0 && r != -5) {
        m_conn->fault.store(1);
        PostTrace(TRACE_TEXT, "접속해제(%d)!-->(%d)", 993, r);
        CloseConnection();
    }
}

void Relay::RelaySecure(const char* frame, FrameKind kind, int n) {
    const bool connectFrame = kind == FRAME_CONNECT_SE || kind == FRAME_CONNECT_TT;
    if (connectFrame) ConnectStep(RELAY_SECURE, frame, n);
    if (!Connected() || connectFrame) {
        DropHeldRequest();
        return;
    }
    if (JoinRequestPieces(frame, kind, n)) return;
    if (kind == FRAME_END) {
        CloseConnection();
        return;
    }
    if (kind == FRAME_REQUEST) {
        SendRequest(frame, n);
        return;
    }
    bool dropped;
    if (!HandToServer(*m_conn, frame, n, nullptr, nullptr, &dropped)) {
        PostTrace(TRACE_TEXT, "접속해제(%d)!-->(%d)", kind == FRAME_ACK_NAK ? 1012 : 1025, -1);
        CloseConnection();
    }
}

void Relay::LogConnectFailure(RelayMode route, const char* hostShown, int port, const char* cause) {
    char host[4 * sizeof m_host];
    EscapeControls(hostShown, std::strlen(hostShown), host, sizeof host);
    LogPrintf(Log(), "TEVN-> 서버 접속 실패 : %s %s:%d (%s)\n",
              route == RELAY_SECURE ? "SECURE" : "PLAIN", host, port, cause);
}
