// CCom: the serial link to the card terminal. Opens one port, runs a watcher thread that hands
// every burst (ended by 100 ms of line silence or 4096 bytes) to the window thread, and writes.
#pragma once
#include "core/terminal.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class WindowThread;

constexpr unsigned kComBufferSize = 4096;

// The line's parity and stop bits in the codes of the Windows DCB, which takes them as they are
// (the COM_ prefix: winbase.h already has PARITY_NONE and the like for other codes).
enum ComParity : uint8_t {
    COM_PARITY_NONE = 0,
    COM_PARITY_ODD = 1,
    COM_PARITY_EVEN = 2,
    COM_PARITY_MARK = 3,
    COM_PARITY_SPACE = 4,
};

enum ComStopBits : uint8_t {
    COM_STOP_ONE = 0,
    COM_STOP_ONE_HALF = 1,  // with 5 data bits only
    COM_STOP_TWO = 2,
};

class CCom final : public TerminalWriter {
public:
    CCom();
    ~CCom() override;
    CCom(const CCom&) = delete;
    CCom& operator=(const CCom&) = delete;

    void SetParams(const char* portName, uint32_t baudRate, uint8_t byteSize, ComStopBits stopBits,
                   ComParity parity);
    // Who receives the bursts; must be set before Open (the watcher never runs without one).
    void SetOwner(WindowThread* window, TerminalSink* sink);

    // 1 or 0. An open port is closed first. SetParams only while the port is closed.
    int Open();
    // The old watcher has left when it returns. Called from inside a handler of this port, it
    // lets the watcher go instead: that one leaves when the handler returns and touches nothing
    // any more. Bursts not yet handed over when Close starts are dropped.
    void Close();
    uint32_t Write(const void* bytes, uint32_t n) override;  // any thread; one write at a time
    // The line silence that ends a burst, for every port opened afterwards (100 ms; shorter in fuzzing).
    static void SetSilenceMs(unsigned ms);

    bool IsOpen() const { return m_bConnected.load() != 0; }
    const std::string& PortName() const { return m_strPortName; }
    uint32_t BaudRate() const { return m_baudRate; }

    struct Platform;  // the device handle and the platform's wake-up and I/O records

private:
    struct HandOverMark;  // the hand-over now running on the window thread (on the stack)

    uint32_t Read();
    void CommWatchProc();
    // Both run a call on the window thread. False when Close ran inside that very call: the
    // watcher has been let go and must return without touching the object again.
    bool HandOver(uint32_t total);
    bool ReportLost(const char* why);
    // After m_bConnected = 0 and the platform's wake-up: the watcher has left on return (or,
    // when Close runs inside the watcher's own hand-over, it has been let go).
    bool StartWatcher();  // false when the thread cannot be started (nothing running then)
    void StopWatcher();
    void WatcherDone();  // last act of a watcher that was not let go

    std::atomic<int> m_bConnected{0};
    WindowThread* m_window = nullptr;
    TerminalSink* m_sink = nullptr;
    std::string m_strPortName;
    uint8_t m_byteSize = 8;
    ComParity m_parity = COM_PARITY_NONE;
    ComStopBits m_stopBits = COM_STOP_ONE;
    uint32_t m_baudRate = 0;
    std::unique_ptr<Platform> m_platform;  // made once per object, not per open
    std::mutex m_writeLock;                // one write at a time; the device closes under it
    std::thread m_watcher;
    std::thread m_leftWatcher;             // let go inside its own hand-over; joined later
    std::atomic<bool> m_watcherDone{true};
    std::atomic<bool> m_closing{false};    // hand-overs that arrive meanwhile are dropped
    HandOverMark* m_handOver = nullptr;    // window thread only
    uint32_t m_readCount = 0;  // bytes gathered in the current burst
    unsigned char m_readBuffer[kComBufferSize];
};
