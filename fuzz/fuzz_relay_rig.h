// A relay for the fuzzers that drive the real thing: a window thread of its own, trace events
// recorded, loopback listeners that stand in for payment servers, and a working folder for the
// log file. One per fuzzer process, made on first use and never torn down.
#pragma once
#include "core/event_loop.h"
#include "relay/relay.h"
#include "serial/com.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct RigEvent {
    int kind;
    unsigned count;
    std::string bytes;  // text of kind 0 and 3, the bytes held for kinds 1 and 2
};

class EventRecorder final : public TraceTarget {
public:
    void OnTraceEvent(unsigned count, const TraceEvent& event) override;
    // Waits until an event of the given kind whose text contains `part` has been recorded.
    bool WaitText(const char* part, std::chrono::milliseconds bound);
    // Waits until at least n events of the kind have been recorded.
    bool WaitCount(int kind, std::size_t n, std::chrono::milliseconds bound);
    std::vector<RigEvent> Take();  // the events so far; the record starts afresh

private:
    std::mutex m_lock;
    std::condition_variable m_cond;
    std::vector<RigEvent> m_events;
};

// A listening loopback socket on a free port.
struct Listener {
    explicit Listener(const char* address);
    int fd = -1;
    int port = 0;
    std::string address;
};

class FuzzRelayRig {
public:
    static FuzzRelayRig& Get();

    // Runs fn on the window thread and waits for it.
    template <class F> void OnWindow(F&& f) { loop.Call(f); }
    // Hands one burst to the relay as the serial watcher would.
    void Burst(const std::string& bytes);
    // Clears the log folder now and then so that long runs do not fill the disk.
    void TrimLog();

    EventLoop loop;
    EventRecorder recorder;
    CCom terminal;  // never opened: writes go nowhere, the trace shows what they were
    Relay relay;

private:
    FuzzRelayRig();
    std::thread m_loopThread;
    std::string m_folder;
    unsigned m_runs = 0;
};

// Accepts one connection on the listener within the bound; -1 if none came.
int AcceptOne(int listenFd, std::chrono::milliseconds bound);
// The connect frame 'S' host ':' port 'E' (or the given markers).
std::string ConnectFrameFor(char start, const std::string& host, int port, char end);
