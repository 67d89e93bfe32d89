#include "fuzz_relay_rig.h"

#include "fuzz_check.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

void EventRecorder::OnTraceEvent(unsigned count, const TraceEvent& event) {
    RigEvent e{event.kind, count, {}};
    if (event.kind == TRACE_TEXT || event.kind == TRACE_TMS)
        e.bytes.assign(event.text, strnlen(event.text, sizeof event.text));
    else
        e.bytes.assign(reinterpret_cast<const char*>(event.raw),
                       count < kTraceRawSize ? count : kTraceRawSize);
    std::lock_guard<std::mutex> g(m_lock);
    m_events.push_back(std::move(e));
    m_cond.notify_all();
}

bool EventRecorder::WaitText(const char* part, std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cond.wait_for(lock, bound, [&] {
        for (const RigEvent& e : m_events)
            if (e.kind == TRACE_TEXT && e.bytes.find(part) != std::string::npos) return true;
        return false;
    });
}

bool EventRecorder::WaitCount(int kind, std::size_t n, std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cond.wait_for(lock, bound, [&] {
        std::size_t seen = 0;
        for (const RigEvent& e : m_events) seen += e.kind == kind;
        return seen >= n;
    });
}

std::vector<RigEvent> EventRecorder::Take() {
    std::lock_guard<std::mutex> g(m_lock);
    std::vector<RigEvent> taken;
    taken.swap(m_events);
    return taken;
}

Listener::Listener(const char* addr) : address(addr) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, addr, &a.sin_addr);
    socklen_t len = sizeof a;
    FUZZ_CHECK(fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               listen(fd, 64) == 0 &&
               getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0);
    port = ntohs(a.sin_port);
}

int AcceptOne(int listenFd, std::chrono::milliseconds bound) {
    pollfd p{listenFd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(bound.count())) != 1) return -1;
    return accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

std::string ConnectFrameFor(char start, const std::string& host, int port, char end) {
    return std::string(1, start) + host + ":" + std::to_string(port) + std::string(1, end);
}

FuzzRelayRig& FuzzRelayRig::Get() {
    static FuzzRelayRig* rig = new FuzzRelayRig;  // outlives every input; never destroyed
    return *rig;
}

FuzzRelayRig::FuzzRelayRig()
    : relay(Relay::Ports{&loop, &terminal, nullptr, &recorder}) {
    // The log file lands in the working folder: give the fuzzer one of its own.
    char tmpl[] = "/tmp/brisca-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(tmpl) != nullptr);
    m_folder = tmpl;
    FUZZ_CHECK(chdir(m_folder.c_str()) == 0);
    static std::string folder = m_folder;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    });
    relay.SetLog(1);
    relay.SetVersionText("1, 0, 0, 5");
    relay.SetRateText("38400");
    m_loopThread = std::thread([this] { loop.Run(); });
}

void FuzzRelayRig::Burst(const std::string& bytes) {
    OnWindow([&] {
        relay.OnTerminalFrame(reinterpret_cast<const unsigned char*>(bytes.data()),
                              static_cast<unsigned>(bytes.size()));
    });
}

void FuzzRelayRig::TrimLog() {
    if (++m_runs % 2000 != 0) return;
    std::error_code ec;
    std::filesystem::remove_all(m_folder + "/gate_log", ec);
}
