#include "support/test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace {

int Ms(std::chrono::milliseconds d) { return static_cast<int>(d.count()); }

bool WaitIn(int fd, std::chrono::milliseconds bound) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, Ms(bound)) == 1;
}

}  // namespace

int AcceptOne(int listenFd, std::chrono::milliseconds bound) {
    if (!WaitIn(listenFd, bound)) return -1;
    return accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

TestServer::TestServer(const char* address) : m_address(address) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(address);
    a.sin_port = 0;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_fd, 64) != 0)
        throw std::runtime_error("cannot listen on loopback");
    socklen_t len = sizeof a;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
}

TestServer::~TestServer() {
    for (int fd : m_accepted) close(fd);
    close(m_fd);
}

int TestServer::Accept(std::chrono::milliseconds bound) {
    const int fd = AcceptOne(m_fd, bound);
    if (fd >= 0) m_accepted.push_back(fd);
    return fd;
}

bool TestServer::Pending(std::chrono::milliseconds bound) { return WaitIn(m_fd, bound); }

int RefusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);  // bound but never listening: the port refuses until someone else takes it
    return ntohs(a.sin_port);
}

bool SendBytes(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ReadBytes(int fd, std::size_t n, std::chrono::milliseconds bound) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + bound;
    char buf[8192];
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitIn(fd, left)) break;
        const std::size_t want = std::min(sizeof buf, n - out.size());
        const ssize_t got = read(fd, buf, want);
        if (got <= 0) break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

bool SeesEof(int fd, std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    char buf[8192];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() < 0 || !WaitIn(fd, left)) return false;
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got <= 0) return true;
    }
}

bool Silent(int fd, std::chrono::milliseconds window) { return !WaitIn(fd, window); }

std::string ConnectFrame(char start, const std::string& host, int port, char end) {
    return std::string(1, start) + host + ":" + std::to_string(port) + std::string(1, end);
}
