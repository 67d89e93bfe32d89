// Loopback servers and byte-level reads and writes with deadlines (POSIX): the payment server's
// side in the relay tests and fuzz targets, and the terminal's side of a pty.
#pragma once
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

using namespace std::chrono_literals;

// Safety bound for waits on events that must come; the waits end as soon as they do.
constexpr auto kEventBound = 15s;

// Accepts one connection on a listening socket within the bound; -1 if none came. The caller
// owns it.
int AcceptOne(int listenFd, std::chrono::milliseconds bound);

// A listening loopback socket and the connections it accepts.
class TestServer {
public:
    explicit TestServer(const char* address = "127.0.0.1");
    ~TestServer();
    int Port() const { return m_port; }
    const std::string& Address() const { return m_address; }
    // The listening socket, for callers that accept (and close) connections themselves.
    int Fd() const { return m_fd; }
    // Accepts one connection; -1 when none came within the bound.
    int Accept(std::chrono::milliseconds bound = kEventBound);
    // True when a connection is waiting to be accepted within the bound.
    bool Pending(std::chrono::milliseconds bound);

private:
    int m_fd = -1;
    int m_port = 0;
    std::string m_address;
    std::vector<int> m_accepted;
};

// A port on which nothing listens: connects are refused at once.
int RefusedPort();

// Writes all bytes (a socket whose peer has gone reports false, without SIGPIPE).
bool SendBytes(int fd, const std::string& bytes);
// Reads exactly n bytes; fewer when the bound passed or the peer closed.
std::string ReadBytes(int fd, std::size_t n, std::chrono::milliseconds bound = kEventBound);
// True when the peer's end of stream arrives within the bound (data before it is skipped).
bool SeesEof(int fd, std::chrono::milliseconds bound);
// True when nothing arrives within the window (the fd stays silent).
bool Silent(int fd, std::chrono::milliseconds window);

std::string ConnectFrame(char start, const std::string& host, int port, char end);
