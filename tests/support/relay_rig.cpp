#include "support/relay_rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

// ---- Recorder -------------------------------------------------------------------------------

void Recorder::OnTraceEvent(unsigned count, const TraceEvent& event) {
    m_renderer.OnTraceEvent(count, event);
    Seen s;
    s.what = Seen::EVENT;
    s.kind = event.kind;
    s.count = count;
    if (event.kind == TRACE_TEXT || event.kind == TRACE_TMS)
        s.text.assign(event.text, strnlen(event.text, sizeof event.text));
    else
        s.raw.assign(reinterpret_cast<const char*>(event.raw),
                     count < kTraceRawSize ? count : kTraceRawSize);
    std::lock_guard<std::mutex> g(m_lock);
    m_seen.push_back(std::move(s));
    m_cond.notify_all();
}

void Recorder::SetIcon(int icon) {
    Seen s;
    s.what = Seen::ICON;
    s.icon = icon;
    std::lock_guard<std::mutex> g(m_lock);
    m_seen.push_back(std::move(s));
    m_cond.notify_all();
}

void Recorder::Append(const char* line) {
    std::lock_guard<std::mutex> g(m_lock);
    m_console.emplace_back(line);
}

void Recorder::ClearConsole() {
    std::lock_guard<std::mutex> g(m_lock);
    m_console.clear();
}

bool Recorder::WaitFor(const std::function<bool(const std::vector<Seen>&)>& pred,
                       std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cond.wait_for(lock, bound, [&] { return pred(m_seen); });
}

int Recorder::WaitEvent(std::size_t from, const std::function<bool(const Seen&)>& match,
                        std::chrono::milliseconds bound) {
    int found = -1;
    WaitFor(
        [&](const std::vector<Seen>& seen) {
            for (std::size_t i = from; i < seen.size(); ++i)
                if (seen[i].what == Seen::EVENT && match(seen[i])) {
                    found = static_cast<int>(i);
                    return true;
                }
            return false;
        },
        bound);
    return found;
}

std::vector<Seen> Recorder::Timeline() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_seen;
}

std::vector<Seen> Recorder::Take() {
    std::lock_guard<std::mutex> g(m_lock);
    std::vector<Seen> taken;
    taken.swap(m_seen);
    m_console.clear();
    return taken;
}

std::size_t Recorder::Size() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_seen.size();
}

std::vector<std::string> Recorder::ConsoleLines() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_console;
}

// ---- sockets ----------------------------------------------------------------------------------

namespace {

int Ms(std::chrono::milliseconds d) { return static_cast<int>(d.count()); }

bool WaitIn(int fd, std::chrono::milliseconds bound) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, Ms(bound)) == 1;
}

}  // namespace

int AcceptOne(int listenFd, std::chrono::milliseconds bound) {
    if (!WaitIn(listenFd, bound)) return -1;
    return accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

TestServer::TestServer(const char* address) : m_address(address) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr(address);
    a.sin_port = 0;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_fd, 64) != 0)
        throw std::runtime_error("cannot listen on loopback");
    socklen_t len = sizeof a;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
}

TestServer::~TestServer() {
    for (int fd : m_accepted) close(fd);
    close(m_fd);
}

int TestServer::Accept(std::chrono::milliseconds bound) {
    const int fd = AcceptOne(m_fd, bound);
    if (fd >= 0) m_accepted.push_back(fd);
    return fd;
}

bool TestServer::Pending(std::chrono::milliseconds bound) { return WaitIn(m_fd, bound); }

int RefusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);  // bound but never listening: the port refuses until someone else takes it
    return ntohs(a.sin_port);
}

bool SendBytes(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ReadBytes(int fd, std::size_t n, std::chrono::milliseconds bound) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + bound;
    char buf[8192];
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitIn(fd, left)) break;
        const std::size_t want = std::min(sizeof buf, n - out.size());
        const ssize_t got = read(fd, buf, want);
        if (got <= 0) break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

bool SeesEof(int fd, std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    char buf[8192];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() < 0 || !WaitIn(fd, left)) return false;
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got <= 0) return true;
    }
}

bool Silent(int fd, std::chrono::milliseconds window) { return !WaitIn(fd, window); }

std::string ConnectFrame(char start, const std::string& host, int port, char end) {
    return std::string(1, start) + host + ":" + std::to_string(port) + std::string(1, end);
}

// ---- the rig ----------------------------------------------------------------------------------

RelayRig::RelayRig(Relay::Timeouts timeouts, TraceTarget* trace, TrayIconState* tray) {
    if (!m_line.Ok()) throw std::runtime_error("no pseudo-terminal");
    const std::string& slave = m_line.name;

    relay = std::make_unique<Relay>(
        Relay::Ports{&loop, &com, tray ? tray : &rec, trace ? trace : &rec});
    relay->SetTimeouts(timeouts);
    relay->SetVersionText("1, 0, 0, 5");
    relay->SetRateText("38400");
    m_loopThread = std::thread([this] { loop.Run(); });

    com.SetParams(slave.c_str(), 38400, 8, 0, 0);
    com.SetOwner(&loop, relay.get());
    if (com.Open() != 1) throw std::runtime_error("CCom does not open the pty");
}

RelayRig::~RelayRig() {
    com.Close();
    relay->Stop();
    relay.reset();
    loop.Quit();
    m_loopThread.join();
}

void RelayRig::TerminalNoWait(const std::string& bytes) { m_line.Send(bytes); }

int RelayRig::Terminal(const std::string& bytes) {
    const std::size_t from = rec.Size();
    TerminalNoWait(bytes);
    return rec.WaitEvent(from, [&](const Seen& s) {
        return s.kind == TRACE_FROM_TERMINAL && s.count == bytes.size();
    });
}

void RelayRig::OnWindow(const std::function<void()>& fn) { loop.Call(fn); }

int RelayRig::Mode() {
    int m = -1;
    OnWindow([&] { m = relay->RelayMode(); });
    return m;
}

std::string RelayRig::Host() {
    std::string h;
    OnWindow([&] { h = relay->Host(); });
    return h;
}

std::string RelayRig::PortText() {
    std::string p;
    OnWindow([&] { p = relay->PortText(); });
    return p;
}

bool RelayRig::Connected() { return relay->Connected(); }
bool RelayRig::WorkerRunning() { return relay->WorkerRunning(); }
