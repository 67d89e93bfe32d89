#include "app/posix/gateway.h"

#include "app/posix/autostart.h"
#include "app/posix/settings.h"
#include "app/posix/system_mode.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The settings file these options name, and the device of a service instance (else empty).
struct SettingsPlace {
    std::string path;
    std::string servicePort;
};

SystemPaths ServicePaths(const Options& opts);

SettingsPlace PlaceOf(const Options& opts) {
    if (!opts.system)
        return SettingsPlace{opts.configPath.empty() ? DefaultSettingsPath() : opts.configPath, ""};
    const SystemPaths paths = ServicePaths(opts);
    return SettingsPlace{paths.settingsFile, paths.port};
}

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
    const SettingsPlace place = PlaceOf(m_opts);
    m_settingsPath = place.path;
    m_systemPort = place.servicePort;
}

SettingsRead HeadlessGateway::ReadSettings() {
    // The service's file is the administrator's: each of its values counts on its own.
    return LoadSettingsFile(m_settingsPath, m_opts.system);
}

int HeadlessGateway::SaveSettings(const GatewaySettings& s, const char* version) {
    // The service's settings belong to the administrator: read, never rewritten.
    if (m_opts.system || m_settingsPath.empty()) return 1;
    if (SaveSettingsFile(m_settingsPath, OwnedSettings{s.port, s.rate, version, s.log})) return 1;
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
    // A service instance opens the port its file names, else the device its name gives.
    if (m_opts.system && m_gateway.Loaded().values.port.empty()) port = m_systemPort;
    // The command line acts as the operator typing into the window before "세팅".
    if (m_opts.hasPort) port = m_opts.port;
    if (m_opts.hasRate) rate = m_opts.rate;
    if (m_opts.log >= 0) m_logChecked = m_opts.log;
    m_gateway.SetTexts(port, rate);

    m_trayIcon.SetIcon(ICON_IDLE);
    const int opened = m_gateway.Start();
    // A start that worked registers the program (a failed one would start it again at every
    // logon only to fail); a service does not.
    if (opened && !m_opts.system) RegisterAutostart(AutostartEntryPath(), ProgramPath());
    // A service may start before its adapter is plugged in: having said so once, it waits for
    // the port itself, instead of failing into a restart loop.
    if (!opened && m_opts.system) {
        m_gateway.WaitForPort();
        return 0;
    }
    return opened ? 0 : 2;
}

int CheckSettings(const Options& opts, std::FILE* out) {
    const SettingsPlace place = PlaceOf(opts);
    const std::string& path = place.path;
    const std::string& servicePort = place.servicePort;
    SettingsRead read = LoadSettingsFile(path, opts.system);
    if (opts.system && read.values.port.empty()) read.values.port = servicePort;
    // A file named on the command line is meant to be there: a missing one is no "no problem".
    struct stat st{};
    if (!opts.configPath.empty() && lstat(path.c_str(), &st) != 0)
        read.issues.push_back(SettingsIssue{false, path + ": does not exist; the defaults are used"});
    std::fprintf(out, "%s\n", path.c_str());
    for (const SettingsIssue& issue : read.issues)
        std::fprintf(out, "%s: %s\n", issue.error ? "error" : "warning", issue.text.c_str());
    if (read.issues.empty()) std::fputs("no problem found\n", out);
    std::fputs("values in force:\n", out);
    std::fputs(DescribeSettings(read).c_str(), out);
    return read.issues.empty() ? 0 : 1;
}
