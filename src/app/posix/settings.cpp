#include "app/posix/settings.h"

#include "app/posix/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

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

bool IsUtf8(const char* b, const char* e) {
    const auto* u = reinterpret_cast<const unsigned char*>(b);
    const std::size_t n = static_cast<std::size_t>(e - b);
    for (std::size_t i = 0; i < n;) {
        const std::size_t len = Utf8SequenceLength(u + i, n - i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

void Trim(const char** begin, const char** end) {
    while (*begin < *end && (**begin == ' ' || **begin == '\t')) ++*begin;
    while (*end > *begin && ((*end)[-1] == ' ' || (*end)[-1] == '\t')) --*end;
}

// One line of the file: where its content starts and ends (line end excluded).
struct Line {
    std::size_t begin, end;  // content
    std::size_t next;        // the next line's start
    bool crlf;
};

// Calls fn(number, line) for each line of text; a byte order mark before the first is skipped.
template <typename Fn>
void ForEachLine(const char* data, std::size_t size, Fn fn) {
    std::size_t p = size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    for (int number = 1; p < size; ++number) {
        const void* nl = std::memchr(data + p, '\n', size - p);
        const std::size_t eol = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - data) : size;
        Line line{p, eol, nl ? eol + 1 : size, false};
        if (nl && line.end > line.begin && data[line.end - 1] == '\r') {
            --line.end;
            line.crlf = true;
        }
        fn(number, line);
        p = line.next;
    }
}

// The trimmed name of a "name=value" line; false for blank, comment and section lines and
// for a line without '='.
bool NameOf(const char* data, const Line& line, const char** nb, const char** ne, const char** eq) {
    const char* b = data + line.begin;
    const char* e = data + line.end;
    Trim(&b, &e);
    if (b == e || *b == '#' || *b == ';' || (*b == '[' && e[-1] == ']')) return false;
    *eq = static_cast<const char*>(std::memchr(b, '=', static_cast<std::size_t>(e - b)));
    if (!*eq) return false;
    *nb = b;
    *ne = *eq;
    Trim(nb, ne);
    return true;
}

}  // namespace

void ReadSettingsText(const std::string& file, const char* data, std::size_t size, SettingsReader* reader) {
    ForEachLine(data, size, [&](int number, const Line& line) {
        const char* b = data + line.begin;
        const char* e = data + line.end;
        Trim(&b, &e);
        if (b == e || *b == '#' || *b == ';') return;  // comments are the administrator's own
        if (*b == '[' && e[-1] == ']') return;
        const std::string where = file + " line " + std::to_string(number);
        const char* eq = static_cast<const char*>(std::memchr(b, '=', static_cast<std::size_t>(e - b)));
        if (!eq) {
            reader->Problem(true, where, "a line without '=' (not used)");
            return;
        }
        const char* nb = b;
        const char* ne = eq;
        const char* vb = eq + 1;
        const char* ve = e;
        Trim(&nb, &ne);
        Trim(&vb, &ve);
        const std::string name(nb, ne);
        if (!IsUtf8(b, e)) {
            // A known name, or one that looks like it (a Latin-1 no-break space in it).
            if (SettingLike(name) != Setting::Unknown)
                reader->Unreadable(where, name, "is not UTF-8 text");
            else
                reader->Problem(true, where, "a line that is not UTF-8 text (not used)");
            return;
        }
        reader->Value(where, name, std::string(vb, ve));
    });
}

bool UpdateSettingsText(const std::string& text, const OwnedSettings& v, std::string* out) {
    const std::string values[4] = {v.port, v.rate, v.version, v.log ? "1" : "0"};
    const char* const names[4] = {kPortSetting, kRateSetting, kVersionSetting, kLogFlagSetting};
    for (const std::string& value : values)
        if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
    // The first line of each name is rewritten in place; a second line of one of the program's
    // own names (a name given twice counts for neither line) is the program's to drop.
    struct Edit {
        std::size_t begin, end;  // bytes replaced
        int value;               // the value written there, -1 for none (a line dropped)
    };
    std::vector<Edit> edits;
    bool found[4] = {};
    bool crlf = false, first = true;
    ForEachLine(text.data(), text.size(), [&](int, const Line& line) {
        if (first) crlf = line.crlf;
        first = false;
        const char *nb, *ne, *eq;
        if (!NameOf(text.data(), line, &nb, &ne, &eq)) return;
        for (int i = 0; i < 4; ++i)
            if (static_cast<std::size_t>(ne - nb) == std::strlen(names[i]) &&
                std::memcmp(nb, names[i], std::strlen(names[i])) == 0) {
                edits.push_back(found[i] ? Edit{line.begin, line.next, -1} : Edit{line.begin, line.end, i});
                found[i] = true;
            }
    });
    out->clear();
    std::size_t at = 0;
    for (const Edit& e : edits) {  // in the order of the file
        out->append(text, at, e.begin - at);
        if (e.value >= 0) out->append(names[e.value]).append("=").append(values[e.value]);
        at = e.end;
    }
    out->append(text, at, std::string::npos);
    const char* eol = crlf ? "\r\n" : "\n";
    bool needBreak = !out->empty() && out->back() != '\n';
    // A last line without its line end keeps what it says: a '\r' ending it is its own byte,
    // so the break added after it is CR LF (whose CR the reader takes off).
    const char* lastBreak = needBreak && out->back() == '\r' ? "\r\n" : eol;
    for (int i = 0; i < 4; ++i) {
        if (found[i]) continue;
        if (needBreak) out->append(lastBreak);
        needBreak = false;
        out->append(names[i]).append("=").append(values[i]).append(eol);
    }
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

namespace {

// The whole file: its length, -2 when there is none, -1 when it cannot be read (errno), -3
// when it is longer than kMaxSettingsFile, -4 when it is not text (NUL bytes: a UTF-16 file),
// -5 when it is a link whose target cannot be opened.
long ReadWhole(const std::string& path, char* buffer) {
    const long n = ReadSmallFile(path.c_str(), buffer, kMaxSettingsFile + 1);
    struct stat st{};
    if (n == -2 && lstat(path.c_str(), &st) == 0) return -5;  // a dangling link is no "no file"
    if (n > static_cast<long>(kMaxSettingsFile)) return -3;
    if (n > 0 && std::memchr(buffer, '\0', static_cast<std::size_t>(n))) return -4;
    return n;
}

}  // namespace

SettingsRead LoadSettingsFile(const std::string& path, bool adminFile) {
    SettingsReader reader(!adminFile);
    if (path.empty()) return reader.Finish();
    const std::unique_ptr<char[]> buffer(new char[kMaxSettingsFile + 1]);
    const long n = ReadWhole(path, buffer.get());
    if (n == -1) reader.StoreUnreadable(path, std::string("cannot be read (") + std::strerror(errno) + ")");
    else if (n == -3) reader.StoreUnreadable(path, "is longer than " + std::to_string(kMaxSettingsFile) + " bytes");
    else if (n == -4) reader.StoreUnreadable(path, "is not UTF-8 text (it holds NUL bytes: a UTF-16 file?)");
    else if (n == -5) reader.StoreUnreadable(path, "is a link whose target cannot be opened");
    else if (n >= 0) ReadSettingsText(path, buffer.get(), static_cast<std::size_t>(n), &reader);
    return reader.Finish();
}

int SaveSettingsFile(const std::string& path, const OwnedSettings& values) {
    const std::unique_ptr<char[]> buffer(new char[kMaxSettingsFile + 1]);
    const long n = ReadWhole(path, buffer.get());
    if (n < 0 && n != -2) return 0;  // what could not be read is not overwritten
    // A settings file that is a link (to the administrator's real file) is updated where the
    // link points: replaced atomically in the target's own folder, the link kept.
    std::string target = path;
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = realpath(path.c_str(), nullptr);
        if (!real) return 0;
        target = real;
        std::free(real);
    }
    std::string text;
    if (!UpdateSettingsText(std::string(buffer.get(), n > 0 ? static_cast<std::size_t>(n) : 0), values, &text))
        return 0;
    int mode = 0600;
    if (n >= 0 && stat(target.c_str(), &st) == 0) mode = static_cast<int>(st.st_mode & 0777);
    if (!MakeParentDirectories(target)) return 0;
    return WriteFileAtomically(target, text.data(), text.size(), mode) ? 1 : 0;
}
