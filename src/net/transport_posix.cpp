// TCP client transport over POSIX sockets: a non-blocking connect bounded by poll (and woken by
// CancelPendingConnects through an eventfd), then a blocking socket with a receive time-out
// whose sends and receives never wait inside the call (MSG_DONTWAIT): every wait is a poll with
// its own bound. Handles are file descriptors of 3 and above.
#include "net/socket_ops.h"
#include "net/transport.h"

#include "diag/log.h"

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

namespace {

constexpr int kConnectWaitMs = 6000;
constexpr int kReceiveTimeoutSeconds = 17;

// Callers keep 0 for "no connection", so a socket must never take descriptors 0 to 2 (they can
// be free when the program runs without standard streams).
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

// Waits for a connect in progress; 0 when it completed without error, else the error number.
int FinishConnect(int fd) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {CancelFd(), POLLIN, 0}};
    const int n = PollFor(fds, fds[1].fd >= 0 ? 2 : 1, kConnectWaitMs);
    if (n < 0) return errno;
    if (g_connectsCancelled.load() || (fds[1].revents & POLLIN)) return ECANCELED;
    if (n == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) < 0) return errno;
    return error;
}

}  // namespace

void CancelPendingConnects() {
    g_connectsCancelled.store(true);
    const int fd = CancelFd();
    const uint64_t one = 1;
    if (fd >= 0) (void)!write(fd, &one, sizeof one);
}

int ConnectServer(int bLog, const char* host, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0) fd = AboveStandardStreams(fd);
    if (fd < 0) {
        LogPrintf(bLog, "TEVN-> ERROR : Socket Open Error (ERRNO = %d)\n", errno);
        return -1;
    }

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));  // a port above 65535 wraps
    int error = 0;
    if (g_connectsCancelled.load()) {
        error = ECANCELED;
    } else if (host == nullptr || inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        error = EINVAL;  // not an IPv4 text: never looked up as a name
    } else if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
        error = errno == EINPROGRESS ? FinishConnect(fd) : errno;
    }
    if (error != 0) {
        LogPrintf(bLog, "TEVN-> ERROR : Connect Error (ERRNO = %d)\n", error);
        close(fd);
        errno = error;
        return -1;
    }

    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timeval tv{kReceiveTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

namespace socket_ops {

int SendOnce(int handle, const char* bytes, int length) {
    for (;;) {
        const ssize_t n = send(handle, bytes, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0 || errno != EINTR) return static_cast<int>(n);
    }
}

int RecvOnce(int handle, char* buffer, int length) {
    for (;;) {
        const ssize_t n = recv(handle, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
        if (n >= 0 || errno != EINTR) return static_cast<int>(n);
    }
}

int Wait(int handle, bool forWrite, int milliseconds) {
    if (handle <= 0) {  // no connection: poll would just sleep, select fails
        errno = EBADF;
        return -1;
    }
    pollfd p{handle, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    const int n = PollFor(&p, 1, milliseconds);
    if (n > 0 && (p.revents & POLLNVAL)) {
        errno = EBADF;  // as select reports a handle that is not open
        return -1;
    }
    return n;  // end of stream and errors count as ready: the next call reports them
}

int LastError() { return errno; }
bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
int TimedOutError() { return EAGAIN; }  // what SO_RCVTIMEO reports
int InvalidArgumentError() { return EINVAL; }

}  // namespace socket_ops

void ShutdownServer(int handle) {
    if (handle > 0) shutdown(handle, SHUT_RDWR);
}

void CloseServer(int handle) {
    if (handle > 0) close(handle);
}

void ReleaseSocketLibrary() {}
