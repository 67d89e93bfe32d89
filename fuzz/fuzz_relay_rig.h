// A relay for the fuzzers that drive the real thing: a window thread of its own, trace events
// recorded (the tests' Recorder), and a working folder for the log file. Loopback listeners that
// stand in for payment servers are the tests' TestServer. One per fuzzer process, made on first
// use and never torn down.
#pragma once
#include "core/event_loop.h"
#include "relay/relay.h"
#include "serial/com.h"
#include "support/relay_rig.h"

#include <string>
#include <thread>

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
    Recorder recorder;
    CCom terminal;  // never opened: writes go nowhere, the trace shows what they were
    Relay relay;

private:
    FuzzRelayRig();
    std::thread m_loopThread;
    std::string m_folder;
    unsigned m_runs = 0;
};
