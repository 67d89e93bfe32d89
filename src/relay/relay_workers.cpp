// The receive workers of the two routes: each waits for the server's answers on its own
// connection, writes them to the terminal and ends on silence, end of data or error.
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

void Relay::PlainRecvWorker(int handle, unsigned generation, int silenceSec) {
    char buffer[kRecvBufferSize];
    const Wiped wipeBuffer{buffer, sizeof buffer};
    Tally tally;
    int v;
    for (;;) {
        // A connection that the window thread has detached counts as failed.
        int r = Detached(generation) ? -1 : WaitReadable(handle, silenceSec);
        if (Detached(generation)) r = -1;
        if (r <= 0) {
            PostTrace(TRACE_TEXT, "TIMEOUT 접속해제!-->(%d)", r);
            if (r == 0) tally.cause = "timeout";
            else if (!Detached(generation)) tally.cause = "read-error";
            v = r;
            break;
        }
        std::memset(buffer, 0, sizeof buffer);
        int n = RecvSome(handle, buffer, kRecvBufferSize);
        if (n <= 0 && Detached(generation)) n = -1;
        if (n <= 0) {
            PostTrace(TRACE_TEXT, "#2 RECV 접속해제!-->(%d)", n);
            if (!Detached(generation)) tally.cause = n == 0 ? "server-closed" : "read-error";
            v = n;
            break;
        }
        // Every piece goes on at once, straight from the receive buffer, and does not stay there
        // while the connection waits for the next one.
        NoteAnswer(tally);
        SendToTerminal(buffer, static_cast<unsigned>(n));
        sys::SecureZero(buffer, static_cast<std::size_t>(n));
        ScrubStack();
    }
    EndSteps(handle, generation, v, tally);
}

void Relay::SecureRecvWorker(int handle, unsigned generation, int silenceSec) {
    Tally tally;
    int v;
    for (;;) {
        const int r = Detached(generation) ? -1 : WaitReadable(handle, silenceSec);
        if (r == 0) {
            PostTrace(TRACE_TEXT, "TIMEOUT 접속해제!-->(%d)", 0);
            tally.cause = "timeout";
            v = 0;
            break;
        }
        char field[kSecureFieldSize] = {};
        const Wiped wipeField{field, sizeof field};
        int got = Detached(generation) ? -1 : RecvSome(handle, field, kSecureFieldSize);
        if (got <= 0 && Detached(generation)) got = -1;
        if (got <= 0) {
            PostTrace(TRACE_TEXT, "#1 RECV 접속해제!-->(%d)", got);
            if (!Detached(generation)) tally.cause = got == 0 ? "server-closed" : "read-error";
            v = got;
            break;
        }
        if (got < kSecureFieldSize) {  // a short reply goes on as it came
            NoteAnswer(tally);
            SendToTerminal(field, static_cast<unsigned>(got));
            continue;
        }
        v = SecureAnswer(handle, generation, tally, std::chrono::steady_clock::now());
        ScrubStack();  // the answer has been handed on (or refused)
        if (v != 0) break;
    }
    EndSteps(handle, generation, v, tally);
}

// Reads the rest of an enveloped answer (length field and ciphertext), decrypts it with the key
// of the latest request on this connection and writes it to the terminal. Failures end the
// worker with 4; an answer on a connection that has sent no request has no key to open it.
// The whole answer has one bound from its first bytes (begun) to its last.
int Relay::SecureAnswer(int handle, unsigned generation, Tally& tally,
                        std::chrono::steady_clock::time_point begun) {
    const int bLog = Log();
    const auto left = [&] {
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - begun);
        return TransferTimeoutMs() - static_cast<int>(spent.count());
    };
    char lengthField[kLengthFieldSize + 1] = {};
    if (RecvExactWithin(bLog, handle, lengthField, kLengthFieldSize, left()) == -1) {
        LogPrintf(bLog, "TEVN-> Receive 전문사이즈 Error!\n");
        tally.cause = "receive-error";
        return 4;
    }
    const int s = std::atoi(lengthField);
    unsigned char cipher[kRecvBufferSize] = {};
    const Wiped wipeCipher{cipher, sizeof cipher};
    // A length beyond the buffers (or negative) is refused like a body that never came.
    if (s < 0 || s > kRecvBufferSize ||
        RecvExactWithin(bLog, handle, reinterpret_cast<char*>(cipher), s, left()) == -1) {
        LogPrintf(bLog, "TEVN-> Receive Error[%d]!\n", s);
        tally.cause = "receive-error";
        return 4;
    }
    unsigned char key[16];
    const Wiped wipeKey{key, sizeof key};
    unsigned char plain[kRecvBufferSize] = {};
    const Wiped wipePlain{plain, sizeof plain};
    int p = 0;
    if (!SessionKeyOf(generation, key) ||
        SeedDecrypt(g_envelopeIv, key, 16, cipher, s, plain, &p) != 0 || p < 0 ||
        p > kRecvBufferSize) {
        LogPrintf(bLog, "TEVN-> ERROR : SEED 복호화 오류!\n");
        tally.cause = "decrypt-error";
        return 4;
    }
    // The log line stops at the first NUL; the terminal gets all p bytes.
    char head[64];
    std::snprintf(head, sizeof head, "TEVN-> [응답전문][%d][", p);
    LogMaskedFrame(head, plain, p);
    NoteAnswer(tally);
    SendToTerminal(plain, static_cast<unsigned>(p));
    return 0;
}

void Relay::EndSteps(int handle, unsigned generation, int v, const Tally& tally) {
    SetIcon(ICON_IDLE);
    PostTrace(TRACE_TEXT, "접속해제!(%d)-->쓰레드종료", v);
    // A failed send or terminal write says more than how the worker's loop ended.
    const int fault = m_connFault.load();
    const char* cause = fault == 1 ? "send-error" : fault == 2 ? "terminal-write-error" : tally.cause;
    if (std::strcmp(tally.cause, "receive-error") == 0 || std::strcmp(tally.cause, "decrypt-error") == 0)
        cause = tally.cause;
    char first[24] = "-";
    if (tally.firstAnswerMs >= 0) std::snprintf(first, sizeof first, "%lldms", tally.firstAnswerMs);
    LogPrintf(Log(), "TEVN-> 서버 접속 종료 : %s, 송신 %d, 수신 %d, 첫응답 %s, 접속 %lldms, 결과 %s\n",
              m_connText, m_connSent.load(), tally.answers, first, NowMs() - m_connStartMs, cause);
    // Cleared on the window thread, which therefore is not sending on this handle; a newer
    // connection is left alone.
    m_ports.window->Call([&] {
        std::lock_guard<std::mutex> g(m_connLock);
        if (m_generation == generation && m_socket == handle) m_socket = 0;
    });
    CloseServer(handle);
    WipeSessionKey(generation);
    m_workerDone.store(true);
    m_ports.window->Wake();
}
