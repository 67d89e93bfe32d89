// The relay's single entry, OnTerminalFrame, on any sequence of bursts: classification, the
// version reply, both routes, masking and the envelope, with loopback servers that echo what
// they get. Connect frames reach only this fuzzer's own listeners: a frame that names any
// other IPv4 address is pointed at them before it is handed over (an address that is not IPv4
// text is never connected to and stays as it is).
#include "fuzz_check.h"
#include "fuzz_relay_rig.h"
#include "relay/frame_text.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Servers at the secure address and at the two fixed plain-route addresses. A thread accepts
// every connection and echoes what arrives until the relay closes it.
class EchoServers {
public:
    EchoServers() : m_listeners{TestServer("127.0.0.1"), TestServer("127.0.0.2"), TestServer("127.0.0.3")} {
        m_thread = std::thread([this] { Serve(); });
        m_thread.detach();  // lives as long as the process
    }
    const TestServer* For(const std::string& host) const {
        for (const TestServer& l : m_listeners)
            if (l.Address() == host) return &l;
        return nullptr;
    }
    const TestServer& Secure() const { return m_listeners[0]; }

private:
    void Serve() {
        std::vector<pollfd> fds;
        for (const TestServer& l : m_listeners) fds.push_back({l.Fd(), POLLIN, 0});
        const std::size_t nListen = fds.size();
        for (;;) {
            if (poll(fds.data(), fds.size(), -1) < 0) continue;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                if (i < nListen) {
                    const int c = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                    if (c >= 0) fds.push_back({c, POLLIN, 0});
                    continue;
                }
                char buf[8192];
                const ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
                if (n > 0) {
                    (void)!send(fds[i].fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    close(fds[i].fd);
                    fds[i].fd = -1;  // dropped below
                }
            }
            std::erase_if(fds, [](const pollfd& p) { return p.fd < 0; });
            for (pollfd& p : fds) p.revents = 0;
        }
    }
    TestServer m_listeners[3];
    std::thread m_thread;
};

// Points a connect frame that names an IPv4 address at one of the echo servers. The host
// stays when it is one of theirs (so the route is chosen as for the frame that came), any other
// address becomes the secure server's; the port becomes the server's own, except port 0 on one
// of their addresses, which loopback refuses at once.
std::string Confine(const std::string& burst, const EchoServers& servers) {
    const int n = static_cast<int>(burst.size());
    std::vector<char> copy(burst.begin(), burst.end());
    copy.resize(burst.size() + 1, '\0');
    if (!IsConnectFrame(copy.data(), n)) return burst;
    char host[kHostSize], port[kPortTextSize];
    int part = 0;
    if (ParseConnectFrame(copy.data(), n, host, port, &part) != CONNECT_FRAME_OK) return burst;
    in_addr a{};
    if (inet_pton(AF_INET, host, &a) != 1) return burst;  // never connected to
    const TestServer* l = servers.For(host);
    if (l && (std::atoi(port) & 0xFFFF) == 0) return burst;  // its port 0: refused at once
    if (!l) l = &servers.Secure();
    return ConnectFrame(burst[0], l->Address(), l->Port(), burst[n - 1]);
}

}  // namespace

// Input: bursts, each a 2-byte length (1 to 4096) and its bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static EchoServers servers;
    FuzzRelayRig& rig = FuzzRelayRig::Get();
    rig.recorder.Take();

    std::vector<std::string> bursts;
    for (std::size_t at = 0; at + 2 <= size && bursts.size() < 16;) {
        const std::size_t len = (data[at] | (data[at + 1] << 8)) % 4096 + 1;
        at += 2;
        const std::size_t take = len < size - at ? len : size - at;
        if (take == 0) break;
        bursts.push_back(Confine(std::string(reinterpret_cast<const char*>(data + at), take), servers));
        at += take;
    }

    for (const std::string& b : bursts) {
        rig.recorder.Take();
        rig.Burst(b);
        // Every burst is traced once, first, as it came; a version query is answered.
        int traced = 0;
        bool replied = false;
        for (const Seen& e : rig.recorder.Take()) {
            if (e.kind == TRACE_FROM_TERMINAL) {
                ++traced;
                FUZZ_CHECK(e.count == b.size() && e.raw == b.substr(0, kTraceRawSize));
            }
            replied |= e.kind == TRACE_TO_TERMINAL && e.raw == "VG01:Tevnmark:1, 0, 0, 5::38400::E";
        }
        FUZZ_CHECK(traced == 1);
        if (b.compare(0, 3, "VVV") == 0 && !IsConnectFrame(b.c_str(), static_cast<int>(b.size())))
            FUZZ_CHECK(replied);
        // The relay state never outgrows its members.
        rig.OnWindow([&] {
            const int mode = rig.relay.Mode();
            FUZZ_CHECK(mode == RELAY_NONE || mode == RELAY_PLAIN || mode == RELAY_SECURE);
            FUZZ_CHECK(strnlen(rig.relay.Host(), kHostSize) < static_cast<std::size_t>(kHostSize));
            FUZZ_CHECK(strnlen(rig.relay.PortText(), kPortTextSize) < static_cast<std::size_t>(kPortTextSize));
        });
    }
    // Ends the connection and its worker, as the program does at exit.
    rig.relay.Stop();
    FUZZ_CHECK(!rig.relay.WorkerRunning());
    rig.TrimLog();
    return 0;
}
