// The TCP client transport on real loopback connections: connect, refusal, the 6 s bound,
// whole sends, exact receives, end of stream, the receive time-out, waking a waiter, and the
// bounds that hold against a server that stops reading or trickles its answer.
#include "net/transport.h"
#include "support/temp_dir.h"
#include "support/loopback.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#endif

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

[[maybe_unused]] loopback::Library g_library;  // the test's own sockets need the library

const char kEofLine[] = "TEVN-> ERROR : Read Error (EOF \xBC\xF6\xBD\xC5)\r\n";  // 수신 in code page 949

int CountLines(const std::string& log, const char* pattern) {
    const std::regex re(pattern);
    return static_cast<int>(std::distance(std::sregex_iterator(log.begin(), log.end(), re), std::sregex_iterator()));
}
int ConnectErrorLines(const std::string& log) {
    return CountLines(log, R"(\xA2\xB9 TEVN-> ERROR : Connect Error \(ERRNO = -?\d+\)\r\n)");
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Reads exactly n bytes on the server side.
std::string ServerRead(int s, int n) {
    std::string got(static_cast<std::size_t>(n), '\0');
    int off = 0;
    while (off < n) {
        const int r = loopback::Recv(s, &got[off], n - off);
        if (r <= 0) break;
        off += r;
    }
    got.resize(static_cast<std::size_t>(off));
    return got;
}

// A listener, a client handle from ConnectServer and the accepted server side.
class Connected : public InTempDir {
protected:
    void SetUp() override {
        InTempDir::SetUp();
        m_listener = loopback::Bound(4, &m_port);
        ASSERT_GT(m_listener, 0);
        // Ports are taken modulo 65536: every connection here goes through that narrowing.
        m_client = ConnectServer(1, "127.0.0.1", m_port + 65536);
        ASSERT_GT(m_client, 0);
        m_server = loopback::Accept(m_listener);
        ASSERT_GT(m_server, 0);
    }
    void TearDown() override {
        if (m_client > 0) CloseServer(m_client);
        if (m_server > 0) loopback::Close(m_server);
        if (m_listener > 0) loopback::Close(m_listener);
        InTempDir::TearDown();
    }
    int m_listener = -1, m_port = 0, m_client = -1, m_server = -1;
};

}  // namespace

using Transport = InTempDir;

TEST_F(Connected, BlockingConnectionWith17SecondReceiveTimeout) {
#if defined(_WIN32)
    EXPECT_GT(m_client, 0);
#else
    EXPECT_GT(m_client, 2);
    EXPECT_EQ(fcntl(m_client, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(m_client, F_GETFD) & FD_CLOEXEC, 0);
#endif
    EXPECT_EQ(loopback::ReceiveTimeoutMs(m_client), 17000);
    EXPECT_EQ(WaitReadableMs(0, 0), -1);  // 0 is "no connection", never a handle

    ASSERT_EQ(SendAll(1, m_client, "REQUEST", 7), 1);
    EXPECT_EQ(ServerRead(m_server, 7), "REQUEST");

    EXPECT_EQ(WaitReadableMs(m_client, 0), 0);
    ASSERT_EQ(loopback::Send(m_server, "ANSWER", 6), 6);
    EXPECT_EQ(WaitReadable(m_client, 10), 1);
    char buffer[16] = {};
    ASSERT_EQ(RecvExact(1, m_client, buffer, 6), 1);
    EXPECT_EQ(std::string(buffer), "ANSWER");
    EXPECT_FALSE(LogDirExists());  // success writes no line
}

TEST_F(Connected, SendAllOfZeroBytesAndOfALargeBuffer) {
    EXPECT_EQ(SendAll(1, m_client, "", 0), 1);

    std::string big(1 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 11));
    auto reader = std::async(std::launch::async, [&] { return ServerRead(m_server, static_cast<int>(big.size())); });
    EXPECT_EQ(SendAll(1, m_client, big.data(), static_cast<int>(big.size())), 1);
    EXPECT_TRUE(reader.get() == big);  // the empty send put nothing on the wire
    EXPECT_FALSE(LogDirExists());
}

TEST_F(Connected, RecvExactWaitsForTheLastPiece) {
    char buffer[16] = {};
    auto receive = std::async(std::launch::async, [&] { return RecvExact(1, m_client, buffer, 10); });
    ASSERT_EQ(loopback::Send(m_server, "abcd", 4), 4);
    EXPECT_EQ(receive.wait_for(100ms), std::future_status::timeout);
    ASSERT_EQ(loopback::Send(m_server, "efg", 3), 3);
    EXPECT_EQ(receive.wait_for(100ms), std::future_status::timeout);
    ASSERT_EQ(loopback::Send(m_server, "hij", 3), 3);
    EXPECT_EQ(receive.get(), 1);
    EXPECT_EQ(std::string(buffer), "abcdefghij");
}

TEST_F(Connected, EndOfStreamDuringRecvExact) {
    ASSERT_EQ(loopback::Send(m_server, "abc", 3), 3);
    loopback::Close(m_server);
    m_server = -1;
    // End of stream counts as readable.
    EXPECT_EQ(WaitReadable(m_client, 10), 1);
    char buffer[16] = {};
    EXPECT_EQ(RecvExact(1, m_client, buffer, 10), -1);
    EXPECT_EQ(std::string(buffer), "abc");  // the bytes already read stay
    const std::string log = ReadLogs();
    EXPECT_EQ(log.substr(log.size() - sizeof kEofLine + 1), kEofLine);
    EXPECT_EQ(log.find("\xA2\xB9 "), log.rfind("\xA2\xB9 "));  // exactly one line
}

TEST_F(Connected, RecvExactOfZeroBytesReadsAsEndOfStream) {
    char buffer[4] = {};
    const auto start = Clock::now();
    EXPECT_EQ(RecvExact(1, m_client, buffer, 0), -1);
    EXPECT_LT(SecondsSince(start), 5.0);  // the zero-byte receive does not wait for data
    const std::string log = ReadLogs();
    ASSERT_GE(log.size(), sizeof kEofLine);
    EXPECT_EQ(log.substr(log.size() - sizeof kEofLine + 1), kEofLine);
}

TEST_F(Connected, ShutdownWakesAWaiterAtOnce) {
    auto waiter = std::async(std::launch::async, [&] { return WaitReadable(m_client, 100); });
    EXPECT_EQ(waiter.wait_for(200ms), std::future_status::timeout);  // really blocked
    const auto start = Clock::now();
    ShutdownServer(m_client);
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 1);
    std::printf("shutdown woke the waiter after %.3f s\n", SecondsSince(start));
    char byte;
    EXPECT_LE(RecvSome(m_client, &byte, 1), 0);  // nothing more to read, the handle still valid
    // A wait that begins after the shutdown does not block either.
    auto late = std::async(std::launch::async, [&] { return WaitReadable(m_client, 100); });
    ASSERT_EQ(late.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(late.get(), 1);
}

TEST_F(Connected, ShutdownWakesABlockedReceive) {
    char buffer[16] = {};
    auto receive = std::async(std::launch::async, [&] { return RecvExact(1, m_client, buffer, 10); });
    ASSERT_EQ(loopback::Send(m_server, "abc", 3), 3);
    EXPECT_EQ(receive.wait_for(200ms), std::future_status::timeout);  // really blocked
    ShutdownServer(m_client);
    ASSERT_EQ(receive.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(receive.get(), -1);
    EXPECT_EQ(std::string(buffer), "abc");
    // End of stream here, a cancelled call on Windows: one Read Error line either way.
    EXPECT_EQ(CountLines(ReadLogs(), R"(\xA2\xB9 TEVN-> ERROR : Read Error \((ERRNO = \d+|EOF \xBC\xF6\xBD\xC5)\)\r\n)"), 1);
}

TEST_F(Connected, SendToAClosedPeerFailsWithWriteError) {
    loopback::Close(m_server);
    m_server = -1;
    char chunk[4096] = {};
    int result = 1;
    for (int i = 0; i < 1000 && result == 1; ++i) result = SendAll(1, m_client, chunk, sizeof chunk);
    EXPECT_EQ(result, -1);  // and no SIGPIPE on the way
    EXPECT_EQ(CountLines(ReadLogs(), R"(\xA2\xB9 TEVN-> ERROR : Write Error \(ERRNO = \d+\)\r\n)"), 1);
}

// A server that accepts and then never reads: once the buffers on both sides are full, the send
// gives up after the transfer time-out instead of holding the caller for good.
TEST_F(Connected, SendToAServerThatNeverReadsGivesUp) {
    SetTransferTimeoutMs(300);
    std::vector<char> chunk(1 << 16, 'x');
    auto sender = std::async(std::launch::async, [&] {
        int result = 1, rounds = 0;
        for (; rounds < 2000 && result == 1; ++rounds)
            result = SendAll(1, m_client, chunk.data(), static_cast<int>(chunk.size()));
        return result;
    });
    const bool ended = sender.wait_for(60s) == std::future_status::ready;
    SetTransferTimeoutMs(17000);
    ASSERT_TRUE(ended);
    EXPECT_EQ(sender.get(), -1);
    // The time-out's own number (EAGAIN, WSAETIMEDOUT), not some other failure.
    EXPECT_EQ(CountLines(ReadLogs(), R"(\xA2\xB9 TEVN-> ERROR : Write Error \(ERRNO = (11|10060)\)\r\n)"), 1);
}

// Ten bytes, one every 100 ms: each piece comes well within the time-out, the whole answer not.
TEST_F(Connected, TrickledAnswerRunsOutOfItsOneDeadline) {
    SetTransferTimeoutMs(350);
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (int i = 0; i < 10 && !stop.load(); ++i) {
            std::this_thread::sleep_for(100ms);  // the slow server, not a synchronisation
            if (loopback::Send(m_server, "z", 1) != 1) break;
        }
    });
    char buffer[16] = {};
    const int result = RecvExact(1, m_client, buffer, 10);
    stop.store(true);
    trickle.join();
    SetTransferTimeoutMs(17000);
    EXPECT_EQ(result, -1);
    EXPECT_LT(std::string(buffer).size(), 10u);
    EXPECT_EQ(CountLines(ReadLogs(), R"(\xA2\xB9 TEVN-> ERROR : Read Error \(ERRNO = (11|10060)\)\r\n)"), 1);
}

TEST_F(Transport, RefusedConnectFailsAtOnce) {
    int port = 0;
    const int closed = loopback::Bound(-1, &port);  // bound, never listening: the port refuses
    ASSERT_GT(closed, 0);

    const auto start = Clock::now();
    EXPECT_EQ(ConnectServer(0, "127.0.0.1", port), -1);
    ReleaseSocketLibrary();
    const double quiet = SecondsSince(start);
    EXPECT_FALSE(LogDirExists());  // log switch off: no line, no directory

    const auto again = Clock::now();
    EXPECT_EQ(ConnectServer(1, "127.0.0.1", port), -1);
    ReleaseSocketLibrary();
    const double logged = SecondsSince(again);
    std::printf("refused connects returned after %.3f s and %.3f s\n", quiet, logged);
    EXPECT_LT(quiet, 3.0);
    EXPECT_LT(logged, 3.0);
    EXPECT_EQ(ConnectErrorLines(ReadLogs()), 1);
    loopback::Close(closed);
}

TEST_F(Transport, HostThatIsNotAnIpv4TextIsNeverLookedUp) {
    const char* hosts[] = {"localhost", "payment.example", "", "127.0.0.256", "1.2.3.4.5"};
    const auto start = Clock::now();
    for (const char* host : hosts) {
        EXPECT_EQ(ConnectServer(1, host, 80), -1) << host;
        ReleaseSocketLibrary();
    }
    EXPECT_LT(SecondsSince(start), 3.0);
    EXPECT_EQ(ConnectErrorLines(ReadLogs()), 5);
}

// A listener whose queue is full and that never accepts: the kernel drops further SYNs, so
// the connect gets no answer at all and only the 6 s bound ends it.
TEST_F(Transport, UnansweredConnectGivesUpAfterSixSeconds) {
    int port = 0;
    const int listener = loopback::Bound(0, &port);
    ASSERT_GT(listener, 0);
    std::vector<int> fillers;
    fillers.push_back(loopback::Connect(port));
    ASSERT_GT(fillers[0], 0);
    ASSERT_TRUE(loopback::Readable(listener, 5000));  // the filler sits in the accept queue

    const auto start = Clock::now();
    EXPECT_EQ(ConnectServer(1, "127.0.0.1", port), -1);
    ReleaseSocketLibrary();
    const double waited = SecondsSince(start);
    std::printf("unanswered connect returned after %.3f s\n", waited);
    EXPECT_GE(waited, 5.9);
    EXPECT_LT(waited, 9.0);
    EXPECT_EQ(ConnectErrorLines(ReadLogs()), 1);
    for (int f : fillers) loopback::Close(f);
    loopback::Close(listener);
}

#if !defined(_WIN32)
TEST_F(Transport, HandleNeverTakesAStandardStream) {
    int port = 0;
    const int listener = loopback::Bound(4, &port);
    ASSERT_GT(listener, 0);
    const int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    close(0);  // descriptor 0 is free: a plain socket() would take it
    const int h = ConnectServer(1, "127.0.0.1", port);
    dup2(savedStdin, 0);
    close(savedStdin);
    EXPECT_GT(h, 2);
    EXPECT_NE(fcntl(h, F_GETFD) & FD_CLOEXEC, 0);
    CloseServer(h);
    loopback::Close(listener);
}

TEST_F(Transport, NoDescriptorLeftForASocket) {
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken;
    for (int fd; (fd = dup(2)) >= 0;) taken.push_back(fd);
    // The Socket Open Error line cannot be written either (the log file needs a descriptor).
    const int h = ConnectServer(1, "127.0.0.1", 9);
    for (int fd : taken) close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(h, -1);
}
#endif
