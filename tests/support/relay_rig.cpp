#include "support/relay_rig.h"

#include <unistd.h>

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
    m_cond.notify_all();
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

bool Recorder::WaitConsoleLine(const std::string& part, std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cond.wait_for(lock, bound, [&] {
        for (const std::string& l : m_console)
            if (l.find(part) != std::string::npos) return true;
        return false;
    });
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

    com.SetParams(slave.c_str(), 38400, 8, COM_STOP_ONE, COM_PARITY_NONE);
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
    OnWindow([&] { m = relay->Mode(); });
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

bool RelayRig::Connected() {
    bool c = false;
    OnWindow([&] { c = relay->Connected(); });
    return c;
}
bool RelayRig::WorkerRunning() { return relay->WorkerRunning(); }
