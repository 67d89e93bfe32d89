// The loops that both platforms run over one send, one receive and one wait: send everything
// with a bound on the time without progress, receive exactly n bytes within one deadline.
#include "net/transport.h"

#include "diag/log.h"
#include "net/socket_ops.h"

#include <atomic>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReceiveTimeoutMs = 17000;  // the receive time-out the socket itself carries
std::atomic<int> g_transferTimeoutMs{17000};

// What is left of a bound that started at `since`, in milliseconds (0 once it has run out).
int MsLeft(Clock::time_point since, int boundMs) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
    return spent >= boundMs ? 0 : boundMs - static_cast<int>(spent);
}

int ReadError(int bLog, int error) {
    LogPrintf(bLog, "TEVN-> ERROR : Read Error (ERRNO = %d)\n", error);
    return -1;
}
int EndOfStream(int bLog) {
    LogPrintf(bLog, "TEVN-> ERROR : Read Error (EOF 수신)\n");
    return -1;
}

}  // namespace

void SetTransferTimeoutMs(int milliseconds) { g_transferTimeoutMs.store(milliseconds > 0 ? milliseconds : 1); }
int TransferTimeoutMs() { return g_transferTimeoutMs.load(); }

int WaitReadableMs(int handle, int milliseconds) {
    return socket_ops::Wait(handle, false, milliseconds < 0 ? -1 : milliseconds);
}

int WaitReadable(int handle, int seconds) {
    if (seconds < 0) return WaitReadableMs(handle, -1);
    const long long ms = static_cast<long long>(seconds) * 1000;
    return WaitReadableMs(handle, ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms));
}

int SendError(int bLog, int error) {
    LogPrintf(bLog, "TEVN-> ERROR : Write Error (ERRNO = %d)\n", error);
    return -1;
}

int SendNow(int handle, const char* bytes, int length, int* error) {
    using namespace socket_ops;
    *error = 0;
    if (length < 0) {
        *error = InvalidArgumentError();
        return -1;
    }
    const int sent = SendOnce(handle, bytes, length);
    if (sent >= 0) return sent;
    const int e = LastError();
    if (WouldBlock(e)) return 0;
    *error = e;
    return -1;
}

int SendAll(int bLog, int handle, const char* bytes, int length) {
    using namespace socket_ops;
    if (length < 0) return SendError(bLog, InvalidArgumentError());
    const int boundMs = TransferTimeoutMs();
    auto lastProgress = Clock::now();
    int offset = 0;
    do {  // a length of 0 still makes one call
        const int sent = SendOnce(handle, bytes + offset, length - offset);
        if (sent > 0) {
            offset += sent;
            lastProgress = Clock::now();
            continue;
        }
        if (sent < 0 && !WouldBlock(LastError())) return SendError(bLog, LastError());
        if (length == 0) break;
        // The server's buffers are full: wait for room, but only as long as it took nothing.
        const int left = MsLeft(lastProgress, boundMs);
        const int ready = left > 0 ? Wait(handle, true, left) : 0;
        if (ready < 0) return SendError(bLog, LastError());
        if (ready == 0) return SendError(bLog, TimedOutError());
    } while (offset < length);
    return 1;
}

int RecvExact(int bLog, int handle, char* buffer, int length) {
    return RecvExactWithin(bLog, handle, buffer, length, TransferTimeoutMs());
}

int RecvExactWithin(int bLog, int handle, char* buffer, int length, int boundMs) {
    using namespace socket_ops;
    // Nothing asked for reads as end of stream. No zero-byte receive is made for it: on some
    // systems (Linux) that call waits for data or for the receive time-out.
    if (length <= 0) return EndOfStream(bLog);
    const auto start = Clock::now();
    int offset = 0;
    while (offset < length) {
        const int got = RecvOnce(handle, buffer + offset, length - offset);
        if (got > 0) {
            offset += got;
            continue;
        }
        if (got == 0) return EndOfStream(bLog);
        if (!WouldBlock(LastError())) return ReadError(bLog, LastError());
        // One deadline for the whole answer: a server that trickles it in byte by byte gets no
        // fresh time for every piece.
        const int left = MsLeft(start, boundMs);
        const int ready = left > 0 ? Wait(handle, false, left) : 0;
        if (ready < 0) return ReadError(bLog, LastError());
        if (ready == 0) return ReadError(bLog, TimedOutError());
    }
    return 1;
}

int RecvSome(int handle, char* buffer, int length) {
    using namespace socket_ops;
    if (length < 0) length = 0;
    int got = RecvOnce(handle, buffer, length);
    if (got >= 0 || !WouldBlock(LastError())) return got;
    if (Wait(handle, false, kReceiveTimeoutMs) <= 0) return -1;
    got = RecvOnce(handle, buffer, length);
    return got;
}
