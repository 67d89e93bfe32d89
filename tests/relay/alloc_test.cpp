// No heap per frame: with the global allocator replaced by a counting one, bursts from the
// terminal, both routes' forwarding, the secure envelope, the version reply and answers written
// to the terminal
// allocate nothing on the relay's threads once warmed up.
#include "support/relay_rig.h"
#include "support/envelope_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_measuring{false};
std::atomic<long> g_allocations{0};
thread_local bool t_exempt = false;  // the test's own threads (terminal and server side)

void* Allocate(std::size_t n) {
    if (g_measuring.load(std::memory_order_relaxed) && !t_exempt) g_allocations.fetch_add(1);
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Counts what the window thread renders, without allocating.
class QuietTarget final : public TraceTarget, public TrayIconState, public ConsoleSink {
public:
    QuietTarget() : m_renderer(this) {}
    void OnTraceEvent(unsigned count, const TraceEvent& event) override {
        m_renderer.OnTraceEvent(count, event);
        std::lock_guard<std::mutex> g(m_lock);
        ++m_events[event.kind & 3];
        m_cond.notify_all();
    }
    void SetIcon(int) override { m_icons.fetch_add(1); }
    void Append(const char*) override { m_lines.fetch_add(1); }
    void ClearConsole() override {}

    bool WaitKind(int kind, int atLeast) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cond.wait_for(lock, kEventBound, [&] { return m_events[kind] >= atLeast; });
    }
    int Lines() const { return m_lines.load(); }

private:
    TraceRenderer m_renderer;
    std::mutex m_lock;
    std::condition_variable m_cond;
    int m_events[4] = {};
    std::atomic<int> m_icons{0};
    std::atomic<int> m_lines{0};
};

TEST(RelayAllocation, FramesRoutesAndAnswersAllocateNothing) {
    t_exempt = true;
    FreshDirectory dir;
    TestServer plainServer, secureServer;
    QuietTarget quiet;
    RelayRig rig{Relay::Timeouts{30, 30}, &quiet, &quiet};

    rig.TerminalNoWait(ConnectFrame('P', "127.0.0.1", plainServer.Port(), 'E'));
    const int plain = plainServer.Accept();
    ASSERT_GE(plain, 0);
    ASSERT_TRUE(quiet.WaitKind(TRACE_TMS, 1));

    const std::string request = "\x02" "0200 plain request 0123456789" "\x03" "zz";
    const std::string answer = "\x02" "0210 plain answer" "\x03" "q";
    const std::string version = "VG01:Tevnmark:1, 0, 0, 5::38400::E";
    // The server answers under the session key of the request it has just received.
    const auto sealedAnswer = [](int fd, std::string* wire) {
        const std::string count = ReadBytes(fd, 4);
        if (count.size() != 4) return false;
        const std::string whole = count + ReadBytes(fd, static_cast<std::size_t>(std::atoi(count.c_str())));
        std::string key, request;
        if (!OpenEnvelope(whole, &key, &request)) return false;
        *wire = SealAnswer(key, "secure answer");
        return !wire->empty();
    };

    const auto plainRound = [&] {
        rig.TerminalNoWait(request);
        bool ok = ReadBytes(plain, request.size()) == request;
        ok = SendBytes(plain, answer) && ok;
        ok = rig.FromRelay(answer.size()) == answer && ok;
        rig.TerminalNoWait("VVV");
        return rig.FromRelay(version.size()) == version && ok;
    };
    const auto measure = [&](const auto& round) {
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(round()) << "warm-up " << i;
        g_allocations.store(0);
        g_measuring.store(true);
        int good = 0;
        for (int i = 0; i < 20; ++i) good += round() ? 1 : 0;
        g_measuring.store(false);
        EXPECT_EQ(good, 20);
        return g_allocations.load();
    };
    EXPECT_EQ(measure(plainRound), 0);

    rig.TerminalNoWait(ConnectFrame('S', "127.0.0.1", secureServer.Port(), 'E'));
    const int secure = secureServer.Accept();
    ASSERT_GE(secure, 0);
    ASSERT_TRUE(quiet.WaitKind(TRACE_TEXT, 3));  // plain worker's two end events, then connected

    const auto secureRound = [&] {
        rig.TerminalNoWait(request);
        std::string secureAnswer;
        bool ok = sealedAnswer(secure, &secureAnswer);
        rig.TerminalNoWait("\x06\x06\x06");
        ok = ReadBytes(secure, 3) == "\x06\x06\x06" && ok;
        ok = SendBytes(secure, secureAnswer) && ok;
        ok = rig.FromRelay(13) == "secure answer" && ok;
        ok = SendBytes(secure, "\x06") && ok;
        return rig.FromRelay(1) == "\x06" && ok;
    };
    EXPECT_EQ(measure(secureRound), 0);
    EXPECT_GT(quiet.Lines(), 0);
}

}  // namespace
