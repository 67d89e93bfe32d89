// The daily log file. Lines are formatted as UTF-8, turned into code page 949 with every line
// feed stored as CR LF, and appended in one open-write-close under a process-wide lock.
#include "diag/log.h"

#include "sys/sys.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

#if defined(_WIN32)
constexpr char kDefaultFolder[] = ".\\gate_log";
constexpr char kSeparator = '\\';
#else
constexpr char kDefaultFolder[] = "gate_log";
constexpr char kSeparator = '/';
#endif

constexpr std::size_t kMessageSize = 5120;  // the formatted message, terminator included
constexpr std::size_t kPrefixSize = 64;     // "[YYYY/MM/DD HH:MM:SS][pid] ▷ "
constexpr std::size_t kLineSize = kPrefixSize + kMessageSize;
// Code page 949 never needs more bytes than UTF-8 for the same text; CR LF at most doubles it.
constexpr std::size_t kOutSize = 2 * kLineSize;

std::mutex g_logLock;  // keeps lines of different threads whole and in clock order
LogOptions g_options;  // under g_logLock

std::string FolderLocked() { return g_options.folder.empty() ? kDefaultFolder : g_options.folder; }

// Opens today's file for appending (the folder made if missing); nullptr when it cannot be.
std::FILE* OpenToday() {
    char day[32] = {};
    FormatDate(day, 1);
    const std::string folder = FolderLocked();
    sys::MakeDirectory(folder.c_str());
    const std::string path = folder + kSeparator + "brisca" + day + ".log";
    return std::fopen(path.c_str(), "ab");  // CR LF is written explicitly on every platform
}

// "[YYYY/MM/DD HH:MM:SS][pid] ▷ " into line (kPrefixSize bytes); returns its length.
int WritePrefix(char* line) {
    char stamp[32] = {};
    FormatDate(stamp, 2);  // read afresh: a line written across midnight keeps its own time
    int used = std::snprintf(line, kPrefixSize, "[%s][%d] ▷ ", stamp, sys::ProcessId());
    if (used < 0) used = 0;
    if (used >= static_cast<int>(kPrefixSize)) used = static_cast<int>(kPrefixSize) - 1;
    return used;
}

// Length of the well-formed UTF-8 character at p (at most n bytes), or 0 when the bytes there
// are not one (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut short).
std::size_t Utf8CharLength(const unsigned char* p, std::size_t n) {
    const unsigned char c = p[0];
    if (c < 0x80) return 1;
    std::size_t len;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (n < len || p[1] < lo || p[1] > hi) return 0;
    for (std::size_t i = 2; i < len; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return len;
}

// Converts one run of well-formed UTF-8 without line feeds. A character that code page 949
// lacks becomes '?'. Returns the bytes written (never more than n).
std::size_t ConvertRun(const char* in, std::size_t n, char* out, std::size_t cap) {
    const long whole = sys::Utf8ToCp949(in, n, out, cap);
    if (whole >= 0) return static_cast<std::size_t>(whole);
    std::size_t i = 0, w = 0;
    while (i < n && w < cap) {
        const std::size_t len = Utf8CharLength(reinterpret_cast<const unsigned char*>(in + i), n - i);
        const long one = sys::Utf8ToCp949(in + i, len, out + w, cap - w);
        if (one > 0) {
            w += static_cast<std::size_t>(one);
        } else {
            out[w++] = '?';
        }
        i += len;
    }
    return w;
}

// UTF-8 (possibly mixed with raw bytes) to code page 949 with CR LF line ends. Bytes that are
// not well-formed UTF-8 are copied unchanged.
std::size_t Encode(const char* in, std::size_t n, char* out, std::size_t cap) {
    const auto* u = reinterpret_cast<const unsigned char*>(in);
    std::size_t i = 0, w = 0;
    while (i < n) {
        if (u[i] == '\n') {
            if (cap - w < 2) break;
            out[w++] = '\r';
            out[w++] = '\n';
            ++i;
            continue;
        }
        const std::size_t len = Utf8CharLength(u + i, n - i);
        if (len == 0) {
            if (w == cap) break;
            out[w++] = in[i++];
            continue;
        }
        std::size_t end = i + len;  // extend the run over further well-formed characters
        while (end < n && u[end] != '\n') {
            const std::size_t next = Utf8CharLength(u + end, n - end);
            if (next == 0) break;
            end += next;
        }
        w += ConvertRun(in + i, end - i, out + w, cap - w);
        i = end;
    }
    return w;
}

}  // namespace

void FormatDate(char* buffer, int style) {
    const sys::LocalTime t = sys::Now();
    if (style == 1)
        std::snprintf(buffer, 16, "%04d%02d%02d", t.year, t.month, t.day);
    else
        std::snprintf(buffer, 32, "%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                      t.minute, t.second);
}

void FormatTimestamp(char* buffer) {
    const sys::LocalTime t = sys::Now();
    std::snprintf(buffer, 128, "[%04d-%02d-%02d %02d:%02d:%02d:%03d]", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.millisecond);
}

void LogConfigure(const LogOptions& options) {
    std::lock_guard<std::mutex> guard(g_logLock);
    g_options = options;
}

std::string LogFolder() {
    std::lock_guard<std::mutex> guard(g_logLock);
    return FolderLocked();
}

int LogFrame(int logSwitch, const char* head, const void* bytes, int n, const char* tail) {
    if (logSwitch == 0) return 0;
    std::lock_guard<std::mutex> guard(g_logLock);
    std::FILE* file = OpenToday();
    if (!file) return -1;
    char line[kLineSize];
    const int used = WritePrefix(line);
    std::snprintf(line + used, kMessageSize, "%s", head ? head : "");
    char out[kOutSize];
    std::size_t w = Encode(line, std::strlen(line), out, sizeof out);
    std::fwrite(out, 1, w, file);
    if (bytes && n > 0) std::fwrite(bytes, 1, static_cast<std::size_t>(n), file);
    w = Encode(tail ? tail : "", tail ? std::strlen(tail) : 0, out, sizeof out);
    std::fwrite(out, 1, w, file);
    std::fflush(file);
    std::fclose(file);
    return 1;
}

int LogPrintf(int logSwitch, const char* format, ...) {
    if (logSwitch == 0) return 0;

    std::lock_guard<std::mutex> guard(g_logLock);
    std::FILE* file = OpenToday();
    if (!file) return -1;

    char line[kLineSize];
    const int used = WritePrefix(line);

    std::va_list args;
    va_start(args, format);
    int length = std::vsnprintf(line + used, kMessageSize, format, args);
    va_end(args);
    if (length < 0) length = 0;
    if (length >= static_cast<int>(kMessageSize)) length = static_cast<int>(kMessageSize) - 1;

    char out[kOutSize];
    const std::size_t n = Encode(line, static_cast<std::size_t>(used + length), out, sizeof out);
    std::fwrite(out, 1, n, file);
    std::fflush(file);
    std::fclose(file);
    return 1;
}
