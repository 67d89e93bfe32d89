// The relay on real parts for tests: a window thread, a pseudo-terminal pair as the serial line
// with a real CCom, loopback servers, a recorder of trace events and tray icons, the log file.
#pragma once
#include "core/event_loop.h"
#include "diag/trace_render.h"
#include "relay/relay.h"
#include "serial/com.h"
#include "support/log_files.h"
#include "support/pty_pair.h"
#include "support/test_server.h"
#include "support/fresh_directory.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>


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
    void ShowHeldLine() override { m_renderer.ShowHeldLine(); }
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
    // Waits until a console line holds part (an answer's line follows its write to the terminal).
    bool WaitConsoleLine(const std::string& part, std::chrono::milliseconds bound = kEventBound);

private:
    std::mutex m_lock;
    std::condition_variable m_cond;
    std::vector<Seen> m_seen;
    std::vector<std::string> m_console;
    TraceRenderer m_renderer;  // renders every event as the debug window would
};

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
