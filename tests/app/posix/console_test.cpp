// The headless program's console on a real pipe: lines end in "\n", and a reader that stops
// reading costs lines (counted and reported once it reads again), never a wait of the writer.
#include "app/posix/console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) r = fds[0], w = fds[1];
    }
    ~Pipe() {
        if (r >= 0) close(r);
        if (w >= 0) close(w);
    }
    // Reads until the text read so far contains `until`, or the deadline passes.
    std::string ReadUntil(std::string& got, const std::string& until) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        char buf[4096];
        while (got.find(until) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{r, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = read(r, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
};

TEST(Console, LinesEndInLineFeed) {
    Pipe pipe;
    ASSERT_GE(pipe.r, 0);
    StdoutConsole console(pipe.w);
    console.Append("[2026-01-03 09:31:07:123] [CAT->VAN] [001] [ACK]\r\n");
    console.Append("a\rb\r\nc\r\n");
    std::string got;
    pipe.ReadUntil(got, "c\n");
    EXPECT_EQ(got, "[2026-01-03 09:31:07:123] [CAT->VAN] [001] [ACK]\na\rb\nc\n");
}

TEST(Console, AReaderThatStopsCostsCountedLinesNotTheWriter) {
    Pipe pipe;
    ASSERT_GE(pipe.r, 0);
    fcntl(pipe.w, F_SETPIPE_SZ, 4096);
    StdoutConsole console(pipe.w);
    // Far more than the pipe and the console's ring hold; nobody reads meanwhile. Were the
    // writer held, this loop would never end.
    const int kLines = 40000;
    char line[64];
    for (int i = 0; i < kLines; ++i) {
        std::snprintf(line, sizeof line, "line %05d of the trace, long enough\r\n", i);
        console.Append(line);
    }
    std::string got;
    pipe.ReadUntil(got, "줄 생략\n");
    console.Append("after\r\n");
    pipe.ReadUntil(got, "after\n");

    // What came through is the first lines in order, then the count of the rest, then "after".
    int next = 0;
    std::size_t at = 0;
    for (;;) {
        std::snprintf(line, sizeof line, "line %05d of the trace, long enough\n", next);
        if (got.compare(at, std::strlen(line), line) != 0) break;
        at += std::strlen(line);
        ++next;
    }
    ASSERT_GT(next, 0);
    ASSERT_LT(next, kLines);
    EXPECT_EQ(got.substr(at), "콘솔 출력 지연: " + std::to_string(kLines - next) + "줄 생략\nafter\n");
}

TEST(Console, StopEndsWhileTheReaderIsAway) {
    Pipe pipe;
    ASSERT_GE(pipe.r, 0);
    fcntl(pipe.w, F_SETPIPE_SZ, 4096);
    StdoutConsole console(pipe.w);
    const std::string line(200, 'x');
    for (int i = 0; i < 100; ++i) console.Append((line + "\r\n").c_str());
    console.Stop();  // returns although the pipe never drains
    console.Append("late\r\n");
    std::string got;
    char buf[4096];
    for (pollfd p{pipe.r, POLLIN, 0}; poll(&p, 1, 0) > 0;) {
        const ssize_t n = read(pipe.r, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_FALSE(got.empty());
    EXPECT_EQ(got.find("late"), std::string::npos);
}

}  // namespace
