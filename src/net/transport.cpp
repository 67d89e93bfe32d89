// The loops that both platforms run over one send, one receive and one wait: send everything
// with a bound on the time without progress, receive exactly n bytes within one deadline.
#include "net/transport.h"

#include "net/socket_ops.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_transferTimeoutMs{17000};

// What is left of a bound that started at `since`, in milliseconds (0 once it has run out).
int MsLeft(Clock::time_point since, int boundMs) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
    return spent >= boundMs ? 0 : boundMs - static_cast<int>(spent);
}

NetResult Failure(int error, int count) {
    return NetResult{socket_ops::StatusOf(error), error, count};
}

}  // namespace

void SetTransferTimeoutMs(int milliseconds) { g_transferTimeoutMs.store(milliseconds > 0 ? milliseconds : 1); }
int TransferTimeoutMs() { return g_transferTimeoutMs.load(); }
int TimedOutErrorNumber() { return socket_ops::TimedOutError(); }

// A call that failed because the link was cancelled says so, whatever the socket said.
NetResult ServerLink::Cancelled(NetResult r) const {
    if (m_cancelled.load() && !r.Ok()) r.status = NetStatus::kCancelled;
    return r;
}

NetResult ServerLink::SendNow(const char* bytes, int length) {
    using namespace socket_ops;
    if (m_cancelled.load()) return NetResult{NetStatus::kCancelled, 0, 0};
    if (length < 0 || !IsOpen()) return Failure(InvalidArgumentError(), 0);
    const int sent = SendOnce(m_handle, bytes, length);
    if (sent >= 0) return NetResult{NetStatus::kDone, 0, sent};
    const int e = LastError();
    if (WouldBlock(e)) return NetResult{NetStatus::kDone, 0, 0};
    return Cancelled(Failure(e, 0));
}

NetResult ServerLink::SendAll(const char* bytes, int length) {
    using namespace socket_ops;
    const int boundMs = TransferTimeoutMs();
    auto lastProgress = Clock::now();
    int offset = 0;
    do {  // a length of 0 still makes one call
        NetResult r = SendNow(bytes + offset, length - offset);
        if (!r.Ok()) {
            r.count = offset;
            return r;
        }
        if (r.count > 0) {
            offset += r.count;
            lastProgress = Clock::now();
            continue;
        }
        if (length == 0) break;
        // The server's buffers are full: wait for room, but only as long as it took nothing.
        const int left = MsLeft(lastProgress, boundMs);
        unsigned ready = 0;
        r = left > 0 ? Wait(true, left, &ready) : NetResult{NetStatus::kTimedOut, TimedOutError(), 0};
        if (!r.Ok()) {
            if (r.status == NetStatus::kTimedOut) r.error = TimedOutError();
            r.count = offset;
            return r;
        }
    } while (offset < length);
    return NetResult{NetStatus::kDone, 0, offset};
}

NetResult ServerLink::RecvNow(char* buffer, int length) {
    using namespace socket_ops;
    if (m_cancelled.load()) return NetResult{NetStatus::kCancelled, 0, 0};
    if (length <= 0 || !IsOpen()) return Failure(InvalidArgumentError(), 0);
    const int got = RecvOnce(m_handle, buffer, length);
    if (got > 0) return NetResult{NetStatus::kDone, 0, got};
    if (got == 0) return Cancelled(NetResult{NetStatus::kPeerClosed, 0, 0});
    const int e = LastError();
    if (WouldBlock(e)) return NetResult{NetStatus::kDone, 0, 0};
    return Cancelled(Failure(e, 0));
}

NetResult ServerLink::RecvExactWithin(char* buffer, int length, int boundMs) {
    using namespace socket_ops;
    // Nothing asked for reads as end of stream. No zero-byte receive is made for it: on some
    // systems (Linux) that call waits for data or for the receive time-out.
    if (length <= 0) return NetResult{NetStatus::kPeerClosed, 0, 0};
    const auto start = Clock::now();
    int offset = 0;
    while (offset < length) {
        NetResult r = RecvNow(buffer + offset, length - offset);
        if (r.Ok() && r.count > 0) {
            offset += r.count;
            continue;
        }
        if (!r.Ok()) {
            r.count = offset;
            return r;
        }
        // One deadline for the whole answer: a server that trickles it in byte by byte gets no
        // fresh time for every piece.
        const int left = MsLeft(start, boundMs);
        unsigned ready = 0;
        r = left > 0 ? Wait(false, left, &ready) : NetResult{NetStatus::kTimedOut, 0, 0};
        if (!r.Ok()) {
            if (r.status == NetStatus::kTimedOut) r.error = TimedOutError();
            r.count = offset;
            return r;
        }
    }
    return NetResult{NetStatus::kDone, 0, offset};
}
