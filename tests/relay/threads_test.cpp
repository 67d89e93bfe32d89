// The window thread and the receive worker together: a new connection while one is open, a
// close while the worker is blocked, an answer while the window thread is busy, Stop.
#include "support/relay_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace {

class Threads : public ::testing::Test {
protected:
    FreshDirectory dir;

    static int WaitText(RelayRig& rig, int from, const std::string& text) {
        return rig.rec.WaitEvent(static_cast<std::size_t>(from), [&](const Seen& s) {
            return s.kind == TRACE_TEXT && s.text == text;
        });
    }
};

TEST_F(Threads, ConnectFrameWhileConnectedEndsTheOldConnectionFirst) {
    for (const char start : {'P', 'S'}) {
        SCOPED_TRACE(start);
        TestServer a, b;
        RelayRig rig{Relay::Timeouts{20, 20}};
        const auto connected = [&](int from) {
            return rig.rec.WaitEvent(static_cast<std::size_t>(from), [&](const Seen& s) {
                return start == 'P' ? s.kind == TRACE_TMS : s.text.rfind("서버접속-->", 0) == 0;
            });
        };
        const int k1 = rig.Terminal(ConnectFrame(start, "127.0.0.1", a.Port(), 'E'));
        const int fdA = a.Accept();
        ASSERT_GE(fdA, 0);
        ASSERT_GE(connected(k1), 0);

        const int k2 = rig.Terminal(ConnectFrame(start, "127.0.0.1", b.Port(), 'E'));
        const int fdB = b.Accept();
        ASSERT_GE(fdB, 0);
        const int c2 = connected(k2);
        ASSERT_GE(c2, 0);
        EXPECT_TRUE(SeesEof(fdA, kEventBound));
        // The old worker's end came before the new connection's event.
        const std::string reason = start == 'P' ? "TIMEOUT 접속해제!-->(-1)" : "#1 RECV 접속해제!-->(-1)";
        const int r = WaitText(rig, k2, reason);
        const int e = WaitText(rig, k2, "접속해제!(-1)-->쓰레드종료");
        ASSERT_GE(r, 0);
        ASSERT_GE(e, 0);
        EXPECT_LT(r, e);
        EXPECT_LT(e, c2);
        EXPECT_TRUE(rig.Connected());
        EXPECT_TRUE(rig.WorkerRunning());

        // Only the new connection carries traffic now.
        ASSERT_GE(rig.Terminal("\x06\x06\x06"), 0);
        EXPECT_EQ(ReadBytes(fdB, 3), "\x06\x06\x06");
        ASSERT_TRUE(SendBytes(fdB, "\x06"));
        EXPECT_EQ(rig.FromRelay(1), "\x06");
    }
}

TEST_F(Threads, AnswerPassesABusyWindowThreadTracedFirstAndLongPiecesArriveWhole) {
    TestServer server;
    RelayRig rig{Relay::Timeouts{20, 20}};
    const int k = rig.Terminal(ConnectFrame('P', "127.0.0.1", server.Port(), 'E'));
    const int fd = server.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_GE(rig.rec.WaitEvent(k, [](const Seen& s) { return s.kind == TRACE_TMS; }), 0);

    // Keep the window thread busy: the worker traces its answers itself and never waits for it.
    std::mutex m;
    std::condition_variable cv;
    bool busy = false, release = false;
    std::thread blocker([&] {
        rig.OnWindow([&] {
            std::unique_lock<std::mutex> lock(m);
            busy = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
        });
    });
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, kEventBound, [&] { return busy; }));
    }
    // The answers' events as recorded so far: each must be there once its bytes are.
    auto answers = [&](std::size_t from) {
        std::vector<Seen> seen;
        const std::vector<Seen> t = rig.rec.Timeline();
        for (std::size_t i = from; i < t.size(); ++i)
            if (t[i].what == Seen::EVENT && t[i].kind == TRACE_TO_TERMINAL) seen.push_back(t[i]);
        return seen;
    };

    // Both answers go out while the window thread is still busy.
    const std::size_t from = rig.rec.Size();
    const bool sent = SendBytes(fd, "first");
    const std::string got = rig.FromRelay(5);
    const std::vector<Seen> afterFirst = answers(from);
    std::string big(5000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('A' + i % 26);
    const bool sentBig = SendBytes(fd, big);
    const std::string gotBig = rig.FromRelay(big.size());
    const std::vector<Seen> seen = answers(from);
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    blocker.join();

    ASSERT_TRUE(sent && sentBig);
    EXPECT_EQ(got, "first");
    EXPECT_EQ(gotBig, big);
    ASSERT_EQ(afterFirst.size(), 1u);
    EXPECT_EQ(afterFirst[0].count, 5u);
    // The 5000 bytes came in one receive: one write, one event with the real count.
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].count, 5000u);
    EXPECT_EQ(seen[1].raw, big.substr(0, kTraceRawSize));
    EXPECT_TRUE(rig.rec.WaitConsoleLine("[CAT<-VAN] [5000] [전문수신]"));
}

TEST_F(Threads, DleWakesAWorkerBlockedInTheMiddleOfAnAnswer) {
    TestServer server;
    RelayRig rig{Relay::Timeouts{20, 20}};
    rig.relay->SetLog(1);
    const int k = rig.Terminal(ConnectFrame('S', "127.0.0.1", server.Port(), 'E'));
    const int fd = server.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_GE(WaitText(rig, k, "서버접속-->127.0.0.1:" + std::to_string(server.Port())), 0);

    // Half an enveloped answer: the worker waits inside the body read.
    ASSERT_TRUE(SendBytes(fd, "0000000100" + std::string(40, 'x')));
    const int d = rig.Terminal("\x10\x10\x10");
    ASSERT_GE(d, 0);
    EXPECT_TRUE(SeesEof(fd, kEventBound));
    ASSERT_GE(WaitText(rig, d, "접속해제!(4)-->쓰레드종료"), 0);
    const std::vector<std::string> log = LogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(), "TEVN-> Receive Error[100]!"), log.end());
    EXPECT_FALSE(rig.Connected());
}

TEST_F(Threads, StopEndsTheConnectionAndJoinsTheWorker) {
    TestServer server;
    RelayRig rig{Relay::Timeouts{20, 20}};
    const int k = rig.Terminal(ConnectFrame('P', "127.0.0.1", server.Port(), 'E'));
    const int fd = server.Accept();
    ASSERT_GE(fd, 0);
    ASSERT_GE(rig.rec.WaitEvent(k, [](const Seen& s) { return s.kind == TRACE_TMS; }), 0);
    ASSERT_TRUE(rig.WorkerRunning());

    rig.relay->Stop();  // from this thread: handed to the window thread, which keeps serving
    EXPECT_FALSE(rig.WorkerRunning());
    EXPECT_FALSE(rig.Connected());
    EXPECT_TRUE(SeesEof(fd, kEventBound));
    // The worker's two events were rendered before Stop returned.
    EXPECT_GE(rig.rec.WaitEvent(k, [](const Seen& s) { return s.text == "접속해제!(-1)-->쓰레드종료"; },
                                0ms),
              0);
}

}  // namespace
