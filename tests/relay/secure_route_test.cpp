// The secure route against a test server that holds the private key: the envelope byte by byte,
// enveloped and short answers, the log lines, a refused connect, silence and bad length fields.
#include "support/relay_rig.h"
#include "support/envelope_server.h"
#include "support/seed_oracle.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <cstdio>

namespace {

struct Envelope {
    std::string whole;
    int count = -1;  // the 4-digit field
    std::string seed;
    std::string key;      // the session key the server's private key finds in the RSA block
    std::string request;  // the SEED block opened with that key
};

int Digits(const std::string& s) {
    if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    return std::stoi(s);
}

// Reads one envelope as the server does and opens it with OpenSSL.
Envelope ReadEnvelope(int fd) {
    Envelope e;
    e.whole = ReadBytes(fd, 4);
    e.count = Digits(e.whole);
    if (e.count < 12) return e;
    e.whole += ReadBytes(fd, static_cast<std::size_t>(e.count));
    if (e.whole.size() != static_cast<std::size_t>(e.count) + 4) return e;
    if (e.whole.size() >= 16 + 128) e.seed = e.whole.substr(16 + 128);
    std::string why;
    EXPECT_TRUE(OpenEnvelope(e.whole, &e.key, &e.request, &why)) << why;
    return e;
}

// An enveloped answer: 4 bytes the worker drops, the 6-digit length, the SEED block.
std::string EnvelopeAnswer(const std::string& key, const std::string& plain) {
    const std::string sealed = SealAnswer(key, plain);
    EXPECT_FALSE(sealed.empty());
    return sealed;
}

bool Logged(const std::string& message) {
    const std::vector<std::string> log = LogMessages();
    return std::find(log.begin(), log.end(), message) != log.end();
}

class SecureRoute : public ::testing::Test {
protected:
    FreshDirectory dir;
    TestServer server;

    int WaitText(RelayRig& rig, int from, const std::string& text) {
        return rig.rec.WaitEvent(static_cast<std::size_t>(from), [&](const Seen& s) {
            return s.kind == TRACE_TEXT && s.text == text;
        });
    }
    int Connect(RelayRig& rig) {
        const int k = rig.Terminal(ConnectFrame('S', "127.0.0.1", server.Port(), 'E'));
        EXPECT_GE(k, 0);
        const int fd = server.Accept();
        EXPECT_GE(WaitText(rig, k, "서버접속-->127.0.0.1:" + std::to_string(server.Port())), 0);
        return fd;
    }
    // Sends bytes from the server and checks that `shown` reaches the terminal as one write.
    void Answer(RelayRig& rig, int fd, const std::string& wire, const std::string& shown) {
        const std::size_t from = rig.rec.Size();
        ASSERT_TRUE(SendBytes(fd, wire));
        const int k = rig.rec.WaitEvent(from, [&](const Seen& s) {
            return s.kind == TRACE_TO_TERMINAL && s.count == shown.size();
        });
        ASSERT_GE(k, 0);
        EXPECT_EQ(rig.rec.Timeline()[k].raw, shown);
        EXPECT_EQ(rig.FromRelay(shown.size()), shown);
    }
};

// 60 bytes: '=' at 20, FS at 37, ETX at 57.
const std::string kRequest =
    "\x02" "ABCDEFGHIJKLMNO" "1234" "=" "5678901234567890" "\x1c" "tail-of-the-request" "\x03" "XY";

TEST_F(SecureRoute, RequestTravelsInTheEnvelopeAndAnswersComeBackDecrypted) {
    RelayRig rig{Relay::Timeouts{20, 20}};
    rig.relay->SetLog(1);
    const int fd = Connect(rig);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(kRequest.size(), 60u);

    ASSERT_GE(rig.Terminal(kRequest), 0);
    const Envelope e = ReadEnvelope(fd);
    ASSERT_EQ(e.whole.size(), 16 + 128 + e.seed.size());
    EXPECT_EQ(e.count, static_cast<int>(e.whole.size()) - 4);  // counts the bytes after it
    EXPECT_EQ(e.whole.substr(4, 6), "000128");
    char s[8];
    std::snprintf(s, sizeof s, "%06d", static_cast<int>(e.seed.size()));
    EXPECT_EQ(e.whole.substr(138, 6), s);
    ASSERT_EQ(e.key.size(), 16u);
    EXPECT_TRUE(std::all_of(e.key.begin(), e.key.end(), [](char c) { return c >= '0' && c <= '9'; }));
    EXPECT_EQ(e.request, kRequest);

    // The log shows the request with the card data masked.
    std::string masked = kRequest;
    for (int i = 16; i <= 19; ++i) masked[i] = '*';
    for (int i = 21; i <= 36; ++i) masked[i] = '*';
    EXPECT_TRUE(Logged("TEVN-> [요청전문][60][" + masked + "]"));

    // An enveloped answer with NUL bytes reaches the terminal whole; the log stops at the NUL.
    const std::string plain = std::string("\x02" "0210" "\0\0" "OK", 9) + std::string(20, '\0') + "\x03" "Z";
    Answer(rig, fd, EnvelopeAnswer(e.key, plain), plain);
    EXPECT_TRUE(Logged("TEVN-> [응답전문][" + std::to_string(plain.size()) + "][\x02" "0210]"));

    // 1 to 3 bytes at the start of a cycle are a short reply, passed on as they came.
    Answer(rig, fd, "\x06", "\x06");
    Answer(rig, fd, "\x15\x15", "\x15\x15");
    Answer(rig, fd, "EOT", "EOT");

    // A second request gets a fresh key; its answer is read with that key. Card data in an
    // answer is masked in the log only.
    ASSERT_GE(rig.Terminal(kRequest), 0);
    const Envelope e2 = ReadEnvelope(fd);
    EXPECT_EQ(e2.request, kRequest);
    ASSERT_EQ(e2.key.size(), 16u);
    EXPECT_NE(e2.key, e.key);
    Answer(rig, fd, EnvelopeAnswer(e2.key, kRequest), kRequest);
    EXPECT_TRUE(Logged("TEVN-> [응답전문][60][" + masked + "]"));

    // Three ACK bytes are no request: they go out as they came.
    ASSERT_GE(rig.Terminal("\x06\x06\x06"), 0);
    EXPECT_EQ(ReadBytes(fd, 3), "\x06\x06\x06");

    // DLE DLE DLE: the worker's read fails at once and it ends.
    const int k = rig.Terminal("\x10\x10\x10");
    const int r = WaitText(rig, k, "#1 RECV 접속해제!-->(-1)");
    ASSERT_GE(r, 0);
    EXPECT_GE(WaitText(rig, r, "접속해제!(-1)-->쓰레드종료"), 0);
    EXPECT_TRUE(SeesEof(fd, kEventBound));
}

TEST_F(SecureRoute, RefusedConnectIsReportedAndTheRequestDropped) {
    RelayRig rig{Relay::Timeouts{20, 20}};
    const int port = RefusedPort();
    const int k = rig.Terminal(ConnectFrame('S', "127.0.0.1", port, 'E'));
    const int f = WaitText(rig, k, "서버 접속오류!-->127.0.0.1:" + std::to_string(port));
    ASSERT_GE(f, 0);
    const std::vector<Seen> t = rig.rec.Timeline();
    EXPECT_EQ(t[f - 1].what, Seen::ICON);
    EXPECT_EQ(t[f - 1].icon, ICON_IDLE);
    EXPECT_FALSE(rig.Connected());

    const int d = rig.Terminal(kRequest);
    ASSERT_GE(d, 0);
    EXPECT_EQ(rig.Mode(), RELAY_SECURE);
    EXPECT_EQ(rig.rec.Timeline().size(), static_cast<std::size_t>(d + 1));
    EXPECT_TRUE(rig.TerminalSilent(200ms));
}

// A session key belongs to its connection: an answer sealed with the key of an earlier
// connection, sent before any request on the new one, is never opened.
TEST_F(SecureRoute, AnswerReplayedOnANewConnectionNeverReachesTheTerminal) {
    RelayRig rig{Relay::Timeouts{20, 20}};
    rig.relay->SetLog(1);
    const int first = Connect(rig);
    ASSERT_GE(first, 0);
    ASSERT_GE(rig.Terminal(kRequest), 0);
    const Envelope e = ReadEnvelope(first);
    ASSERT_EQ(e.key.size(), 16u);
    const std::string sealed = EnvelopeAnswer(e.key, "\x02" "0210 approved" "\x03" "Q");
    Answer(rig, first, sealed, "\x02" "0210 approved" "\x03" "Q");

    const int second = Connect(rig);
    ASSERT_GE(second, 0);
    const std::size_t from = rig.rec.Size();
    ASSERT_TRUE(SendBytes(second, sealed));
    ASSERT_GE(WaitText(rig, static_cast<int>(from), "접속해제!(4)-->쓰레드종료"), 0);
    EXPECT_TRUE(Logged("TEVN-> ERROR : SEED 복호화 오류!"));
    const std::vector<Seen> t = rig.rec.Timeline();
    for (std::size_t i = from; i < t.size(); ++i)
        EXPECT_FALSE(t[i].what == Seen::EVENT && t[i].kind == TRACE_TO_TERMINAL);
    EXPECT_TRUE(rig.TerminalSilent(200ms));
}

// Refuses every server and names the rule that did it.
class OnlyTenNet final : public ServerFilter {
public:
    bool Allows(const char*, char* rule, std::size_t cap) const override {
        std::snprintf(rule, cap, "Allowed Servers=10.0.0.0/8");
        return false;
    }
};

TEST_F(SecureRoute, ServerOutsideTheAllowListIsRefusedLikeAFailedConnectOnBothRoutes) {
    RelayRig rig{Relay::Timeouts{20, 20}};
    rig.relay->SetLog(1);
    const OnlyTenNet filter;
    rig.relay->SetServerFilter(&filter);
    const std::string where = "127.0.0.1:" + std::to_string(server.Port());
    for (const char start : {'S', 'P'}) {
        const int k = rig.Terminal(ConnectFrame(start, "127.0.0.1", server.Port(), 'E'));
        const int f = rig.rec.WaitEvent(static_cast<std::size_t>(k), [&](const Seen& s) {
            return s.kind == (start == 'S' ? TRACE_TEXT : TRACE_TMS) &&
                   s.text == "서버 접속오류!-->" + where;
        });
        ASSERT_GE(f, 0) << start;
        const std::vector<Seen> t = rig.rec.Timeline();
        EXPECT_EQ(t[f - 1].what, Seen::ICON);
        EXPECT_EQ(t[f - 1].icon, ICON_IDLE);
        EXPECT_FALSE(rig.Connected());
    }
    EXPECT_FALSE(server.Pending(200ms));  // nothing was opened
    const std::vector<std::string> log = LogMessages();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "TEVN-> ERROR : 허용되지 않은 서버 (" + where + ", Allowed Servers=10.0.0.0/8)"),
              2);
}

TEST_F(SecureRoute, SilenceEndsTheConnection) {
    RelayRig rig{Relay::Timeouts{20, 1}};
    const int fd = Connect(rig);
    ASSERT_GE(fd, 0);
    const int r = WaitText(rig, 0, "TIMEOUT 접속해제!-->(0)");
    ASSERT_GE(r, 0);
    EXPECT_GE(WaitText(rig, r, "접속해제!(0)-->쓰레드종료"), 0);
    EXPECT_TRUE(SeesEof(fd, kEventBound));
}

TEST_F(SecureRoute, LengthFieldsOutsideTheBuffersEndTheWorker) {
    RelayRig rig{Relay::Timeouts{20, 20}};
    rig.relay->SetLog(1);
    // Three times the bytes of the largest body the worker could wrongly wait for.
    const std::string flood(15000, 'x');
    // A SEED block on a connection that has sent no request: there is no key to open it with.
    std::string cipher;
    ASSERT_TRUE(SeedOracle(true, std::string(16, '\0'), std::string(15, 'A') + '\0', &cipher));
    struct Case {
        std::string wire;
        bool close;
        const char* log;
    } cases[] = {
        {"0000009999" + flood, false, "TEVN-> Receive Error[9999]!"},
        {"0000005121" + flood, false, "TEVN-> Receive Error[5121]!"},
        {"0000-00001" + flood, false, "TEVN-> Receive Error[-1]!"},
        {"0000000000" + flood, false, "TEVN-> Receive Error[0]!"},  // 0 bytes read as end of data
        {"000012", true, "TEVN-> Receive 전문사이즈 Error!"},
        {"0000000100" + std::string(40, 'x'), true, "TEVN-> Receive Error[100]!"},
        {"0000000016" + cipher.substr(0, 16), false, "TEVN-> ERROR : SEED 복호화 오류!"},
    };
    for (const Case& c : cases) {
        const int fd = Connect(rig);
        ASSERT_GE(fd, 0);
        const std::size_t from = rig.rec.Size();
        ASSERT_TRUE(SendBytes(fd, c.wire));
        if (c.close) shutdown(fd, SHUT_WR);
        ASSERT_GE(WaitText(rig, static_cast<int>(from), "접속해제!(4)-->쓰레드종료"), 0) << c.log;
        EXPECT_TRUE(Logged(c.log)) << c.log;
        // Nothing reached the terminal.
        const std::vector<Seen> t = rig.rec.Timeline();
        for (std::size_t i = from; i < t.size(); ++i)
            EXPECT_FALSE(t[i].what == Seen::EVENT && t[i].kind == TRACE_TO_TERMINAL) << c.log;
    }
    EXPECT_TRUE(rig.TerminalSilent(100ms));
}

TEST_F(SecureRoute, AnEnvelopeBeyond5120BytesIsRefusedBeforeSending) {
    RelayRig rig{Relay::Timeouts{20, 20}};
    rig.relay->SetLog(1);
    const int fd = Connect(rig);
    ASSERT_GE(fd, 0);
    const std::string big = "\x02" + std::string(4996, 'x') + "\x03" "zz";
    int result = 0;
    rig.OnWindow([&] { result = rig.relay->SendSecureRequest(big.data(), static_cast<int>(big.size())); });
    EXPECT_EQ(result, -4);
    EXPECT_TRUE(Logged("TEVN-> ERROR : 요청전문 크기 초과! (5000바이트)"));
    EXPECT_TRUE(Silent(fd, 200ms));

    // The largest burst the line can bring still fits.
    const std::string full = "\x02" + std::string(4092, 'y') + "\x03" "zz";
    rig.OnWindow([&] { result = rig.relay->SendSecureRequest(full.data(), static_cast<int>(full.size())); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadEnvelope(fd).request, full);
}

}  // namespace
