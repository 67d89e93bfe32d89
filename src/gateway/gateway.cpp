#include "gateway/gateway.h"

#include "crypto/server_key.h"
#include "diag/log.h"
#include "relay/frame_text.h"

#include <cstdio>
#include <cstring>

Gateway::Gateway(const Parts& parts, const char* versionText, const char* defaultLogFolder)
    : m_window(parts.window),
      m_shell(parts.shell),
      m_events(parts.events),
      m_versionText(versionText ? versionText : ""),
      m_defaultLogFolder(defaultLogFolder ? defaultLogFolder : ""),
      m_keyText(ServerKeyLine()),
      m_renderer(parts.console),
      m_relay(Relay::Ports{parts.window, &m_com, parts.tray, &m_renderer}),
      m_recovery(parts.window,
                 [](void* self) { return static_cast<Gateway*>(self)->ReopenPort(); }, this) {
    m_relay.SetVersionText(m_versionText.c_str());
    m_relay.SetServerWatch(this);
    m_com.SetOwner(m_window, this);
    LogSetRefusalSink([](void* self, const char* text) { static_cast<Gateway*>(self)->ReportLogRefusal(text); },
                      this);
}

Gateway::~Gateway() {
    Stop();
    LogSetRefusalSink(nullptr, nullptr);
}

bool Gateway::NoServer::Allows(const char*, char* rule, std::size_t cap) const {
    std::snprintf(rule, cap, "%s", "Allowed Servers 읽을 수 없음");
    return false;
}

// Said once each time the log stops being written: the log itself cannot carry it.
void Gateway::ReportLogRefusal(const char* text) {
    m_relay.PostTrace(TRACE_TEXT, "로그 기록 불가!-->%s", text);
    if (m_events) m_events->LogRefused(text);
}

void Gateway::SetLogSwitch(int bLog) {
    m_bLog = bLog ? 1 : 0;
    m_renderer.SetLog(m_bLog);
    m_relay.SetLog(m_bLog);
    m_shell->OnLogSwitch(m_bLog);
    LogSettingsIssues();
}

void Gateway::LogSettingsIssues() {
    if (!m_bLog || m_issuesLogged) return;
    m_issuesLogged = true;
    for (const SettingsIssue& issue : m_loaded.issues)
        LogPrintf(m_bLog, "TEVN-> %s : 설정 %s\n", issue.error ? "ERROR" : "WARNING", issue.text.c_str());
}

int Gateway::LoadSettings() {
    m_loaded = m_shell->ReadSettings();
    m_issuesLogged = false;
    GatewaySettings stored = m_loaded.values;
    const int found = m_loaded.stored ? 1 : 0;
    if (found) {
        m_port = CutText(stored.port.empty() ? std::string("COM1") : stored.port, kMaxPortText);
        m_rate = CutText(stored.rate.empty() ? std::string(kDefaultRateText) : stored.rate, kMaxRateText);
    } else {
        // Nothing stored: the first port of the list, the default speed, no log. The
        // administrator's values count all the same.
        stored.port.clear();
        stored.rate.clear();
        stored.log = 0;
        m_port = "COM1";
        m_rate = kDefaultRateText;
    }
    m_stored = stored;
    LogOptions options;
    options.folder = stored.logFolder.empty() ? m_defaultLogFolder : stored.logFolder;
    options.days = stored.logDays;
    options.limitMb = stored.logLimitMb;
    LogConfigure(options);
    SetLogSwitch(found ? stored.log : 0);  // logs the problems when the log is on
    m_relay.SetRateText(m_rate.c_str());
    for (const SettingsIssue& issue : m_loaded.issues) {
        m_relay.PostTrace(TRACE_TEXT, "%s!-->%s", issue.error ? "설정 오류" : "설정 경고", issue.text.c_str());
        if (m_events) m_events->SettingsProblem(issue.error, issue.text.c_str());
    }
    SetAllowedServers(stored);
    return found;
}

// A list with a damaged item allows no server at all, and says which item it is; so does a
// list that could not be read.
void Gateway::SetAllowedServers(const GatewaySettings& s) {
    if (s.allowNone) {
        m_relay.SetServerFilter(&m_noServer);
        return;
    }
    char bad[64] = {};
    if (!m_allowList.Parse(s.allowedServers.c_str(), bad, sizeof bad)) {
        m_relay.PostTrace(TRACE_TEXT, "Allowed Servers 설정 오류!-->%s", bad);
        LogPrintf(m_bLog, "TEVN-> ERROR : Allowed Servers 설정 오류 (%s): 어떤 서버에도 접속하지 않습니다\n", bad);
    }
    m_relay.SetServerFilter(m_allowList.AllowsEverything() ? nullptr : &m_allowList);
}

void Gateway::SetTexts(const std::string& port, const std::string& rate) {
    m_port = CutText(port, kMaxPortText);
    m_rate = CutText(rate, kMaxRateText);
}

bool Gateway::OpenPort() {
    m_com.SetParams(m_port.c_str(), RateNumber(m_rate.c_str()), 8, COM_STOP_ONE, COM_PARITY_NONE);
    m_relay.SetRateText(m_rate.c_str());
    if (m_com.Open()) {
        m_relay.PostTrace(TRACE_TEXT, "%s Open 성공!", m_port.c_str());
        return true;
    }
    m_shell->ReportOpenFailure(m_port.c_str());
    m_relay.PostTrace(TRACE_TEXT, "%s Open 실패!", m_port.c_str());
    return false;
}

int Gateway::Start() {
    const std::string folder = LogFolder();
    // The first log line of each start says what runs where; the first trace line, which
    // folder the log goes to. The embedded server key's fingerprint text ends the
    // log line.
    LogPrintf(m_bLog, "TEVN-> 프로그램 시작 : 버전 %s, 포트 %s, 로그 폴더 %s%s%s\n",
              m_versionText.c_str(), m_port.c_str(), folder.c_str(),
              m_keyText.empty() ? "" : ", ", m_keyText.c_str());
    m_startLogged = true;
    m_relay.PostTrace(TRACE_TEXT, "로그 폴더-->%s", folder.c_str());
    if (!OpenPort()) {
        if (m_events) m_events->StartFailed(m_versionText.c_str(), m_port.c_str(), folder.c_str());
        return 0;
    }
    SaveSettings();
    m_started = true;
    if (m_events) m_events->Started(m_versionText.c_str(), m_port.c_str(), folder.c_str());
    return 1;
}

void Gateway::WaitForPort() {
    m_started = true;
    m_recovery.Start();
}

int Gateway::ApplySettings(const std::string& port, const std::string& rate) {
    // The operator's choice replaces whatever the retries were waiting for.
    m_recovery.Cancel();
    if (m_com.IsOpen()) {
        // Close returns when the watcher has left, so the port can be opened again at once.
        m_com.Close();
        m_relay.PostTrace(TRACE_TEXT, "%s Close", m_port.c_str());
    }
    SetTexts(port, rate);
    if (!OpenPort()) return 0;
    SaveSettings();
    return 1;
}

int Gateway::SaveSettings() {
    SetLogSwitch(m_shell->LogChecked());
    GatewaySettings s = m_stored;
    s.port = m_port;
    s.rate = m_rate;
    s.log = m_bLog;
    const int saved = m_shell->SaveSettings(s, m_versionText.c_str());
    if (saved) m_stored = s;
    return saved;
}

void Gateway::Stop() {
    m_recovery.Stop();
    // The port first: a burst that arrives during the stop must not open a new connection.
    m_com.Close();
    m_relay.Stop();
    // Also after a start whose port never opened (a box up, the installer ending the program).
    if (m_started || m_startLogged) LogPrintf(m_bLog, "TEVN-> 프로그램 종료\n");
    if (m_started && m_events) m_events->Stopped();
    m_started = false;
    m_startLogged = false;
}

void Gateway::OnTerminalFrame(const unsigned char* bytes, unsigned n) {
    m_relay.OnTerminalFrame(bytes, n);
}

void Gateway::OnPortLost(const char* portName) {
    m_relay.OnPortLost(portName);  // the one trace and log line that say the port is gone
    if (m_events) m_events->PortLost(portName ? portName : "");
    m_recovery.Start();
}

void Gateway::OnServerUnreachable(const char* host, int port) {
    if (!m_events) return;
    // The host text comes from the terminal: its control bytes reach no event record raw.
    char shown[4 * kHostSize + 1];
    EscapeControls(host, std::strlen(host), shown, sizeof shown);
    m_events->ServerUnreachable(shown, port);
}

void Gateway::OnServerNotReading(const char* host, int port) {
    if (!m_events) return;
    char shown[4 * kHostSize + 1];
    EscapeControls(host, std::strlen(host), shown, sizeof shown);
    m_events->ServerNotReading(shown, port);
}

// The same device name and line settings as before; the stored settings are not touched.
bool Gateway::ReopenPort() {
    if (!m_com.Open()) return false;
    const char* name = m_com.PortName().c_str();
    m_relay.PostTrace(TRACE_TEXT, "시리얼 포트 복구!-->%s", name);
    LogPrintf(m_bLog, "TEVN-> 시리얼 포트 복구 (%s)\n", name);
    if (m_events) m_events->PortBack(name);
    return true;
}
