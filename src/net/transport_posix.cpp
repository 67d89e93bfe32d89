// TCP client transport over POSIX sockets: a non-blocking connect bounded by poll, then a
// blocking socket with a receive time-out. Handles are file descriptors of 3 and above.
#include "net/transport.h"

#include "diag/log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
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

// One poll on one descriptor; EINTR waits again for what is left of the time.
int PollOne(int fd, short events, int milliseconds, short* revents) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, milliseconds);
        if (n >= 0) {
            if (revents) *revents = p.revents;
            return n;
        }
        if (errno != EINTR) return -1;
        if (milliseconds > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            milliseconds = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
}

// Waits for a connect in progress; 0 when it completed without error, else the error number.
int FinishConnect(int fd) {
    short revents = 0;
    const int n = PollOne(fd, POLLOUT, kConnectWaitMs, &revents);
    if (n < 0) return errno;
    if (n == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) < 0) return errno;
    return error;
}

}  // namespace

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
    if (host == nullptr || inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
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

int WaitReadableMs(int handle, int milliseconds) {
    if (handle <= 0) {  // no connection: poll would just sleep, select fails
        errno = EBADF;
        return -1;
    }
    short revents = 0;
    const int n = PollOne(handle, POLLIN, milliseconds < 0 ? -1 : milliseconds, &revents);
    if (n > 0 && (revents & POLLNVAL)) {
        errno = EBADF;  // as select reports a handle that is not open
        return -1;
    }
    return n;  // end of stream and errors count as readable: the next receive reports them
}

int WaitReadable(int handle, int seconds) {
    if (seconds < 0) return WaitReadableMs(handle, -1);
    const long long ms = static_cast<long long>(seconds) * 1000;
    return WaitReadableMs(handle, ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms));
}

int SendAll(int bLog, int handle, const char* bytes, int length) {
    if (length < 0) {
        LogPrintf(bLog, "TEVN-> ERROR : Write Error (ERRNO = %d)\n", EINVAL);
        return -1;
    }
    int offset = 0, remaining = length;
    do {  // a length of 0 still makes one call
        const ssize_t sent = send(handle, bytes + offset, static_cast<size_t>(remaining), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            LogPrintf(bLog, "TEVN-> ERROR : Write Error (ERRNO = %d)\n", errno);
            return -1;
        }
        offset += static_cast<int>(sent);
        remaining -= static_cast<int>(sent);
    } while (remaining > 0);
    return 1;
}

int RecvExact(int bLog, int handle, char* buffer, int length) {
    // Nothing asked for reads as end of stream. No zero-byte receive is made for it: on some
    // systems (Linux) that call waits for data or for the receive time-out.
    if (length <= 0) {
        LogPrintf(bLog, "TEVN-> ERROR : Read Error (EOF 수신)\n");
        return -1;
    }
    int offset = 0, remaining = length;
    do {
        const ssize_t got = recv(handle, buffer + offset, static_cast<size_t>(remaining), 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            LogPrintf(bLog, "TEVN-> ERROR : Read Error (ERRNO = %d)\n", errno);
            return -1;
        }
        if (got == 0) {
            LogPrintf(bLog, "TEVN-> ERROR : Read Error (EOF 수신)\n");
            return -1;
        }
        offset += static_cast<int>(got);
        remaining -= static_cast<int>(got);
    } while (remaining > 0);
    return 1;
}

int RecvSome(int handle, char* buffer, int length) {
    for (;;) {
        const ssize_t got = recv(handle, buffer, static_cast<size_t>(length < 0 ? 0 : length), 0);
        if (got >= 0) return static_cast<int>(got);
        if (errno != EINTR) return -1;
    }
}

void ShutdownServer(int handle) {
    if (handle > 0) shutdown(handle, SHUT_RDWR);
}

void CloseServer(int handle) {
    if (handle > 0) close(handle);
}

void ReleaseSocketLibrary() {}

int LastSocketError() { return errno; }
