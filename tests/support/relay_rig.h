// The relay on real parts for tests: a window thread, a pseudo-terminal pair as the serial line
// with a real CCom, loopback servers, a recorder of trace events and tray icons, the log file.
#pragma once
#include "core/event_loop.h"
#include "diag/trace_render.h"
#include "relay/relay.h"
#include "serial/com.h"
#include "support/log_files.h"
#include "support/pty_pair.h"
#include "support/fresh_directory.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// Safety bound for waits on events that must come; the waits end as soon as they do.
constexpr auto kEventBound = 15s;

// One entry of the timeline the window thread (and the workers' icon changes) leave behind.
struct Seen {
    enum What { EVENT, ICON } what;
    int kind = 0;       // EVENT
    unsigned count = 0; // EVENT
    std::string text;   // EVENT kind 0 and 3
    std::string raw;    // EVENT kinds 1 and 2: the bytes held in the record
    int icon = 0;       // ICON
};

class Recorder final : public TraceTarget, public TrayIconState, public ConsoleSink {
public:
    Recorder() : m_renderer(this) {}
    void OnTraceEvent(unsigned count, const TraceEvent& event) override;
    void SetIcon(int icon) override;
    void Append(const char* line) override;
    void ClearConsole() override;

    // Waits until pred holds for the timeline; false after the safety bound.
    bool WaitFor(const std::function<bool(const std::vector<Seen>&)>& pred,
                 std::chrono::milliseconds bound = kEventBound);
    // Waits for the first event after index `from` that matches; its index or -1.
    int WaitEvent(std::size_t from, const std::function<bool(const Seen&)>& match,
                  std::chrono::milliseconds bound = kEventBound);
    std::vector<Seen> Timeline();
    // The timeline so far; the record (and the console's lines) start afresh.
    std::vector<Seen> Take();
    std::size_t Size();
    std::vector<std::string> ConsoleLines();

private:
    std::mutex m_lock;
    std::condition_variable m_cond;
    std::vector<Seen> m_seen;
    std::vector<std::string> m_console;
    TraceRenderer m_renderer;  // renders every event as the debug window would
};

// Accepts one connection on a listening socket within the bound; -1 if none came. The caller
// owns it.
int AcceptOne(int listenFd, std::chrono::milliseconds bound);

// A listening loopback socket and the connections it accepts.
class TestServer {
public:
    explicit TestServer(const char* address = "127.0.0.1");
    ~TestServer();
    int Port() const { return m_port; }
    const std::string& Address() const { return m_address; }
    // The listening socket, for callers that accept (and close) connections themselves.
    int Fd() const { return m_fd; }
    // Accepts one connection; -1 when none came within the bound.
    int Accept(std::chrono::milliseconds bound = kEventBound);
    // True when a connection is waiting to be accepted within the bound.
    bool Pending(std::chrono::milliseconds bound);

private:
    int m_fd = -1;
    int m_port = 0;
    std::string m_address;
    std::vector<int> m_accepted;
};

// A port on which nothing listens: connects are refused at once.
int RefusedPort();

// Writes all bytes (a socket whose peer has gone reports false, without SIGPIPE).
bool SendBytes(int fd, const std::string& bytes);
// Reads exactly n bytes; fewer when the bound passed or the peer closed.
std::string ReadBytes(int fd, std::size_t n, std::chrono::milliseconds bound = kEventBound);
// True when the peer's end of stream arrives within the bound (data before it is skipped).
bool SeesEof(int fd, std::chrono::milliseconds bound);
// True when nothing arrives within the window (the fd stays silent).
bool Silent(int fd, std::chrono::milliseconds window);

std::string ConnectFrame(char start, const std::string& host, int port, char end);

class RelayRig {
public:
    // trace and tray default to rec.
    explicit RelayRig(Relay::Timeouts timeouts = {}, TraceTarget* trace = nullptr,
                      TrayIconState* tray = nullptr);
    ~RelayRig();

    // Writes bytes on the terminal's side of the line (one burst) and waits until the relay has
    // traced them as a kind-1 event; returns that event's index.
    int Terminal(const std::string& bytes);
    // Writes without waiting (a burst whose handling blocks the window thread).
    void TerminalNoWait(const std::string& bytes);
    // Reads what the relay wrote to the terminal.
    std::string FromRelay(std::size_t n, std::chrono::milliseconds bound = kEventBound) {
        return m_line.Receive(n, bound);
    }
    bool TerminalSilent(std::chrono::milliseconds window) { return Silent(m_line.master, window); }

    // Relay state, read on the window thread.
    int Mode();
    std::string Host();
    std::string PortText();
    bool Connected();
    bool WorkerRunning();
    void OnWindow(const std::function<void()>& fn);

    Recorder rec;
    EventLoop loop;
    CCom com;
    std::unique_ptr<Relay> relay;

private:
    std::thread m_loopThread;
    PtyPair m_line;
};
