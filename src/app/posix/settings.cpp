#include "app/posix/settings.h"

#include "app/posix/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace {

constexpr char kPortName[] = "COM Port";
constexpr char kRateName[] = "COM Rate";
constexpr char kVersionName[] = "Version";
constexpr char kLogName[] = "Log Flag";
constexpr char kLogFolderName[] = "Log Folder";
constexpr char kLogDaysName[] = "Log Days";
constexpr char kLogLimitName[] = "Log Limit";
constexpr char kAllowedName[] = "Allowed Servers";

// A count of days or megabytes: 1 to 6 decimal digits, nothing else.
bool ReadCount(const char* b, std::size_t n, int* out) {
    if (n == 0 || n > 6) return false;
    int v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (b[i] < '0' || b[i] > '9') return false;
        v = v * 10 + (b[i] - '0');
    }
    *out = v;
    return true;
}

// Length of the UTF-8 sequence at p (at most n bytes), or 0 when it is not valid UTF-8.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t n) {
    const unsigned char c = p[0];
    if (c < 0x80) return 1;
    std::size_t len;
    unsigned int min;
    unsigned int cp;
    if ((c & 0xE0) == 0xC0) { len = 2; min = 0x80; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; min = 0x800; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; min = 0x10000; cp = c & 0x07; }
    else return 0;
    if (len > n) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

void Trim(const char** begin, const char** end) {
    while (*begin < *end && (**begin == ' ' || **begin == '\t')) ++*begin;
    while (*end > *begin && ((*end)[-1] == ' ' || (*end)[-1] == '\t')) --*end;
}

bool NameIs(const char* b, const char* e, const char* name) {
    const std::size_t len = std::strlen(name);
    return static_cast<std::size_t>(e - b) == len && std::memcmp(b, name, len) == 0;
}

int Refuse(SettingsProblem* problem, int line, const char* reason) {
    if (problem) {
        problem->line = line;
        problem->reason = reason;
    }
    return -1;
}

}  // namespace

int ParseSettings(const char* data, std::size_t size, StoredSettings* out,
                  SettingsProblem* problem) {
    if (size > kMaxSettingsFile) return Refuse(problem, 0, "file too long");
    // Validate the whole text first so that a damaged file changes nothing.
    const auto* u = reinterpret_cast<const unsigned char*>(data);
    int line = 1;
    for (std::size_t i = 0; i < size;) {
        if (u[i] == 0) return Refuse(problem, line, "NUL byte");
        if (u[i] == '\n') ++line;
        const std::size_t len = Utf8SequenceLength(u + i, size - i);
        if (len == 0) return Refuse(problem, line, "not UTF-8 text");
        i += len;
    }

    StoredSettings s;
    bool hasLog = false;
    const char* p = data;
    const char* const end = data + size;
    if (size >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;  // byte order mark
    line = 0;
    while (p < end) {
        ++line;
        const char* eol = static_cast<const char*>(std::memchr(p, '\n', end - p));
        const char* lineEnd = eol ? eol : end;
        const char* next = eol ? eol + 1 : end;
        if (lineEnd > p && lineEnd[-1] == '\r') --lineEnd;
        const char* b = p;
        const char* e = lineEnd;
        p = next;
        Trim(&b, &e);
        if (b == e || *b == '#' || *b == ';') continue;
        if (*b == '[' && e[-1] == ']') continue;
        const char* eq = static_cast<const char*>(std::memchr(b, '=', e - b));
        if (!eq) return Refuse(problem, line, "line without '='");
        const char* nb = b;
        const char* ne = eq;
        const char* vb = eq + 1;
        const char* ve = e;
        Trim(&nb, &ne);
        Trim(&vb, &ve);
        const std::size_t vlen = static_cast<std::size_t>(ve - vb);
        for (const char* c = vb; c < ve; ++c)
            if (static_cast<unsigned char>(*c) < 0x20 && *c != '\t')
                return Refuse(problem, line, "control character in a value");
        if (NameIs(nb, ne, kPortName)) {
            if (vlen > kMaxPortText) return Refuse(problem, line, "\"COM Port\" too long");
            s.port.assign(vb, vlen);
        } else if (NameIs(nb, ne, kRateName)) {
            if (vlen > kMaxRateText) return Refuse(problem, line, "\"COM Rate\" too long");
            s.rate.assign(vb, vlen);
        } else if (NameIs(nb, ne, kVersionName)) {
            if (vlen > kMaxVersionText) return Refuse(problem, line, "\"Version\" too long");
            s.version.assign(vb, vlen);
        } else if (NameIs(nb, ne, kLogName)) {
            // The registry reads the flag into 2 bytes; a longer value does not read.
            if (vlen > 2) return Refuse(problem, line, "\"Log Flag\" is not 1 or 0");
            s.log = (vlen > 0 && *vb == '1') ? 1 : 0;
            hasLog = true;
        } else if (NameIs(nb, ne, kLogFolderName)) {
            s.logFolder.assign(vb, vlen);
        } else if (NameIs(nb, ne, kLogDaysName)) {
            if (!ReadCount(vb, vlen, &s.logDays))
                return Refuse(problem, line, "\"Log Days\" is not a number of days");
        } else if (NameIs(nb, ne, kLogLimitName)) {
            if (!ReadCount(vb, vlen, &s.logLimitMb))
                return Refuse(problem, line, "\"Log Limit\" is not a number of MB");
        } else if (NameIs(nb, ne, kAllowedName)) {
            s.allowedServers.assign(vb, vlen);
        }
    }
    if (!hasLog) return 0;  // as on Windows: without "Log Flag" nothing counts as stored
    *out = s;
    return 1;
}

bool FormatSettings(const StoredSettings& s, std::string* text) {
    for (const std::string* v : {&s.port, &s.rate, &s.version, &s.logFolder, &s.allowedServers})
        for (char c : *v)
            if (c == '\n' || c == '\r' || c == '\0') return false;
    const StoredSettings defaults;
    text->clear();
    text->append(kPortName).append("=").append(s.port).append("\n");
    text->append(kRateName).append("=").append(s.rate).append("\n");
    text->append(kVersionName).append("=").append(s.version).append("\n");
    text->append(kLogName).append("=").append(s.log ? "1" : "0").append("\n");
    if (!s.logFolder.empty()) text->append(kLogFolderName).append("=").append(s.logFolder).append("\n");
    if (s.logDays != defaults.logDays)
        text->append(kLogDaysName).append("=").append(std::to_string(s.logDays)).append("\n");
    if (s.logLimitMb != defaults.logLimitMb)
        text->append(kLogLimitName).append("=").append(std::to_string(s.logLimitMb)).append("\n");
    if (!s.allowedServers.empty())
        text->append(kAllowedName).append("=").append(s.allowedServers).append("\n");
    return true;
}

std::string ConfigHome(const char* xdgConfigHome, const char* home) {
    // A relative XDG_CONFIG_HOME is invalid and ignored.
    if (xdgConfigHome && xdgConfigHome[0] == '/') return xdgConfigHome;
    if (home && home[0] != '\0') return std::string(home) + "/.config";
    return std::string();
}

std::string ConfigHomeFromEnvironment() {
    const char* home = std::getenv("HOME");
    std::string homeText;
    if (!home || home[0] == '\0') {
        if (const passwd* pw = getpwuid(getuid())) homeText = pw->pw_dir;
        home = homeText.c_str();
    }
    return ConfigHome(std::getenv("XDG_CONFIG_HOME"), home);
}

std::string DefaultSettingsPath() {
    const std::string base = ConfigHomeFromEnvironment();
    if (base.empty()) return std::string();
    return base + "/brisca/settings.ini";
}

int LoadSettingsFile(const std::string& path, StoredSettings* out, SettingsProblem* problem) {
    char buffer[kMaxSettingsFile + 1];
    long n = ReadSmallFile(path.c_str(), buffer, sizeof buffer);
    if (n == -2) return 0;  // no file: no settings stored
    if (n < 0) {
        problem->line = 0;
        problem->reason = std::strerror(errno);
        return -1;
    }
    return ParseSettings(buffer, static_cast<std::size_t>(n), out, problem);
}

int SaveSettingsFile(const std::string& path, const StoredSettings& s) {
    std::string text;
    if (!FormatSettings(s, &text)) return 0;
    if (!MakeParentDirectories(path)) return 0;
    return WriteFileAtomically(path, text.data(), text.size(), 0600) ? 1 : 0;
}
