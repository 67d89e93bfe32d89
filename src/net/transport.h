// TCP client transport to the payment server. A ServerLink is one connection with a cancel of its
// own: a connect with a 6 s bound, sends that never wait or that send everything within a bound,
// receives, and waits that Cancel() or Wake() end at once. Every call says what happened; none
// writes to the log (the relay decides what its log says).
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

enum class NetStatus {
    kDone,        // the call did what was asked
    kTimedOut,    // its bound ran out
    kPeerClosed,  // the server ended its side (end of stream)
    kRefused,     // the server's address refused the connect, or the host is not an IPv4 text
    kReset,       // the connection broke (reset, aborted, sent to a peer that has gone)
    kCancelled,   // Cancel() on this link, or CancelPendingConnects() for a connect
    kNoSocket,    // no socket could be made
    kFailed,      // anything else; the error number says what
};

struct NetResult {
    NetStatus status = NetStatus::kDone;
    int error = 0;  // the system's error number where there is one (what the log lines show)
    int count = 0;  // bytes sent or received
    bool Ok() const { return status == NetStatus::kDone; }
};

class ServerLink {
public:
    // What a Wait saw; more than one may be set.
    enum Ready : unsigned { kReadable = 1, kWritable = 2, kWoken = 4 };

    ServerLink();
    ~ServerLink();  // Close()
    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;

    // Connects to host (dotted IPv4 text, never looked up as a name) and port (taken modulo
    // 65536), waiting 6 s at most; Cancel() ends the wait. The connected socket carries a 17 s
    // receive time-out.
    NetResult Connect(const char* host, int port);
    // Takes a socket that is already connected (tests and fuzzers: one end of a socketpair).
    bool Adopt(std::intptr_t handle);
    bool IsOpen() const { return m_handle != kNoHandle; }
    std::intptr_t Handle() const { return m_handle; }

    // One send that never waits: count is what went out (0 when the server's buffers are full).
    NetResult SendNow(const char* bytes, int length);
    // Every byte; gives up (kTimedOut) once the server has taken nothing for TransferTimeoutMs().
    NetResult SendAll(const char* bytes, int length);
    // One receive that never waits: count bytes (0 with kDone: nothing has arrived yet).
    NetResult RecvNow(char* buffer, int length);
    // Exactly length bytes within boundMs in all, however they trickle in (0 or less: only what
    // has already arrived). count says how many came.
    NetResult RecvExactWithin(char* buffer, int length, int boundMs);
    // Waits until the socket is readable (end of stream and errors included) or, with forWrite,
    // writable, or Wake() was called, or milliseconds ran out (kTimedOut; below 0: no bound).
    // *ready says what it saw.
    NetResult Wait(bool forWrite, int milliseconds, unsigned* ready);

    // Any thread. Wake ends a Wait under way (or the next one) with kWoken.
    void Wake();
    // Any thread, any number of times, also before or during the connect: shuts the socket
    // down (the server sees the end at once) and every wait and call from now on returns
    // kCancelled, for good. The handle stays open until Close.
    void Cancel();
    bool Cancelled() const { return m_cancelled.load(); }
    // The owner, once no other thread uses the link: closes the socket and releases what the
    // connect took. A link that was not cancelled may connect again afterwards.
    void Close();

    struct Platform;  // the platform's wake-up (and socket event) of this link

private:
    static constexpr std::intptr_t kNoHandle = -1;
    NetResult Cancelled(NetResult r) const;
    bool MakeWake();  // the link's own wake-up, made before its first wait

    std::intptr_t m_handle = kNoHandle;
    std::atomic<bool> m_cancelled{false};
    std::mutex m_lock;  // Wake and Cancel against Close
    std::unique_ptr<Platform> m_platform;
};

// Any thread (the one that handles the stop signals): wakes a connect under way, which returns
// kCancelled at once, and makes every later connect fail at once. The program is stopping.
void CancelPendingConnects();

// The 17 s above (no progress of a send; one whole answer), in milliseconds. Tests and fuzzers
// shorten it to meet slow servers quickly; the program keeps 17000.
void SetTransferTimeoutMs(int milliseconds);
int TransferTimeoutMs();
// The error number that a bound which ran out shows in the log (EAGAIN, WSAETIMEDOUT).
int TimedOutErrorNumber();
