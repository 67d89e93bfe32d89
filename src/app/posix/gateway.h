// The headless gateway: what the main window owns on Windows (the serial port, the relay, the
// trace and the tray icon state), its start-up (settings, port, settings saved, autostart) and
// the reopening of a port whose device went away.
#pragma once
#include "app/posix/console.h"
#include "app/posix/options.h"
#include "app/posix/port_recovery.h"
#include "core/event_loop.h"
#include "diag/trace_render.h"
#include "relay/relay.h"
#include "serial/com.h"

#include <string>

class HeadlessGateway final : private TerminalSink {
public:
    HeadlessGateway(const Options& opts, const char* versionText);
    HeadlessGateway(const HeadlessGateway&) = delete;
    HeadlessGateway& operator=(const HeadlessGateway&) = delete;

    // The window's initialisation on the calling thread, which becomes the window thread.
    // 0 when the port is open; 2 when it cannot be opened (the message is on standard error).
    int Start();
    // Serves the serial watcher and the workers until Loop().Quit().
    void Run() { m_loop.Run(); }
    // Ends the port's recovery, closes the connection (its worker ends) and then the port (its
    // watcher ends).
    void Stop();

    EventLoop& Loop() { return m_loop; }

private:
    // The port's bursts go to the relay; its loss also starts the retries.
    int OnTerminalFrame(const unsigned char* bytes, unsigned n) override;
    void OnPortLost(const char* portName) override;
    bool ReopenPort();  // one retry, on the window thread

    void LoadSettings();
    void SaveSettings();

    Options m_opts;
    std::string m_versionText;
    std::string m_settingsPath;
    std::string m_strPort;
    std::string m_strRate;
    int m_bLog = 0;
    int m_logChecked = 0;  // the "로그생성" checkbox: takes effect when the settings are saved

    EventLoop m_loop;
    StdoutConsole m_console;
    TraceRenderer m_renderer;
    HeadlessTrayIcon m_trayIcon;
    CCom m_com;
    Relay m_relay;
    PortRecovery m_recovery;
};
