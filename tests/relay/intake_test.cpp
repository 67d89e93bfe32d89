// The intake: every burst traced first, the version query answered, connect frames choosing the
// route, malformed connect frames dropped with the state left alone.
#include "support/relay_rig.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// One class per burst, decided by its first bytes and, for connect frames and requests, by where
// it ends; the routes act on nothing else.
TEST(FrameKinds, EachBurstHasOneKind) {
    const struct {
        std::string frame;
        FrameKind kind;
    } cases[] = {
        {"S127.0.0.1:9000E", FRAME_CONNECT_SE}, {"T127.0.0.1:9000T", FRAME_CONNECT_TT},
        {"P127.0.0.1:9000E", FRAME_CONNECT_PE}, {"P127.0.0.1:9000T", FRAME_OTHER},
        {"VVV", FRAME_VERSION},                 {"VV", FRAME_OTHER},
        {"\x10\x10\x10", FRAME_END},            {"\x10\x10", FRAME_OTHER},
        {"\x02" "0200" "\x03" "ab", FRAME_REQUEST}, {"\x02" "0200" "\x03" "a", FRAME_OTHER},
        {"\x02\x03" "ab", FRAME_REQUEST},       {"\x06\x06\x06", FRAME_ACK_NAK},
        {"\x15\x15\x15x", FRAME_ACK_NAK},         {"\x06\x15\x06", FRAME_OTHER},
        {"", FRAME_OTHER},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClassifyFrame(c.frame.data(), static_cast<int>(c.frame.size())), c.kind)
            << c.frame;
}

class Intake : public ::testing::Test {
protected:
    FreshDirectory dir;
    RelayRig rig{Relay::Timeouts{20, 20}};

    // The events (not icons) from index `from` on.
    std::vector<Seen> EventsFrom(int from) {
        std::vector<Seen> out;
        const std::vector<Seen> all = rig.rec.Timeline();
        for (std::size_t i = static_cast<std::size_t>(from); i < all.size(); ++i)
            if (all[i].what == Seen::EVENT) out.push_back(all[i]);
        return out;
    }
    int WaitText(int from, const std::string& text, int kind = TRACE_TEXT) {
        return rig.rec.WaitEvent(static_cast<std::size_t>(from), [&](const Seen& s) {
            return s.kind == kind && s.text == text;
        });
    }
    int WaitKind(int from, int kind) {
        return rig.rec.WaitEvent(static_cast<std::size_t>(from),
                                 [&](const Seen& s) { return s.kind == kind; });
    }
};

TEST_F(Intake, VersionQueryIsAnsweredAndLeavesTheStateAlone) {
    const int refused = RefusedPort();
    const int c = rig.Terminal(ConnectFrame('P', "127.0.0.1", refused, 'E'));
    ASSERT_GE(WaitKind(c, TRACE_TMS), 0);
    ASSERT_EQ(rig.Mode(), RELAY_PLAIN);

    const int v = rig.Terminal("VVV");
    ASSERT_GE(v, 0);
    const std::string reply = "VG01:Tevnmark:1, 0, 0, 5::38400::E";
    ASSERT_EQ(reply.size(), 34u);
    EXPECT_EQ(rig.FromRelay(reply.size()), reply);
    EXPECT_TRUE(rig.TerminalSilent(200ms));
    const int k2 = WaitKind(v, TRACE_TO_TERMINAL);
    ASSERT_GE(k2, 0);
    const std::vector<Seen> t = rig.rec.Timeline();
    EXPECT_EQ(t[k2].count, 34u);
    EXPECT_EQ(t[k2].raw, reply);
    EXPECT_EQ(t[v - 1].what, Seen::ICON);  // 142 before the burst's trace, 143 before the reply's
    EXPECT_EQ(t[v - 1].icon, ICON_IDLE);
    EXPECT_EQ(t[k2 - 1].what, Seen::ICON);
    EXPECT_EQ(t[k2 - 1].icon, ICON_ANSWER);

    EXPECT_EQ(rig.Mode(), RELAY_PLAIN);
    EXPECT_EQ(rig.Host(), "127.0.0.1");
    EXPECT_EQ(rig.PortText(), std::to_string(refused));

    // Anything after the three V is ignored; the speed text is the current one.
    rig.relay->SetRateText("9600");
    ASSERT_GE(rig.Terminal("VVVxyz"), 0);
    EXPECT_EQ(rig.FromRelay(33), "VG01:Tevnmark:1, 0, 0, 5::9600::E");
}

TEST_F(Intake, NearMissesOfTheVersionQueryAreDataFrames) {
    for (const std::string burst : {"VV", "vvv", "xVVV"}) {
        const int k = rig.Terminal(burst);
        ASSERT_GE(k, 0) << burst;
        EXPECT_TRUE(rig.TerminalSilent(200ms)) << burst;
        EXPECT_EQ(EventsFrom(k).size(), 1u) << burst;  // its kind-1 event and nothing else
    }
    EXPECT_EQ(rig.Mode(), RELAY_NONE);
}

TEST_F(Intake, EveryBurstIsTracedOnceWithItsCountAfterIcon142) {
    const std::string bursts[] = {"\x06", "VVV", std::string(300, 'x'), "S1.2.3.4"};
    for (const std::string& b : bursts) {
        const int k = rig.Terminal(b);
        ASSERT_GE(k, 0);
        const std::vector<Seen> t = rig.rec.Timeline();
        EXPECT_EQ(t[k].raw, b);
        ASSERT_GE(k, 1);
        EXPECT_EQ(t[k - 1].what, Seen::ICON);
        EXPECT_EQ(t[k - 1].icon, ICON_IDLE);
        rig.FromRelay(b == "VVV" ? 34 : 0);
    }
    // "S1.2.3.4" does not end in 'E': a data frame, no host stored.
    EXPECT_EQ(rig.Host(), "");
    const std::vector<Seen> all = rig.rec.Timeline();
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [](const Seen& s) { return s.what == Seen::EVENT && s.kind == TRACE_FROM_TERMINAL; }),
              4);
}

TEST_F(Intake, ConnectFramesChooseTheRoute) {
    TestServer other("127.0.0.1");
    TestServer fixed1("127.0.0.2");
    TestServer fixed2("127.0.0.3");

    // A data frame before any connect frame goes to the secure route; nothing is open.
    int k = rig.Terminal("\x02hello\x03xx");
    EXPECT_EQ(rig.Mode(), RELAY_NONE);
    EXPECT_EQ(EventsFrom(k).size(), 1u);

    // 'T' with a fixed address: the plain route, which opens nothing for 'T' frames.
    k = rig.Terminal(ConnectFrame('T', "127.0.0.2", fixed1.Port(), 'T'));
    EXPECT_EQ(rig.Mode(), RELAY_PLAIN);
    EXPECT_EQ(rig.Host(), "127.0.0.2");
    EXPECT_FALSE(fixed1.Pending(300ms));
    EXPECT_EQ(EventsFrom(k).size(), 1u);

    // 'S' with another host: secure.
    k = rig.Terminal(ConnectFrame('S', "127.0.0.1", other.Port(), 'E'));
    EXPECT_EQ(rig.Mode(), RELAY_SECURE);
    EXPECT_GE(WaitText(k, "서버접속-->127.0.0.1:" + std::to_string(other.Port())), 0);
    EXPECT_GE(other.Accept(), 0);

    // 'S' with the first and the second fixed address: plain, with the TMS mark.
    k = rig.Terminal(ConnectFrame('S', "127.0.0.2", fixed1.Port(), 'E'));
    EXPECT_EQ(rig.Mode(), RELAY_PLAIN);
    EXPECT_GE(WaitKind(k, TRACE_TMS), 0);
    EXPECT_GE(fixed1.Accept(), 0);
    k = rig.Terminal(ConnectFrame('S', "127.0.0.3", fixed2.Port(), 'E'));
    EXPECT_EQ(rig.Mode(), RELAY_PLAIN);
    EXPECT_GE(WaitKind(k, TRACE_TMS), 0);
    EXPECT_GE(fixed2.Accept(), 0);

    // 'T' with another host: secure, and the secure route connects for it.
    k = rig.Terminal(ConnectFrame('T', "127.0.0.1", other.Port(), 'T'));
    EXPECT_EQ(rig.Mode(), RELAY_SECURE);
    EXPECT_GE(WaitText(k, "서버접속-->127.0.0.1:" + std::to_string(other.Port())), 0);
    EXPECT_GE(other.Accept(), 0);

    // 'P' with any host: plain.
    k = rig.Terminal(ConnectFrame('P', "127.0.0.1", other.Port(), 'E'));
    EXPECT_EQ(rig.Mode(), RELAY_PLAIN);
    EXPECT_GE(WaitKind(k, TRACE_TMS), 0);
    EXPECT_GE(other.Accept(), 0);
    EXPECT_EQ(rig.PortText(), std::to_string(other.Port()));
}

TEST_F(Intake, MalformedConnectFramesAreDroppedWithTheirReason) {
    rig.relay->SetLog(1);
    TestServer server;
    const int good = rig.Terminal(ConnectFrame('P', "127.0.0.1", RefusedPort(), 'E'));
    ASSERT_GE(WaitKind(good, TRACE_TMS), 0);
    const std::string host = rig.Host(), port = rig.PortText();

    struct Case {
        std::string frame, trace, log;
    } cases[] = {
        {"T", "접속전문 오류!-->콜론 없음", "TEVN-> ERROR : 접속전문 오류 (콜론 없음)"},
        {std::string("S127.0.0.1\0:1E", 14), "접속전문 오류!-->콜론 없음",
         "TEVN-> ERROR : 접속전문 오류 (콜론 없음)"},
        {ConnectFrame('S', std::string(18, '1') + "127", server.Port(), 'E'),
         "접속전문 오류!-->호스트 길이(21)", "TEVN-> ERROR : 접속전문 오류 (호스트 길이 21)"},
        // Cut to nine digits or read whole, this port would reach the server.
        {"P127.0.0.1:" + std::string(10 - std::to_string(server.Port()).size(), '0') +
             std::to_string(server.Port()) + "E",
         "접속전문 오류!-->포트 길이(10)", "TEVN-> ERROR : 접속전문 오류 (포트 길이 10)"},
    };
    for (const Case& c : cases) {
        const int k = rig.Terminal(c.frame);
        ASSERT_GE(k, 0) << c.trace;
        EXPECT_GE(WaitText(k, c.trace), 0);
        const std::vector<std::string> log = LogMessages();
        EXPECT_NE(std::find(log.begin(), log.end(), c.log), log.end()) << c.log;
    }
    EXPECT_FALSE(server.Pending(300ms));
    EXPECT_EQ(rig.Mode(), RELAY_PLAIN);
    EXPECT_EQ(rig.Host(), host);
    EXPECT_EQ(rig.PortText(), port);
}

// A port the terminal writes outside 1-65535, or with anything but digits (a NUL byte too), reaches
// no server (read modulo 65536, 65536 + p and p - 65536 would reach p): refused like a server out
// of reach, with the same trace line on either route.
TEST_F(Intake, ConnectFramePortOutsideItsRangeReachesNoServer) {
    rig.relay->SetLog(1);
    TestServer server;
    const int p = server.Port();
    for (const std::string& text : {std::to_string(p + 65536), std::to_string(p - 65536), "+" + std::to_string(p),
                                    " " + std::to_string(p), std::string("0"), std::string(),
                                    std::to_string(p) + std::string(1, '\0')}) {
        for (const char route : {'P', 'S'}) {
            const int k = rig.Terminal(route + std::string("127.0.0.1:") + text + "E");
            ASSERT_GE(k, 0) << text;
            EXPECT_GE(WaitText(k, "서버 접속오류!-->127.0.0.1:0"), 0) << route << text;
            const std::vector<std::string> log = LogMessages();
            const std::string shown = !text.empty() && text.back() == '\0' ? std::to_string(p) + "\\x00" : text;
            const std::string line = "TEVN-> ERROR : 접속전문 오류 (포트 " + shown + ")";
            EXPECT_NE(std::find(log.begin(), log.end(), line), log.end()) << line;
        }
    }
    EXPECT_FALSE(server.Pending(300ms));
    EXPECT_EQ(ServerPortNumber("65535"), 65535);
    EXPECT_EQ(ServerPortNumber("1"), 1);
}

}  // namespace
