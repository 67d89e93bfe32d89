#include "app/posix/autostart.h"

#include "app/posix/files.h"
#include "app/posix/settings.h"

#include <climits>
#include <cstring>
#include <unistd.h>

std::string DesktopExecValue(const std::string& programPath) {
    static const char kReserved[] = " \t\n\"'\\><~|&;$*?#`=()";
    bool quote = false;
    for (char c : programPath) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::string();
        if (std::strchr(kReserved, c)) quote = true;
    }
    // Inside quotes, '"', '`', '$' and '\' take a backslash; '%' is doubled everywhere (it
    // starts a field code). The string-value escaping then doubles every backslash again.
    std::string quoted;
    if (quote) quoted += '"';
    for (char c : programPath) {
        if (c == '%') {
            quoted += "%%";
            continue;
        }
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) quoted += '\\';
        quoted += c;
    }
    if (quote) quoted += '"';
    std::string value;
    for (char c : quoted) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

std::string AutostartEntryText(const std::string& programPath) {
    const std::string exec = DesktopExecValue(programPath);
    if (exec.empty()) return std::string();
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Brisca\n"
           "Comment=(주)Tevo네트웍스 Brisca\n"
           "Exec=" + exec + "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

std::string AutostartEntryPath() {
    const std::string base = ConfigHomeFromEnvironment();
    if (base.empty()) return std::string();
    return base + "/autostart/Brisca.desktop";
}

std::string ProgramPath() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    return std::string(buffer, static_cast<std::size_t>(n));
}

int RegisterAutostart(const std::string& entryPath, const std::string& programPath) {
    if (entryPath.empty() || programPath.empty()) return 1;
    const std::string text = AutostartEntryText(programPath);
    if (text.empty()) return 1;
    if (!MakeParentDirectories(entryPath)) return 1;
    return WriteFileAtomically(entryPath, text.data(), text.size(), 0644) ? 0 : 1;
}
