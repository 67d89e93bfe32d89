// The gateway both programs share: it owns the serial port, the relay, the trace renderer, the
// log switch and the port's recovery, and runs the settings' open/save sequence. A shell (the
// Windows main window, the headless Linux program) gives it a window thread, a console, a tray
// icon and the place where settings are stored, and keeps only what its platform alone has.
#pragma once
#include "core/server_filter.h"
#include "core/terminal.h"
#include "core/window_thread.h"
#include "diag/trace.h"
#include "diag/trace_render.h"
#include "gateway/port_recovery.h"
#include "gateway/settings_model.h"
#include "gateway/settings_text.h"
#include "net/allow_list.h"
#include "relay/relay.h"
#include "serial/com.h"

#include <string>

// What the gateway asks of its shell. Every call comes on the window thread.
class GatewayShell {
public:
    virtual ~GatewayShell() = default;
    // The registry (Windows) or the settings file (Linux), read value by value into a
    // SettingsReader: the values in force, whether port, speed and log switch are stored, and
    // every problem found.
    virtual SettingsRead ReadSettings() = 0;
    // Writes "COM Port", "COM Rate", "Version" and "Log Flag". 1 written, 0 not.
    virtual int SaveSettings(const GatewaySettings& settings, const char* version) = 0;
    // The "로그생성" choice as the operator left it; it takes effect when the settings are saved.
    virtual int LogChecked() = 0;
    // The log switch changed (the debug window keeps a copy on Windows).
    virtual void OnLogSwitch(int /*bLog*/) {}
    // The port did not open: a message box on Windows, standard error on Linux.
    virtual void ReportOpenFailure(const char* port) = 0;
};

// The shop's monitoring: what happened to the gateway as a whole, never with card data.
class GatewayEvents {
public:
    virtual ~GatewayEvents() = default;
    virtual void Started(const char* version, const char* port, const char* logFolder) = 0;
    virtual void StartFailed(const char* version, const char* port, const char* logFolder) = 0;
    virtual void Stopped() = 0;
    virtual void PortLost(const char* port) = 0;
    virtual void PortBack(const char* port) = 0;
    virtual void ServerUnreachable(const char* host, int port) = 0;
    // The server stopped taking the terminal's frames; some were dropped.
    virtual void ServerNotReading(const char* host, int port) = 0;
    // A problem in the stored settings (error: a bad value; else a warning: an unknown name).
    virtual void SettingsProblem(bool error, const char* text) = 0;
    // The log folder or the day's file cannot be used: nothing is logged until it can.
    virtual void LogRefused(const char* text) = 0;
};

class Gateway final : private TerminalSink, private ServerWatch {
public:
    struct Parts {
        WindowThread* window;
        ConsoleSink* console;
        TrayIconState* tray;
        GatewayShell* shell;
        GatewayEvents* events = nullptr;  // null: nobody watches
    };
    // defaultLogFolder: where the log goes unless the settings name a "Log Folder" (UTF-8;
    // empty: gate_log under the working directory).
    Gateway(const Parts& parts, const char* versionText, const char* defaultLogFolder);
    ~Gateway() override;  // Stop()
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Reads the stored settings and configures the log and the allowed servers from them; each
    // problem goes to the trace, the log and the events. 1 found; 0 none (port "COM1", the
    // default speed, log off).
    int LoadSettings();
    // The settings as the last LoadSettings found them.
    const SettingsRead& Loaded() const { return m_loaded; }
    // The texts the operator gave (window controls, command line), cut to the text limits.
    void SetTexts(const std::string& port, const std::string& rate);
    // Start-up on the window thread: says which log folder is in use, logs the start, opens the
    // port; "%s Open 성공!" and the settings saved, or "%s Open 실패!" and the shell's report.
    // 1 when the port is open.
    int Start();
    // After a Start that could not open the port: the gateway runs on and tries the port once a
    // second, as after a loss (a service started before its device is there).
    void WaitForPort();
    // The operator's "세팅": the retries of a lost port end, the open port closes ("%s Close"),
    // the port opens with the new texts and the settings are saved. 1 when it opened.
    int ApplySettings(const std::string& port, const std::string& rate);
    // Takes the log choice from the shell, switches the log and stores the settings.
    int SaveSettings();
    // Ends the retries, closes the port (no burst opens a connection any more) and then the
    // connection; its worker has ended on return. Window thread, or after the loop has ended.
    void Stop();


    const std::string& PortText() const { return m_port; }
    const std::string& RateText() const { return m_rate; }
    int Log() const { return m_bLog; }
    bool Retrying() const { return m_recovery.Retrying(); }
    Relay& GetRelay() { return m_relay; }
    CCom& Port() { return m_com; }

private:
    void OnTerminalFrame(const unsigned char* bytes, unsigned n) override;
    void OnPortLost(const char* portName) override;
    void OnServerUnreachable(const char* host, int port) override;
    void OnServerNotReading(const char* host, int port) override;
    bool OpenPort();    // the port with the current texts; traced, failure reported
    bool ReopenPort();  // one retry of a lost port, same texts, settings untouched
    void SetLogSwitch(int bLog);
    // The settings problems go to the log once it is on (at the start, or when switched on later).
    void LogSettingsIssues();
    void SetAllowedServers(const GatewaySettings& s);
    void ReportLogRefusal(const char* text);

    WindowThread* m_window;
    GatewayShell* m_shell;
    GatewayEvents* m_events;
    std::string m_versionText;
    std::string m_defaultLogFolder;
    std::string m_keyText;
    GatewaySettings m_stored;
    SettingsRead m_loaded;
    std::string m_port = "COM1";
    std::string m_rate;
    int m_bLog = 0;
    bool m_issuesLogged = false;
    bool m_started = false;
    bool m_startLogged = false;  // the start's log line was written: the stop's line follows it
    AllowList m_allowList;
    // The filter when "Allowed Servers" cannot be read: no server.
    struct NoServer final : ServerFilter {
        bool Allows(const char*, char* rule, std::size_t cap) const override;
    } m_noServer;

    // Declared in the order they are needed; destroyed in reverse (recovery, relay, port, trace).
    TraceRenderer m_renderer;
    CCom m_com;
    Relay m_relay;
    PortRecovery m_recovery;
};
