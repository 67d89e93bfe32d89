// The headless Linux shell of the gateway: the window thread's loop on the main thread, the
// settings file (or the service's read-only one), standard output as the console, the tray
// icon's state, the command line and the monitoring events on standard error.
#pragma once
#include "app/posix/console.h"
#include "app/posix/journal_events.h"
#include "app/posix/options.h"
#include "core/event_loop.h"
#include "gateway/gateway.h"

#include <cstdio>
#include <string>

class HeadlessGateway final : private GatewayShell {
public:
    HeadlessGateway(const Options& opts, const char* versionText);
    HeadlessGateway(const HeadlessGateway&) = delete;
    HeadlessGateway& operator=(const HeadlessGateway&) = delete;

    // The window's initialisation on the calling thread, which becomes the window thread.
    // 0 when the port is open; 2 when it cannot be opened (the message is on standard error).
    int Start();
    // Serves the serial watcher and the workers until Loop().Quit().
    void Run() { m_loop.Run(); }
    // Ends the port's recovery, closes the port (its watcher ends) and then the connection (its
    // worker ends).
    void Stop() { m_gateway.Stop(); }

    EventLoop& Loop() { return m_loop; }

private:
    SettingsRead ReadSettings() override;
    int SaveSettings(const GatewaySettings& settings, const char* version) override;
    int LogChecked() override { return m_logChecked; }
    void ReportOpenFailure(const char* port) override;

    Options m_opts;
    std::string m_settingsPath;
    std::string m_systemPort;  // --system: the instance's device
    int m_logChecked = 0;      // the "로그생성" checkbox: takes effect when the settings are saved

    EventLoop m_loop;
    StdoutConsole m_console;
    JournalEvents m_events;
    HeadlessTrayIcon m_trayIcon;
    Gateway m_gateway;
};

// --check-config: the settings file's problems and the values in force, printed to out. 0 when
// there is no problem, 1 otherwise.
int CheckSettings(const Options& opts, std::FILE* out);
