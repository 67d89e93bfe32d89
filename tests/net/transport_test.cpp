// The TCP client transport on real loopback connections: connect, refusal, the 6 s bound, whole
// sends, exact receives, end of stream, the link's own cancel and wake-up, and the bounds that
// hold against a server that stops reading or trickles its answer. The transport writes no log:
// every outcome is a status.
#include "net/transport.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

[[maybe_unused]] loopback::Library g_library;  // the test's own sockets need the library

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

// A listener, a connected link and the accepted server side. No test writes a log line.
class Connected : public InTempDir {
protected:
    void SetUp() override {
        InTempDir::SetUp();
        m_listener = loopback::Bound(4, &m_port);
        ASSERT_GT(m_listener, 0);
        // Ports are taken modulo 65536: every connection here goes through that narrowing.
        ASSERT_TRUE(m_link.Connect("127.0.0.1", m_port + 65536).Ok());
        m_server = loopback::Accept(m_listener);
        ASSERT_GT(m_server, 0);
    }
    void TearDown() override {
        m_link.Close();
        if (m_server > 0) loopback::Close(m_server);
        if (m_listener > 0) loopback::Close(m_listener);
        EXPECT_FALSE(LogDirExists());
        InTempDir::TearDown();
    }
    void CloseServer() {
        loopback::Close(m_server);
        m_server = -1;
    }
    ServerLink m_link;
    int m_listener = -1, m_port = 0, m_server = -1;
};

}  // namespace

using Transport = InTempDir;

TEST_F(Connected, BlockingSocketWith17SecondReceiveTimeoutCarriesBothWays) {
    const int h = static_cast<int>(m_link.Handle());
#if !defined(_WIN32)
    EXPECT_GT(h, 2);
    EXPECT_EQ(fcntl(h, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(h, F_GETFD) & FD_CLOEXEC, 0);
#endif
    EXPECT_EQ(loopback::ReceiveTimeoutMs(h), 17000);

    ASSERT_TRUE(m_link.SendAll("REQUEST", 7).Ok());
    EXPECT_EQ(ServerRead(m_server, 7), "REQUEST");

    unsigned ready = 0;
    EXPECT_EQ(m_link.Wait(false, 0, &ready).status, NetStatus::kTimedOut);
    char buffer[16] = {};
    EXPECT_EQ(m_link.RecvNow(buffer, 6).count, 0);  // nothing yet: no wait, no failure
    ASSERT_EQ(loopback::Send(m_server, "ANSWER", 6), 6);
    ASSERT_TRUE(m_link.Wait(false, 10000, &ready).Ok());
    EXPECT_TRUE(ready & ServerLink::kReadable);
    const NetResult r = m_link.RecvExactWithin(buffer, 6, 5000);
    ASSERT_TRUE(r.Ok());
    EXPECT_EQ(r.count, 6);
    EXPECT_EQ(std::string(buffer), "ANSWER");
}

TEST_F(Connected, SendAllOfZeroBytesAndOfALargeBuffer) {
    EXPECT_TRUE(m_link.SendAll("", 0).Ok());
    std::string big(1 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 11));
    auto reader = std::async(std::launch::async, [&] { return ServerRead(m_server, static_cast<int>(big.size())); });
    const NetResult r = m_link.SendAll(big.data(), static_cast<int>(big.size()));
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.count, static_cast<int>(big.size()));
    EXPECT_TRUE(reader.get() == big);  // the empty send put nothing on the wire
}

TEST_F(Connected, RecvExactWaitsForTheLastPieceAndEndOfStreamKeepsWhatCame) {
    char buffer[16] = {};
    auto receive = std::async(std::launch::async, [&] { return m_link.RecvExactWithin(buffer, 10, 30000); });
    ASSERT_EQ(loopback::Send(m_server, "abcd", 4), 4);
    EXPECT_EQ(receive.wait_for(100ms), std::future_status::timeout);
    ASSERT_EQ(loopback::Send(m_server, "efg", 3), 3);
    EXPECT_EQ(receive.wait_for(100ms), std::future_status::timeout);
    ASSERT_EQ(loopback::Send(m_server, "hij", 3), 3);
    EXPECT_TRUE(receive.get().Ok());
    EXPECT_EQ(std::string(buffer), "abcdefghij");

    char rest[16] = {};
    ASSERT_EQ(loopback::Send(m_server, "abc", 3), 3);
    CloseServer();
    const NetResult r = m_link.RecvExactWithin(rest, 10, 30000);
    EXPECT_EQ(r.status, NetStatus::kPeerClosed);
    EXPECT_EQ(r.count, 3);
    EXPECT_EQ(std::string(rest), "abc");

    // Nothing asked for reads as end of stream, without a receive that could wait for data.
    const auto start = Clock::now();
    EXPECT_EQ(m_link.RecvExactWithin(rest, 0, 30000).status, NetStatus::kPeerClosed);
    EXPECT_LT(SecondsSince(start), 5.0);
}

// The link's own cancel ends a wait and a receive under way at once, and every call after it;
// the server sees the end of the stream.
TEST_F(Connected, CancelEndsEveryWaitAtOnceAndTheServerSeesTheEnd) {
    unsigned ready = 0;
    auto waiter = std::async(std::launch::async, [&] { return m_link.Wait(false, 100000, &ready); });
    char buffer[16] = {};
    EXPECT_EQ(waiter.wait_for(200ms), std::future_status::timeout);  // really blocked
    const auto start = Clock::now();
    m_link.Cancel();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiter.get().status, NetStatus::kCancelled);
    std::printf("the cancel woke the waiter after %.3f s\n", SecondsSince(start));
    m_link.Cancel();  // again: nothing changes
    EXPECT_EQ(m_link.Wait(false, 100000, &ready).status, NetStatus::kCancelled);
    EXPECT_EQ(m_link.RecvExactWithin(buffer, 4, 100000).status, NetStatus::kCancelled);
    EXPECT_EQ(m_link.SendNow("x", 1).status, NetStatus::kCancelled);
    EXPECT_EQ(loopback::Recv(m_server, buffer, sizeof buffer), 0);
}

TEST_F(Connected, CancelEndsAReceiveThatHasPartOfItsBytes) {
    char buffer[16] = {};
    auto receive = std::async(std::launch::async, [&] { return m_link.RecvExactWithin(buffer, 10, 100000); });
    ASSERT_EQ(loopback::Send(m_server, "abc", 3), 3);
    EXPECT_EQ(receive.wait_for(200ms), std::future_status::timeout);
    m_link.Cancel();
    ASSERT_EQ(receive.wait_for(5s), std::future_status::ready);
    const NetResult r = receive.get();
    EXPECT_EQ(r.status, NetStatus::kCancelled);
    EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(Connected, WakeEndsOneWaitAndTheLinkGoesOn) {
    unsigned ready = 0;
    auto waiter = std::async(std::launch::async, [&] { return m_link.Wait(false, 100000, &ready); });
    EXPECT_EQ(waiter.wait_for(200ms), std::future_status::timeout);
    m_link.Wake();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiter.get().Ok());
    EXPECT_EQ(ready, unsigned{ServerLink::kWoken});
    ASSERT_TRUE(m_link.SendAll("ok", 2).Ok());
    EXPECT_EQ(ServerRead(m_server, 2), "ok");
}

TEST_F(Connected, SendToAClosedPeerIsAResetAndRaisesNoSignal) {
    CloseServer();
    char chunk[4096] = {};
    NetResult r;
    for (int i = 0; i < 1000 && r.Ok(); ++i) r = m_link.SendAll(chunk, sizeof chunk);
    EXPECT_EQ(r.status, NetStatus::kReset);
    EXPECT_NE(r.error, 0);
}

// A server that accepts and then never reads: once the buffers on both sides are full, the send
// gives up after the transfer time-out instead of holding the caller for good.
TEST_F(Connected, SendToAServerThatNeverReadsGivesUp) {
    SetTransferTimeoutMs(300);
    std::vector<char> chunk(1 << 16, 'x');
    NetResult r;
    int rounds = 0;
    for (; rounds < 2000 && r.Ok(); ++rounds) r = m_link.SendAll(chunk.data(), static_cast<int>(chunk.size()));
    SetTransferTimeoutMs(17000);
    EXPECT_EQ(r.status, NetStatus::kTimedOut);
    EXPECT_EQ(r.error, TimedOutErrorNumber());
    EXPECT_LT(r.count, static_cast<int>(chunk.size()));
}

// Ten bytes, one every 100 ms: each piece comes well within the bound, the whole answer not.
TEST_F(Connected, TrickledAnswerRunsOutOfItsOneDeadline) {
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (int i = 0; i < 10 && !stop.load(); ++i) {
            std::this_thread::sleep_for(100ms);  // the slow server, not a synchronisation
            if (loopback::Send(m_server, "z", 1) != 1) break;
        }
    });
    char buffer[16] = {};
    const NetResult r = m_link.RecvExactWithin(buffer, 10, 350);
    stop.store(true);
    trickle.join();
    EXPECT_EQ(r.status, NetStatus::kTimedOut);
    EXPECT_EQ(r.error, TimedOutErrorNumber());
    EXPECT_LT(r.count, 10);
}

TEST_F(Transport, RefusedAndNonIpv4ConnectsFailAtOnceWithoutALookUp) {
    int port = 0;
    const int closed = loopback::Bound(-1, &port);  // bound, never listening: the port refuses
    ASSERT_GT(closed, 0);
    ServerLink link;
    const auto start = Clock::now();
    EXPECT_EQ(link.Connect("127.0.0.1", port).status, NetStatus::kRefused);
    for (const char* host : {"localhost", "payment.example", "", "127.0.0.256", "1.2.3.4.5"})
        EXPECT_EQ(link.Connect(host, 80).status, NetStatus::kRefused) << host;
    EXPECT_LT(SecondsSince(start), 3.0);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(LogDirExists());
    loopback::Close(closed);
}

// A listener whose queue is full and that never accepts: the kernel drops further SYNs, so
// the connect gets no answer at all and only the 6 s bound (or the link's cancel) ends it.
TEST_F(Transport, UnansweredConnectGivesUpAfterSixSeconds) {
    int port = 0;
    const int listener = loopback::Bound(0, &port);
    ASSERT_GT(listener, 0);
    const int filler = loopback::Connect(port);
    ASSERT_GT(filler, 0);
    ASSERT_TRUE(loopback::Readable(listener, 5000));  // the filler sits in the accept queue

    ServerLink link;
    const auto start = Clock::now();
    EXPECT_EQ(link.Connect("127.0.0.1", port).status, NetStatus::kTimedOut);
    const double waited = SecondsSince(start);
    std::printf("unanswered connect returned after %.3f s\n", waited);
    EXPECT_GE(waited, 5.9);
    EXPECT_LT(waited, 9.0);

    // The link's own cancel ends such a connect at once; a Wake does not.
    ServerLink other;
    auto connect = std::async(std::launch::async, [&] { return other.Connect("127.0.0.1", port); });
    ASSERT_EQ(connect.wait_for(300ms), std::future_status::timeout);
    other.Wake();
    ASSERT_EQ(connect.wait_for(300ms), std::future_status::timeout);
    other.Cancel();
    ASSERT_EQ(connect.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(connect.get().status, NetStatus::kCancelled);
    EXPECT_EQ(other.Connect("127.0.0.1", port).status, NetStatus::kCancelled);  // for good
    loopback::Close(filler);
    loopback::Close(listener);
}

#if !defined(_WIN32)
TEST_F(Transport, HandleNeverTakesAStandardStreamAndNoDescriptorMeansNoSocket) {
    int port = 0;
    const int listener = loopback::Bound(4, &port);
    ASSERT_GT(listener, 0);
    const int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    close(0);  // descriptor 0 is free: a plain socket() would take it
    ServerLink link;
    const bool connected = link.Connect("127.0.0.1", port).Ok();
    dup2(savedStdin, 0);
    close(savedStdin);
    EXPECT_TRUE(connected);
    EXPECT_GT(link.Handle(), 2);
    link.Close();

    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken;
    for (int fd; (fd = dup(2)) >= 0;) taken.push_back(fd);
    const NetStatus status = link.Connect("127.0.0.1", port).status;
    for (int fd : taken) close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(status, NetStatus::kNoSocket);
    loopback::Close(listener);
}
#endif
