#include "app/posix/gateway.h"

#include "app/posix/autostart.h"
#include "app/posix/settings.h"
#include "app/posix/system_mode.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

SystemPaths ServicePaths(const Options& opts) {
    return SystemModePaths(opts.instance, std::getenv("CONFIGURATION_DIRECTORY"),
                           std::getenv("LOGS_DIRECTORY"), std::getenv("RUNTIME_DIRECTORY"));
}

}  // namespace

HeadlessGateway::HeadlessGateway(const Options& opts, const char* versionText)
    : m_opts(opts),
      m_console(STDOUT_FILENO),
      m_events(STDERR_FILENO),
      m_trayIcon(opts.verbose ? &m_events : nullptr),
      m_gateway(Gateway::Parts{&m_loop, &m_console, &m_trayIcon, this, &m_events}, versionText,
                opts.system ? ServicePaths(opts).logFolder.c_str() : "") {
    if (m_opts.system) {
        const SystemPaths paths = ServicePaths(m_opts);
        m_settingsPath = paths.settingsFile;
        m_systemPort = paths.port;
    } else {
        m_settingsPath = m_opts.configPath.empty() ? DefaultSettingsPath() : m_opts.configPath;
    }
}

int HeadlessGateway::LoadSettings(GatewaySettings* out) {
    StoredSettings stored;
    SettingsProblem problem;
    const int r = m_settingsPath.empty() ? 0 : LoadSettingsFile(m_settingsPath, &stored, &problem);
    if (r < 0) {
        const std::string where =
            problem.line > 0 ? "line " + std::to_string(problem.line) + ": " : std::string();
        std::fprintf(stderr, "설정 파일을 읽을 수 없습니다: %s (%s%s). 기본 설정으로 시작합니다.\n",
                     m_settingsPath.c_str(), where.c_str(), problem.reason.c_str());
    }
    if (r != 1) return 0;
    out->port = stored.port;
    out->rate = stored.rate;
    out->log = stored.log;
    out->logFolder = stored.logFolder;
    out->logDays = stored.logDays;
    out->logLimitMb = stored.logLimitMb;
    out->allowedServers = stored.allowedServers;
    return 1;
}

int HeadlessGateway::SaveSettings(const GatewaySettings& s, const char* version) {
    // The service's settings belong to the administrator: read, never rewritten.
    if (m_opts.system || m_settingsPath.empty()) return 1;
    StoredSettings file{s.port, s.rate, version, s.log, s.logFolder, s.logDays, s.logLimitMb,
                        s.allowedServers};
    if (SaveSettingsFile(m_settingsPath, file)) return 1;
    std::fprintf(stderr, "설정을 저장할 수 없습니다: %s\n", m_settingsPath.c_str());
    return 0;
}

void HeadlessGateway::ReportOpenFailure(const char* port) {
    std::fprintf(stderr, "%s 포트를 열 수 없습니다!\n", port);
}

int HeadlessGateway::Start() {
    m_loop.Adopt();
    m_gateway.LoadSettings();
    m_logChecked = m_gateway.Log();
    std::string port = m_gateway.PortText();
    std::string rate = m_gateway.RateText();
    // A service instance is bound to its device, whatever its settings file says.
    if (m_opts.system) port = m_systemPort;
    // The command line acts as the operator typing into the window before "세팅".
    if (m_opts.hasPort) port = m_opts.port;
    if (m_opts.hasRate) rate = m_opts.rate;
    if (m_opts.log >= 0) m_logChecked = m_opts.log;
    m_gateway.SetTexts(port, rate);

    m_trayIcon.SetIcon(ICON_IDLE);
    const int opened = m_gateway.Start();
    // Every start registers the program, whether the port opened or not; a service does not.
    if (!m_opts.system) RegisterAutostart(AutostartEntryPath(), ProgramPath());
    return opened ? 0 : 2;
}
