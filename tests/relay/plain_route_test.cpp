// The plain route: connect, byte-for-byte forwarding, answers in pieces, the worker's ends.
#include "support/relay_rig.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class PlainRoute : public ::testing::Test {
protected:
    FreshDirectory dir;
    TestServer server;

    int WaitText(RelayRig& rig, int from, const std::string& text) {
        return rig.rec.WaitEvent(static_cast<std::size_t>(from), [&](const Seen& s) {
            return s.kind == TRACE_TEXT && s.text == text;
        });
    }
    // Connects the plain route to the test server; returns the server's end of it.
    int Connect(RelayRig& rig) {
        const int k = rig.Terminal(ConnectFrame('P', "127.0.0.1", server.Port(), 'E'));
        EXPECT_GE(k, 0);
        const int fd = server.Accept();
        EXPECT_GE(rig.rec.WaitEvent(k, [](const Seen& s) { return s.kind == TRACE_TMS; }), 0);
        return fd;
    }
    // Sends an answer piece and checks that it reaches the terminal as one traced write.
    void Answer(RelayRig& rig, int fd, const std::string& piece) {
        const std::size_t from = rig.rec.Size();
        ASSERT_TRUE(SendBytes(fd, piece));
        const int k = rig.rec.WaitEvent(from, [&](const Seen& s) {
            return s.kind == TRACE_TO_TERMINAL && s.count == piece.size();
        });
        ASSERT_GE(k, 0);
        EXPECT_EQ(rig.FromRelay(piece.size()), piece);
        const std::vector<Seen> t = rig.rec.Timeline();
        EXPECT_EQ(t[k].raw, piece);
        EXPECT_EQ(t[k - 1].what, Seen::ICON);
        EXPECT_EQ(t[k - 1].icon, ICON_ANSWER);
    }
};

TEST_F(PlainRoute, RequestGoesOutAsItCameAndTheAnswerComesBackInPieces) {
    RelayRig rig{Relay::Timeouts{20, 20}};
    const int fd = Connect(rig);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(rig.Connected());
    EXPECT_TRUE(rig.WorkerRunning());

    std::string request = "\x02" "0200" "card=4111111111111111" "\x1c" "amount=1000";
    request += std::string("\0\x7f\xff", 3) + "\x03" "LR";
    ASSERT_GE(rig.Terminal(request), 0);
    EXPECT_EQ(ReadBytes(fd, request.size()), request);

    Answer(rig, fd, "\x06");
    Answer(rig, fd, std::string("\x02" "0210 approved", 14) + std::string(30, '\0') + "\x03" "K");

    // The server closes after its answer.
    const std::size_t before = rig.rec.Size();
    shutdown(fd, SHUT_WR);
    const int r = WaitText(rig, before, "#2 RECV 접속해제!-->(0)");
    ASSERT_GE(r, 0);
    const int e = WaitText(rig, r, "접속해제!(0)-->쓰레드종료");
    ASSERT_GE(e, 0);
    const std::vector<Seen> t = rig.rec.Timeline();
    EXPECT_EQ(t[e - 1].what, Seen::ICON);
    EXPECT_EQ(t[e - 1].icon, ICON_IDLE);
    EXPECT_TRUE(SeesEof(fd, kEventBound));  // the worker closed its end

    rig.relay->Stop();  // joins the worker that has ended by itself
    EXPECT_FALSE(rig.Connected());
    EXPECT_FALSE(rig.WorkerRunning());
    EXPECT_EQ(rig.Mode(), RELAY_PLAIN);  // closing does not change the route
}

TEST_F(PlainRoute, DleDleDleClosesAtOnceAndTheWorkerReportsIt) {
    RelayRig rig{Relay::Timeouts{20, 20}};
    const int fd = Connect(rig);
    ASSERT_GE(fd, 0);

    const int k = rig.Terminal("\x10\x10\x10");
    ASSERT_GE(k, 0);
    // The server sees the end at once, and the three bytes are not forwarded.
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 100), 1);
    char byte;
    EXPECT_EQ(read(fd, &byte, 1), 0);

    const int r = WaitText(rig, k, "TIMEOUT 접속해제!-->(-1)");
    ASSERT_GE(r, 0);
    EXPECT_GE(WaitText(rig, r, "접속해제!(-1)-->쓰레드종료"), 0);
    // The route itself posts nothing: the worker's reason is the next event after the burst.
    const std::vector<Seen> t = rig.rec.Timeline();
    for (int i = k + 1; i < r; ++i) EXPECT_EQ(t[i].what, Seen::ICON);
    EXPECT_FALSE(rig.Connected());

    // Data frames now find no connection and are dropped; the route stays plain.
    const int d = rig.Terminal("\x02late\x03zz");
    ASSERT_GE(d, 0);
    EXPECT_EQ(rig.Mode(), RELAY_PLAIN);
    EXPECT_EQ(rig.rec.Timeline().size(), static_cast<std::size_t>(d + 1));
}

TEST_F(PlainRoute, SilenceEndsTheConnection) {
    RelayRig rig{Relay::Timeouts{1, 20}};
    const int fd = Connect(rig);
    ASSERT_GE(fd, 0);
    const int r = WaitText(rig, 0, "TIMEOUT 접속해제!-->(0)");
    ASSERT_GE(r, 0);
    EXPECT_GE(WaitText(rig, r, "접속해제!(0)-->쓰레드종료"), 0);
    EXPECT_TRUE(SeesEof(fd, kEventBound));
}

TEST_F(PlainRoute, RefusedConnectShowsTheTmsMarkAndDropsWhatFollows) {
    RelayRig rig{Relay::Timeouts{20, 20}};
    const int k = rig.Terminal(ConnectFrame('P', "127.0.0.1", RefusedPort(), 'E'));
    const int m = rig.rec.WaitEvent(k, [](const Seen& s) { return s.kind == TRACE_TMS; });
    ASSERT_GE(m, 0);
    const std::vector<Seen> t = rig.rec.Timeline();
    EXPECT_EQ(t[m - 1].what, Seen::ICON);
    EXPECT_EQ(t[m - 1].icon, ICON_IDLE);
    EXPECT_FALSE(rig.Connected());
    EXPECT_FALSE(rig.WorkerRunning());
    // The console shows the mark as the fixed TMS line.
    const std::vector<std::string> console = rig.rec.ConsoleLines();
    bool tms = false;
    for (const std::string& line : console)
        tms = tms || line.find("[CAT<-TMS] [000] [전문수신]") != std::string::npos;
    EXPECT_TRUE(tms);
}

TEST_F(PlainRoute, TeeFrameReachingThePlainRouteIsDataWhenConnected) {
    TestServer fixed("127.0.0.2");
    RelayRig rig{Relay::Timeouts{20, 20}};
    const int fd = Connect(rig);
    ASSERT_GE(fd, 0);
    const std::string tee = ConnectFrame('T', "127.0.0.2", fixed.Port(), 'T');
    ASSERT_GE(rig.Terminal(tee), 0);
    EXPECT_EQ(ReadBytes(fd, tee.size()), tee);
    EXPECT_FALSE(fixed.Pending(200ms));
    EXPECT_TRUE(rig.Connected());
}

}  // namespace
