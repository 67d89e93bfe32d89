#include "app/posix/system_mode.h"

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string FirstDirectory(const char* list, const std::string& fallback) {
    if (!list || list[0] == '\0') return fallback;
    const std::string text(list);
    const std::size_t colon = text.find(':');
    const std::string first = colon == std::string::npos ? text : text.substr(0, colon);
    return first.empty() ? fallback : first;
}

}  // namespace

std::string UnescapeInstance(const std::string& escaped) {
    std::string out;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        if (c == '-') {
            out += '/';
        } else if (c == '\\' && i + 3 < escaped.size() && escaped[i + 1] == 'x' &&
                   HexDigit(escaped[i + 2]) >= 0 && HexDigit(escaped[i + 3]) >= 0) {
            out += static_cast<char>(HexDigit(escaped[i + 2]) * 16 + HexDigit(escaped[i + 3]));
            i += 3;
        } else {
            out += c;
        }
    }
    return out;
}

std::string SystemPort(const std::string& instance) {
    const std::string name = UnescapeInstance(instance);
    if (!name.empty() && name[0] == '/') return name;
    if (name.compare(0, 4, "dev/") == 0) return "/" + name;
    return "/dev/" + name;
}

SystemPaths SystemModePaths(const std::string& instance, const char* configurationDirectory,
                            const char* logsDirectory, const char* runtimeDirectory) {
    SystemPaths p;
    p.port = SystemPort(instance);
    p.settingsFile = FirstDirectory(configurationDirectory, "/etc/brisca") + "/" + instance + ".ini";
    p.logFolder = FirstDirectory(logsDirectory, "/var/log/brisca/" + instance);
    p.lockFile = FirstDirectory(runtimeDirectory, "/run/brisca") + "/" + instance + ".lock";
    return p;
}
