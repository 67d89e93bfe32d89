// TCP client transport over POSIX sockets: a non-blocking connect bounded by poll (and woken by
// CancelPendingConnects through an eventfd), then a blocking socket with a receive time-out
// whose sends and receives never wait inside the call (MSG_DONTWAIT): every wait is a poll on
// the socket and the link's own eventfd, which Wake and Cancel write to.
#include "net/socket_ops.h"
#include "net/transport.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

struct ServerLink::Platform {
    int wake = -1;  // eventfd: readable after Wake or Cancel
};

namespace {

constexpr int kConnectWaitMs = 6000;
constexpr int kReceiveTimeoutSeconds = 17;

// A socket must never take descriptors 0 to 2 (they can be free when the program runs without
// standard streams, and a write meant for one of them would go to the server).
int AboveStandardStreams(int fd) {
    if (fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}

// The stop of the program: once set, connects fail and the eventfd stays readable for good, so
// a connect waiting in poll wakes and every later one sees it at once.
std::atomic<bool> g_connectsCancelled{false};
std::once_flag g_cancelOnce;
int g_cancelFd = -1;

int CancelFd() {
    std::call_once(g_cancelOnce, [] {
        const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        g_cancelFd = fd >= 0 ? AboveStandardStreams(fd) : -1;
    });
    return g_cancelFd;
}

// poll on the given descriptors; EINTR waits again for what is left of the time.
int PollFor(pollfd* fds, nfds_t count, int milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const int n = poll(fds, count, milliseconds);
        if (n >= 0 || errno != EINTR) return n;
        if (milliseconds > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            milliseconds = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
}

// Waits for a connect in progress (woken by the program's stop and by the link's own cancel);
// 0 when it completed without error, else the error number.
int FinishConnect(int fd, int linkWake, const std::atomic<bool>& linkCancelled) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kConnectWaitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd fds[3] = {{fd, POLLOUT, 0}, {linkWake, POLLIN, 0}, {CancelFd(), POLLIN, 0}};
        const int n = PollFor(fds, fds[2].fd >= 0 ? 3 : 2, left > 0 ? static_cast<int>(left) : 0);
        if (n < 0) return errno;
        if (g_connectsCancelled.load() || linkCancelled.load() || (fds[2].revents & POLLIN)) return ECANCELED;
        if (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) break;
        if (n == 0) return ETIMEDOUT;
        uint64_t count;  // a Wake before the connect was done: the worker looks again later
        (void)!read(linkWake, &count, sizeof count);
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) < 0) return errno;
    return error;
}

void Signal(int fd) {
    const uint64_t one = 1;
    if (fd >= 0) (void)!write(fd, &one, sizeof one);
}

}  // namespace

void CancelPendingConnects() {
    g_connectsCancelled.store(true);
    Signal(CancelFd());
}

ServerLink::ServerLink() : m_platform(new Platform) {}

ServerLink::~ServerLink() { Close(); }

// The link's eventfd, made once before its first wait (a connect's included).
bool ServerLink::MakeWake() {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_platform->wake >= 0) return true;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake >= 0) wake = AboveStandardStreams(wake);
    m_platform->wake = wake;
    return wake >= 0;
}

bool ServerLink::Adopt(std::intptr_t handle) {
    if (IsOpen() || !MakeWake()) return false;
    std::lock_guard<std::mutex> g(m_lock);
    m_handle = handle;
    return true;
}

NetResult ServerLink::Connect(const char* host, int port) {
    if (IsOpen()) return NetResult{NetStatus::kFailed, EISCONN, 0};
    if (!MakeWake()) return NetResult{NetStatus::kNoSocket, errno, 0};
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0) fd = AboveStandardStreams(fd);
    if (fd < 0) return NetResult{NetStatus::kNoSocket, errno, 0};

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));  // a port above 65535 wraps
    int error = 0;
    if (g_connectsCancelled.load() || m_cancelled.load()) {
        error = ECANCELED;
    } else if (host == nullptr || inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        error = EINVAL;  // not an IPv4 text: never looked up as a name
    } else if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
        error = errno == EINPROGRESS ? FinishConnect(fd, m_platform->wake, m_cancelled) : errno;
    }
    if (error != 0) {
        close(fd);
        const NetStatus status = error == EINVAL ? NetStatus::kRefused : socket_ops::StatusOf(error);
        return NetResult{status, error, 0};
    }

    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timeval tv{kReceiveTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::lock_guard<std::mutex> g(m_lock);
    m_handle = fd;
    // A cancel that came while the connect was finishing: the server sees the end at once.
    if (m_cancelled.load()) shutdown(fd, SHUT_RDWR);
    return NetResult{};
}

NetResult ServerLink::Wait(bool forWrite, int milliseconds, unsigned* ready) {
    *ready = 0;
    if (m_cancelled.load()) return NetResult{NetStatus::kCancelled, 0, 0};
    if (!IsOpen()) return NetResult{NetStatus::kFailed, EBADF, 0};
    pollfd p[2] = {{static_cast<int>(m_handle), static_cast<short>(POLLIN | (forWrite ? POLLOUT : 0)), 0},
                   {m_platform->wake, POLLIN, 0}};
    const int n = PollFor(p, 2, milliseconds < 0 ? -1 : milliseconds);
    if (n < 0) return NetResult{NetStatus::kFailed, errno, 0};
    if (p[1].revents & POLLIN) {
        uint64_t count;
        (void)!read(m_platform->wake, &count, sizeof count);
        *ready |= kWoken;
    }
    if (m_cancelled.load()) return NetResult{NetStatus::kCancelled, 0, 0};
    if (p[0].revents & POLLNVAL) return NetResult{NetStatus::kFailed, EBADF, 0};
    // End of stream and errors count as ready: the next call reports them.
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) *ready |= kReadable;
    if (p[0].revents & (POLLOUT | POLLHUP | POLLERR)) *ready |= kWritable;
    if (n == 0) return NetResult{NetStatus::kTimedOut, 0, 0};
    return NetResult{};
}

void ServerLink::Wake() {
    std::lock_guard<std::mutex> g(m_lock);
    Signal(m_platform->wake);
}

void ServerLink::Cancel() {
    std::lock_guard<std::mutex> g(m_lock);
    m_cancelled.store(true);
    if (m_handle != kNoHandle) shutdown(static_cast<int>(m_handle), SHUT_RDWR);
    Signal(m_platform->wake);
}

void ServerLink::Close() {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_handle != kNoHandle) close(static_cast<int>(m_handle));
    if (m_platform->wake >= 0) close(m_platform->wake);
    m_handle = kNoHandle;
    m_platform->wake = -1;
}

namespace socket_ops {

int SendOnce(std::intptr_t handle, const char* bytes, int length) {
    for (;;) {
        const ssize_t n = send(static_cast<int>(handle), bytes, static_cast<size_t>(length),
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0 || errno != EINTR) return static_cast<int>(n);
    }
}

int RecvOnce(std::intptr_t handle, char* buffer, int length) {
    for (;;) {
        const ssize_t n = recv(static_cast<int>(handle), buffer, static_cast<size_t>(length), MSG_DONTWAIT);
        if (n >= 0 || errno != EINTR) return static_cast<int>(n);
    }
}

int LastError() { return errno; }
bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
int TimedOutError() { return EAGAIN; }  // what SO_RCVTIMEO reports
int InvalidArgumentError() { return EINVAL; }

NetStatus StatusOf(int error) {
    switch (error) {
    case ECONNREFUSED: return NetStatus::kRefused;
    case ETIMEDOUT: return NetStatus::kTimedOut;
    case ECANCELED: return NetStatus::kCancelled;
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE: return NetStatus::kReset;
    default: return NetStatus::kFailed;
    }
}

}  // namespace socket_ops
