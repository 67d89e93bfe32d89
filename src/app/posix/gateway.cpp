#include "app/posix/gateway.h"

#include "app/posix/autostart.h"
#include "app/posix/settings.h"
#include "diag/log.h"

#include <cstdio>
#include <cstdlib>

namespace {
uint32_t RateNumber(const std::string& text) {
    // "the number in the speed text": leading decimal digits, 0 if none
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > 0xFFFFFFFFu) return 0;
    }
    return static_cast<uint32_t>(v);
}
}  // namespace

HeadlessGateway::HeadlessGateway(const Options& opts, const char* versionText)
    : m_opts(opts),
      m_versionText(versionText),
      m_console(stdout),
      m_renderer(&m_console),
      m_trayIcon(opts.verbose ? stderr : nullptr),
      m_relay(Relay::Ports{&m_loop, &m_com, &m_trayIcon, &m_renderer}),
      m_recovery(&m_loop, [](void* self) { return static_cast<HeadlessGateway*>(self)->ReopenPort(); },
                 this) {}

int HeadlessGateway::OnTerminalFrame(const unsigned char* bytes, unsigned n) {
    return m_relay.OnTerminalFrame(bytes, n);
}

void HeadlessGateway::OnPortLost(const char* portName) {
    m_relay.OnPortLost(portName);  // the one line that says the port is gone
    m_recovery.Start();
}

// The same device name and line settings as before; the settings file is not touched.
bool HeadlessGateway::ReopenPort() {
    if (!m_com.Open()) return false;
    m_relay.PostTrace(TRACE_TEXT, "시리얼 포트 복구!-->%s", m_com.PortName().c_str());
    LogPrintf(m_relay.Log(), "TEVN-> 시리얼 포트 복구 (%s)\n", m_com.PortName().c_str());
    return true;
}

void HeadlessGateway::LoadSettings() {
    m_settingsPath = m_opts.configPath.empty() ? DefaultSettingsPath() : m_opts.configPath;
    StoredSettings stored;
    SettingsProblem problem;
    const int r = m_settingsPath.empty() ? 0 : LoadSettingsFile(m_settingsPath, &stored, &problem);
    if (r == 1) {
        m_strPort = stored.port;
        m_strRate = stored.rate;
        m_bLog = stored.log;
        m_logChecked = stored.log;
    } else {
        if (r < 0) {
            const std::string where =
                problem.line > 0 ? "line " + std::to_string(problem.line) + ": " : std::string();
            std::fprintf(stderr, "설정 파일을 읽을 수 없습니다: %s (%s%s). 기본 설정으로 시작합니다.\n",
                         m_settingsPath.c_str(), where.c_str(), problem.reason.c_str());
        }
        m_strPort = "COM1";  // the speed text stays empty
    }
    // The command line acts as the operator typing into the window before "세팅".
    if (m_opts.hasPort) m_strPort = m_opts.port;
    if (m_opts.hasRate) m_strRate = m_opts.rate;
    if (m_opts.log >= 0) m_logChecked = m_opts.log;
}

void HeadlessGateway::SaveSettings() {
    m_bLog = m_logChecked;
    m_renderer.SetLog(m_bLog);
    m_relay.SetLog(m_bLog);
    if (m_settingsPath.empty()) return;
    StoredSettings s{m_strPort, m_strRate, m_versionText, m_bLog};
    if (!SaveSettingsFile(m_settingsPath, s))
        std::fprintf(stderr, "설정을 저장할 수 없습니다: %s\n", m_settingsPath.c_str());
}

int HeadlessGateway::Start() {
    m_loop.Adopt();
    LoadSettings();
    m_trayIcon.SetIcon(ICON_IDLE);
    m_renderer.SetLog(m_bLog);
    m_relay.SetLog(m_bLog);
    m_relay.SetVersionText(m_versionText.c_str());
    m_relay.SetRateText(m_strRate.c_str());

    m_com.SetParams(m_strPort.c_str(), RateNumber(m_strRate), 8, 0, 0);
    m_com.SetOwner(&m_loop, this);
    const int opened = m_com.Open();
    if (opened) {
        m_relay.PostTrace(TRACE_TEXT, "%s Open 성공!", m_strPort.c_str());
        SaveSettings();
    } else {
        std::fprintf(stderr, "%s 포트를 열 수 없습니다!\n", m_strPort.c_str());
        m_relay.PostTrace(TRACE_TEXT, "%s Open 실패!", m_strPort.c_str());
    }
    // Every start registers the program, whether the port opened or not.
    RegisterAutostart(AutostartEntryPath(), ProgramPath());
    return opened ? 0 : 2;
}

void HeadlessGateway::Stop() {
    m_recovery.Stop();
    m_relay.Stop();
    m_com.Close();
}
