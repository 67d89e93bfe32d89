// The relay: takes every burst from the terminal, answers the version query, runs the server
// connection on the plain or the secure route and writes the server's answers to the terminal.
// Platform-free; the main window (Windows) or the headless program (Linux) owns one.
#pragma once
#include "diag/trace.h"
#include "serial/com.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <thread>

class WindowThread;

enum { ICON_IDLE = 142, ICON_ANSWER = 143 };  // tray icon resources
enum { RELAY_NONE = 0, RELAY_PLAIN = 1, RELAY_SECURE = 2 };

class TrayIconState {
public:
    virtual ~TrayIconState() = default;
    virtual void SetIcon(int iconResource) = 0;  // any thread
};

class Relay final : public TerminalSink {
public:
    struct Ports {
        WindowThread* window;   // where bursts, sends and trace rendering run
        CCom* terminal;         // Write() sends to the terminal
        TrayIconState* tray;
        TraceTarget* trace;     // the debug window's OnTraceEvent
    };
    // Silences that end a connection; the program keeps the real values, tests shorten them.
    struct Timeouts {
        int plainSilenceSec = 100;
        int secureSilenceSec = 30;
    };

    explicit Relay(const Ports& ports);
    ~Relay() override;  // calls Stop()
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    void SetLog(int bLog) { m_bLog.store(bLog); }
    int Log() const { return m_bLog.load(); }
    void SetVersionText(const char* text);  // "1, 0, 0, 5"
    void SetRateText(const char* text);     // the speed text of the settings, e.g. "38400"
    void SetTimeouts(const Timeouts& t) { m_timeouts = t; }

    // WM_TERMINAL_FRAME: on the window thread, bytes read in place from CCom's buffer.
    int OnTerminalFrame(const unsigned char* bytes, unsigned n) override;
    void OnPortLost(const char* portName) override;

    // The one way bytes reach the terminal: trace kind 2, icon 143, serial write. Any thread.
    int SendToTerminal(const void* bytes, unsigned n);
    // Formats a text (kind 0) or TMS (kind 3) event and has it rendered. Any thread.
    void PostTrace(int kind, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;

    // Closes the connection and waits (serving the window thread) until its worker has ended.
    void Stop();

    // State, for the shells and tests (read on the window thread).
    int RelayMode() const { return m_relayMode; }
    const char* Host() const { return m_host; }
    const char* PortText() const { return m_portText; }
    bool Connected() const;
    bool WorkerRunning() const { return !m_workerDone.load(); }

private:
    // (the relay module adds its state and operations here)
    std::atomic<int> m_bLog{0};
    std::atomic<bool> m_workerDone{true};
    Timeouts m_timeouts;
    int m_relayMode = RELAY_NONE;
    char m_host[21] = {};
    char m_portText[10] = {};
};
