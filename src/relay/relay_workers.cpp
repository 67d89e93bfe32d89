// The workers of the two routes: each waits for the server's answers on its own connection,
// sends the frames that wait for a server slow to read, writes the answers to the terminal and
// ends on silence, end of data, a send that made no progress within its bound, or error.
#include "relay/relay.h"

#include "core/window_thread.h"
#include "crypto/adapter.h"
#include "diag/log.h"
#include "net/transport.h"
#include "relay/wiped.h"
#include "sys/sys.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kRecvBufferSize = 5120;
constexpr int kSecureFieldSize = 4;   // first read of a cycle: a short reply or an envelope
constexpr int kLengthFieldSize = 6;

}  // namespace

bool Relay::AwaitServer(Connection& conn, Clock::time_point heard, int silenceSec, Tally& tally,
                        int* v) {
    ServerLink& link = conn.Link();
    const long long silenceMs = static_cast<long long>(silenceSec) * 1000;
    for (;;) {
        if (conn.Pending()) {
            const NetResult sent = conn.Flush();
            if (!sent.Ok() && sent.status != NetStatus::kCancelled) {
                SendFailed(conn, sent);
                *v = -1;
                return false;
            }
        }
        const long long spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - heard).count();
        long long waitMs = silenceMs - spent;
        if (waitMs <= 0 && !link.Cancelled()) {
            PostTrace(TRACE_TEXT, "TIMEOUT 접속해제!-->(%d)", 0);
            tally.cause = "timeout";
            *v = 0;
            return false;
        }
        const bool sending = conn.Pending();
        if (sending) {
            // A server that takes nothing of what waits for its bound ends the connection.
            const int left = conn.SendBoundLeftMs();
            if (left <= 0 && !link.Cancelled()) {
                SendFailed(conn, NetResult{NetStatus::kTimedOut, TimedOutErrorNumber(), 0});
                *v = -1;
                return false;
            }
            if (left < waitMs) waitMs = left;
        }
        unsigned ready = 0;
        const NetResult r = link.Wait(sending, static_cast<int>(waitMs > 0x7fffffff ? 0x7fffffff : waitMs), &ready);
        if (r.status == NetStatus::kTimedOut) continue;  // the loop says which bound ran out
        if (!r.Ok()) {
            // Closed by the relay (the terminal's end, a new connect, the stop) or a failed wait:
            // each route says it as its read failing.
            PostTrace(TRACE_TEXT, conn.Route() == RELAY_SECURE ? "#1 RECV 접속해제!-->(%d)" : "TIMEOUT 접속해제!-->(%d)", -1);
            if (r.status != NetStatus::kCancelled) tally.cause = "read-error";
            *v = -1;
            return false;
        }
        if (ready & ServerLink::kReadable) return true;
    }
}

void Relay::SendFailed(Connection& conn, const NetResult& r) {
    LogPrintf(Log(), "TEVN-> ERROR : Write Error (ERRNO = %d)\n", r.error);
    conn.fault.store(1);
    if (r.status == NetStatus::kTimedOut) ServerNotReading(conn);
    if (conn.Route() == RELAY_SECURE)
        PostTrace(TRACE_TEXT, "접속해제(%d)!-->(%d)", 993, -3);
    else
        PostTrace(TRACE_TMS, "송신 오류!-->접속해제");
}

int Relay::ReadFailed(const char* mark, const NetResult& r, Tally& tally) {
    const int v = r.status == NetStatus::kPeerClosed ? 0 : -1;
    PostTrace(TRACE_TEXT, "%s RECV 접속해제!-->(%d)", mark, v);
    if (r.status == NetStatus::kPeerClosed) tally.cause = "server-closed";
    else if (r.status != NetStatus::kCancelled) tally.cause = "read-error";
    return v;
}

void Relay::PlainRecvWorker(Connection& conn, int silenceSec) {
    char buffer[kRecvBufferSize];
    const Wiped wipeBuffer{buffer, sizeof buffer};
    Tally tally;
    int v;
    auto heard = Clock::now();
    for (;;) {
        if (!AwaitServer(conn, heard, silenceSec, tally, &v)) break;
        const NetResult r = conn.Link().RecvNow(buffer, kRecvBufferSize);
        if (r.Ok() && r.count == 0) continue;  // woken for nothing
        if (!r.Ok()) {
            v = ReadFailed("#2", r, tally);
            break;
        }
        heard = Clock::now();
        // Every piece goes on at once, straight from the receive buffer, and does not stay there
        // while the connection waits for the next one.
        NoteAnswer(conn, tally);
        if (!SendToTerminal(buffer, static_cast<unsigned>(r.count))) conn.fault.store(2);
        sys::SecureZero(buffer, static_cast<std::size_t>(r.count));
        ScrubStack();
    }
    EndSteps(conn, v, tally);
}

void Relay::SecureRecvWorker(Connection& conn, int silenceSec) {
    Tally tally;
    int v;
    auto heard = Clock::now();
    for (;;) {
        if (!AwaitServer(conn, heard, silenceSec, tally, &v)) break;
        char field[kSecureFieldSize] = {};
        const Wiped wipeField{field, sizeof field};
        const auto begun = Clock::now();
        const NetResult r = conn.Link().RecvNow(field, kSecureFieldSize);
        if (r.Ok() && r.count == 0) continue;  // woken for nothing
        if (!r.Ok()) {
            v = ReadFailed("#1", r, tally);
            break;
        }
        heard = begun;
        if (r.count < kSecureFieldSize) {  // a short reply goes on as it came
            NoteAnswer(conn, tally);
            if (!SendToTerminal(field, static_cast<unsigned>(r.count))) conn.fault.store(2);
            continue;
        }
        v = SecureAnswer(conn, tally, begun);
        heard = Clock::now();
        ScrubStack();  // the answer has been handed on (or refused)
        if (v != 0) break;
    }
    EndSteps(conn, v, tally);
}

namespace {

// The Read Error line of a part of an answer that did not come whole; none when the relay
// itself closed the connection.
void LogReadError(int bLog, const NetResult& r) {
    if (r.status == NetStatus::kCancelled) return;
    if (r.status == NetStatus::kPeerClosed)
        LogPrintf(bLog, "TEVN-> ERROR : Read Error (EOF 수신)\n");
    else
        LogPrintf(bLog, "TEVN-> ERROR : Read Error (ERRNO = %d)\n", r.error);
}

}  // namespace

// Reads the rest of an enveloped answer (length field and ciphertext), decrypts it with the key
// of the latest request on this connection and writes it to the terminal. Failures end the
// worker with 4; an answer on a connection that has sent no request has no key to open it.
// The whole answer has one bound from its first bytes (begun) to its last.
int Relay::SecureAnswer(Connection& conn, Tally& tally, Clock::time_point begun) {
    const int bLog = Log();
    const auto left = [&] {
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begun);
        return TransferTimeoutMs() - static_cast<int>(spent.count());
    };
    ServerLink& link = conn.Link();
    char lengthField[kLengthFieldSize + 1] = {};
    NetResult r = link.RecvExactWithin(lengthField, kLengthFieldSize, left());
    if (!r.Ok()) {
        LogReadError(bLog, r);
        LogPrintf(bLog, "TEVN-> Receive 전문사이즈 Error!\n");
        if (r.status != NetStatus::kCancelled) tally.cause = "receive-error";
        return 4;
    }
    const int s = std::atoi(lengthField);
    unsigned char cipher[kRecvBufferSize] = {};
    const Wiped wipeCipher{cipher, sizeof cipher};
    // A length beyond the buffers (or negative) is refused like a body that never came.
    if (s < 0 || s > kRecvBufferSize ||
        !(r = link.RecvExactWithin(reinterpret_cast<char*>(cipher), s, left())).Ok()) {
        if (s >= 0 && s <= kRecvBufferSize) LogReadError(bLog, r);
        LogPrintf(bLog, "TEVN-> Receive Error[%d]!\n", s);
        if (r.status != NetStatus::kCancelled) tally.cause = "receive-error";
        return 4;
    }
    unsigned char key[16];
    const Wiped wipeKey{key, sizeof key};
    unsigned char plain[kRecvBufferSize] = {};
    const Wiped wipePlain{plain, sizeof plain};
    int p = 0;
    if (!conn.KeyOf(key) || SeedDecrypt(g_envelopeIv, key, 16, cipher, s, plain, &p) != 0 || p < 0 ||
        p > kRecvBufferSize) {
        LogPrintf(bLog, "TEVN-> ERROR : SEED 복호화 오류!\n");
        tally.cause = "decrypt-error";
        return 4;
    }
    // The log line stops at the first NUL; the terminal gets all p bytes.
    char head[64];
    std::snprintf(head, sizeof head, "TEVN-> [응답전문][%d][", p);
    LogMaskedFrame(head, plain, p);
    NoteAnswer(conn, tally);
    if (!SendToTerminal(plain, static_cast<unsigned>(p))) conn.fault.store(2);
    return 0;
}

void Relay::EndSteps(Connection& conn, int v, const Tally& tally) {
    SetIcon(ICON_IDLE);
    PostTrace(TRACE_TEXT, "접속해제!(%d)-->쓰레드종료", v);
    // The socket is closed here, under the connection's send lock: the window thread sends
    // nothing on it any more. What still waited for the server never goes out.
    int frames = 0, bytes = 0;
    conn.Finish(&frames, &bytes);
    if (frames > 0)
        LogPrintf(Log(), "TEVN-> ERROR : 송신 대기 전문 버림 (%d개, %d바이트)\n", frames, bytes);
    // A failed send or terminal write says more than how the worker's loop ended.
    const int fault = conn.fault.load();
    const char* cause = fault == 1 ? "send-error" : fault == 2 ? "terminal-write-error" : tally.cause;
    if (std::strcmp(tally.cause, "receive-error") == 0 || std::strcmp(tally.cause, "decrypt-error") == 0)
        cause = tally.cause;
    char first[24] = "-";
    if (tally.firstAnswerMs >= 0) std::snprintf(first, sizeof first, "%lldms", tally.firstAnswerMs);
    LogPrintf(Log(), "TEVN-> 서버 접속 종료 : %s, 송신 %d, 수신 %d, 첫응답 %s, 접속 %lldms, 결과 %s\n",
              conn.text, conn.sent.load(), tally.answers, first, NowMs() - conn.startMs, cause);
    conn.WorkerDone();
    m_workerDone.store(true);
    m_ports.window->Wake();
}
