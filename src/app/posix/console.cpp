#include "app/posix/console.h"

#include "app/posix/journal_events.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <poll.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace {

class FdOutput final : public LineOutput {
public:
    explicit FdOutput(int fd) : m_fd(fd), m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~FdOutput() override {
        if (m_wake >= 0) close(m_wake);
    }

    std::size_t Write(const char* data, std::size_t n) override {
        for (;;) {
            pollfd fds[2] = {{m_fd, POLLOUT, 0}, {m_wake, POLLIN, 0}};
            const int r = poll(fds, m_wake >= 0 ? 2 : 1, -1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || (fds[1].revents & POLLIN)) return 0;
            if (fds[0].revents & (POLLERR | POLLNVAL)) return 0;
            // Room is there: a piece no larger than a pipe's atomic write then goes through
            // without waiting on a pipe or a socket.
            const ssize_t w = write(m_fd, data, n < 512 ? n : 512);
            if (w > 0) return static_cast<std::size_t>(w);
            if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return 0;  // closed (EPIPE) or broken
        }
    }

    void Wake() override {
        const std::uint64_t one = 1;
        if (m_wake >= 0) (void)!write(m_wake, &one, sizeof one);
    }

private:
    int m_fd;
    int m_wake;
};

std::size_t ConsoleDropped(char* buf, std::size_t size, std::uint64_t count) {
    const int n = std::snprintf(buf, size, "콘솔 출력 지연: %" PRIu64 "줄 생략\n", count);
    return n < 0 ? 0 : (static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1);
}

// About a thousand lines: a burst while the reader is busy, not a reader that has stopped.
constexpr std::size_t kConsoleRing = 64 * 1024;

}  // namespace

std::unique_ptr<LineOutput> MakeFdOutput(int fd) { return std::make_unique<FdOutput>(fd); }

StdoutConsole::StdoutConsole(int fd) : m_queue(MakeFdOutput(fd), kConsoleRing, ConsoleDropped) {}

void StdoutConsole::Append(const char* line) {
    // Line ends become "\n"; a lone "\r" is kept, as the edit control would keep it. The line is
    // put together in a buffer of the calling thread's, which grows to the longest line once.
    thread_local std::vector<char> buf;
    const std::size_t len = std::strlen(line);
    if (buf.size() < len) buf.resize(len < 16384 ? 16384 : len);
    std::size_t n = 0;
    for (std::size_t i = 0; i < len; ++i) {
        if (line[i] == '\r' && i + 1 < len && line[i + 1] == '\n') continue;
        buf[n++] = line[i];
    }
    m_queue.Push(buf.data(), n);
}

void HeadlessTrayIcon::SetIcon(int iconResource) {
    const int old = m_icon.exchange(iconResource);
    if (m_verbose && old != iconResource) {
        char text[32];
        std::snprintf(text, sizeof text, "tray icon %d", iconResource);
        m_verbose->Plain(text);
    }
}
