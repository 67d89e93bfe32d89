// The daily log file. The program's own texts are formatted as UTF-8 and turned into code page
// 949 with every line feed stored as CR LF; frame bytes go in as they came. Each line is built
// whole and appended with one write to the day's file, which stays open until the day changes,
// the file goes away or the folder changes. One process-wide lock keeps lines whole and in order.
#include "diag/log.h"

#include "sys/sys.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

#if defined(_WIN32)
constexpr char kDefaultFolder[] = ".\\gate_log";
#else
constexpr char kDefaultFolder[] = "gate_log";
#endif

constexpr char kLimitLine[] = "TEVN-> 로그 용량 제한(%dMB)에 도달하여 오늘은 더 기록하지 않습니다\n";

struct Day {
    int year = 0, month = 0, day = 0;
    bool operator==(const Day&) const = default;
};

// Days since 1970-01-01 of a proleptic Gregorian date.
long DayNumber(int y, int m, int d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153L * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

// The date of a name this writer gives its daily files ("brisca" + YYYYMMDD + ".log", a real
// date); false for every other name.
bool DailyFileDate(const std::string& name, Day& date) {
    if (name.size() != 18 || name.compare(0, 6, "brisca") != 0 || name.compare(14, 4, ".log") != 0)
        return false;
    int v[8];
    for (int i = 0; i < 8; ++i) {
        const char c = name[6 + i];
        if (c < '0' || c > '9') return false;
        v[i] = c - '0';
    }
    date.year = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
    date.month = v[4] * 10 + v[5];
    date.day = v[6] * 10 + v[7];
    return date.year >= 1 && date.month >= 1 && date.month <= 12 && date.day >= 1 &&
           date.day <= DaysInMonth(date.year, date.month);
}

// A line's bytes: grows to the longest line seen and stays there, so that lines are built
// without a heap call once the first few have been written; never zero-filled.
struct Bytes {
    std::unique_ptr<char[]> data;
    std::size_t size = 0, cap = 0;

    // Room for n more bytes at data.get() + size.
    char* Room(std::size_t n) {
        if (size + n > cap) {
            std::size_t grown = cap < 8192 ? 8192 : 2 * cap;
            if (grown < size + n) grown = size + n;
            auto bigger = std::make_unique_for_overwrite<char[]>(grown);
            if (size > 0) std::memcpy(bigger.get(), data.get(), size);
            data = std::move(bigger);
            cap = grown;
        }
        return data.get() + size;
    }
    void Append(const char* p, std::size_t n) {
        if (n == 0) return;
        std::memcpy(Room(n), p, n);
        size += n;
    }
};

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

// Converts one run of well-formed non-ASCII UTF-8. A character that code page 949 lacks
// becomes '?'. Returns the bytes written (never more than n).
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

// UTF-8 (possibly mixed with raw bytes) to code page 949 with CR LF line ends, appended to out.
// ASCII is the same in both and is copied; bytes that are not well-formed UTF-8 are copied too.
void Encode(const char* in, std::size_t n, Bytes& out) {
    // Code page 949 never needs more bytes than UTF-8 for the same text; CR LF at most doubles.
    char* const o = out.Room(2 * n);
    std::size_t w = 0;
    const auto* u = reinterpret_cast<const unsigned char*>(in);
    std::size_t i = 0;
    while (i < n) {
        if (u[i] < 0x80) {
            if (u[i] == '\n') o[w++] = '\r';
            o[w++] = in[i++];
            continue;
        }
        std::size_t end = i;  // a run of well-formed non-ASCII characters
        while (end < n && u[end] >= 0x80) {
            const std::size_t len = Utf8CharLength(u + end, n - end);
            if (len == 0) break;
            end += len;
        }
        if (end == i) {
            o[w++] = in[i++];
            continue;
        }
        w += ConvertRun(in + i, end - i, o + w, 2 * n - w);
        i = end;
    }
    out.size += w;
}

// "[YYYY/MM/DD HH:MM:SS][pid] ▷ " as UTF-8 into text (replacing what it held).
void PutPrefix(Bytes& text, const sys::LocalTime& t, int pid) {
    char prefix[96];
    const int n = std::snprintf(prefix, sizeof prefix, "[%04d/%02d/%02d %02d:%02d:%02d][%d] ▷ ", t.year,
                                t.month, t.day, t.hour, t.minute, t.second, pid);
    text.size = 0;
    text.Append(prefix, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Everything behind the lock. Made once and never destroyed, so that a worker still logging
// while the process exits finds it intact.
struct LogState {
    std::mutex lock;
    const int pid = sys::ProcessId();  // asked once: every line carries it
    LogOptions options;
    bool configured = false;
    sys::AppendFile file;
    Day fileDay;            // the day of the open file (zero: none opened yet)
    long long size = 0;     // bytes in the day's file
    bool held = false;      // the day's limit was reached: no more lines today
    Bytes text;  // the line as UTF-8
    Bytes out;   // the line as written
    // A refused folder or file is told once, until a file opens again.
    LogRefusalSink sink = nullptr;
    void* sinkContext = nullptr;
    bool refusalSaid = false;
    std::string refusal;  // to be told once the lock is released
    std::atomic<bool> refusalPending{false};  // read without the lock by every line
};

LogState& State() {
    static LogState* state = new LogState;
    return *state;
}

std::string FolderOf(const LogOptions& options) {
    return options.folder.empty() ? kDefaultFolder : options.folder;
}

long long LimitBytes(const LogOptions& options) {
    return options.limitMb > 0 ? static_cast<long long>(options.limitMb) * 1024 * 1024 : 0;
}

void DeleteOldFiles(const LogOptions& options, const Day& today) {
    if (options.days <= 0) return;
    const std::string folder = FolderOf(options);
    std::vector<std::string> names;
    if (!sys::ListFiles(folder.c_str(), names)) return;
    const long now = DayNumber(today.year, today.month, today.day);
    for (const std::string& name : names) {
        Day date;
        if (DailyFileDate(name, date) && now - DayNumber(date.year, date.month, date.day) > options.days)
            sys::RemoveFile(folder.c_str(), name.c_str());
    }
}

// The day's limit line, formatted as UTF-8 into text (appended).
void PutLimitMessage(Bytes& text, int limitMb) {
    char message[160];
    const int n = std::snprintf(message, sizeof message, kLimitLine, limitMb);
    text.Append(message, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Whether the file just opened has reached the day's limit already: it is full, or its last
// line says so (a line that did not fit can leave it a little short of the limit).
bool LimitReachedBefore(LogState& s) {
    const long long limit = LimitBytes(s.options);
    if (limit <= 0) return false;
    if (s.size >= limit) return true;
    s.text.size = 0;
    PutLimitMessage(s.text, s.options.limitMb);
    s.out.size = 0;
    Encode(s.text.data.get(), s.text.size, s.out);
    char tail[160];
    const std::size_t n = s.out.size < sizeof tail ? s.out.size : sizeof tail;
    return s.file.ReadTail(tail, n) == static_cast<long>(n) &&
           std::memcmp(tail, s.out.data.get() + s.out.size - n, n) == 0;
}

// Makes sure the file of `today` is open, reopening it at the change of day or when it has gone.
bool OpenDay(LogState& s, const Day& today) {
    if (s.file.IsOpen() && (!(s.fileDay == today) || !s.file.StillNamed())) s.file.Close();
    if (s.file.IsOpen()) return true;

    if (s.configured && s.fileDay.year != 0 && !(s.fileDay == today)) DeleteOldFiles(s.options, today);
    const std::string folder = FolderOf(s.options);
    sys::MakeDirectory(folder.c_str());
    char name[32];
    std::snprintf(name, sizeof name, "brisca%04d%02d%02d.log", today.year, today.month, today.day);
    std::string why;
    if (!s.file.Open(folder.c_str(), name, &why)) {
        if (!s.refusalSaid) {
            s.refusalSaid = true;
            s.refusal = folder + ": " + why;
            s.refusalPending.store(true);
        }
        return false;
    }
    s.refusalSaid = false;
    // What the file holds already counts: a restart on the same day does not renew the allowance.
    s.fileDay = today;
    s.size = s.file.OpenedSize();
    s.held = LimitReachedBefore(s);
    return true;
}

// Writes the line in s.out unless the day's limit holds it back; the first line held back is
// replaced by the one line that says so.
int WriteLine(LogState& s, const sys::LocalTime& t) {
    const long long limit = LimitBytes(s.options);
    if (s.held) return 0;
    if (limit > 0 && s.size + static_cast<long long>(s.out.size) > limit) {
        s.held = true;
        PutPrefix(s.text, t, s.pid);
        PutLimitMessage(s.text, s.options.limitMb);
        s.out.size = 0;
        Encode(s.text.data.get(), s.text.size, s.out);
    }
    if (!s.file.Append(s.out.data.get(), s.out.size)) {
        s.file.Close();  // tried afresh with the next line
        return -1;
    }
    s.size += static_cast<long long>(s.out.size);
    return s.held ? 0 : 1;
}

}  // namespace

void FormatDay(char* buffer) {
    const sys::LocalTime t = sys::Now();
    std::snprintf(buffer, 16, "%04d%02d%02d", t.year, t.month, t.day);
}

void FormatDateTime(char* buffer) {
    const sys::LocalTime t = sys::Now();
    std::snprintf(buffer, 32, "%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
}

void FormatTimestamp(char* buffer) {
    const sys::LocalTime t = sys::Now();
    std::snprintf(buffer, 128, "[%04d-%02d-%02d %02d:%02d:%02d:%03d]", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.millisecond);
}

void LogConfigure(const LogOptions& options) {
    LogState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.options = options;
    s.configured = true;
    s.refusalSaid = false;  // a folder given anew is judged anew
    // Reopened with the next line: the folder or the limit may have changed.
    s.file.Close();
    const sys::LocalTime t = sys::Now();
    DeleteOldFiles(s.options, Day{t.year, t.month, t.day});
}

std::string LogFolder() {
    LogState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return FolderOf(s.options);
}

namespace {

thread_local int t_refusalsHeld = 0;

// Tells the sink of a refusal found while the lock was held (or earlier, while held back).
int TellRefusal(LogState& s, int result) {
    if (t_refusalsHeld > 0 || !s.refusalPending.load(std::memory_order_relaxed)) return result;
    LogRefusalSink sink = nullptr;
    void* context = nullptr;
    std::string text;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.refusalPending.store(false);
        if (s.refusal.empty()) return result;
        text.swap(s.refusal);
        sink = s.sink;
        context = s.sinkContext;
    }
    if (sink) sink(context, text.c_str());
    return result;
}

int FrameLocked(LogState& s, const char* head, const void* bytes, int n, const char* tail);
int PrintLocked(LogState& s, const char* format, std::va_list args);

}  // namespace

LogRefusalsHeld::LogRefusalsHeld() { ++t_refusalsHeld; }
LogRefusalsHeld::~LogRefusalsHeld() { --t_refusalsHeld; }

void LogSetRefusalSink(LogRefusalSink sink, void* context) {
    LogState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.sink = sink;
    s.sinkContext = context;
}

int LogFrame(int logSwitch, const char* head, const void* bytes, int n, const char* tail) {
    if (logSwitch == 0) return 0;
    LogState& s = State();
    int result;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        result = FrameLocked(s, head, bytes, n, tail);
    }
    return TellRefusal(s, result);
}

int LogPrintf(int logSwitch, const char* format, ...) {
    if (logSwitch == 0) return 0;
    LogState& s = State();
    std::va_list args;
    va_start(args, format);
    int result;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        result = PrintLocked(s, format, args);
    }
    va_end(args);
    return TellRefusal(s, result);
}

namespace {

int FrameLocked(LogState& s, const char* head, const void* bytes, int n, const char* tail) {
    const sys::LocalTime t = sys::Now();  // one reading: the file's day and the line's time agree
    if (!OpenDay(s, Day{t.year, t.month, t.day})) return -1;
    PutPrefix(s.text, t, s.pid);
    if (head) s.text.Append(head, std::strlen(head));
    s.out.size = 0;
    Encode(s.text.data.get(), s.text.size, s.out);
    if (bytes && n > 0) {
        s.out.Append(static_cast<const char*>(bytes), static_cast<std::size_t>(n));
    }
    if (tail) Encode(tail, std::strlen(tail), s.out);
    return WriteLine(s, t);
}

int PrintLocked(LogState& s, const char* format, std::va_list args) {
    const sys::LocalTime t = sys::Now();
    if (!OpenDay(s, Day{t.year, t.month, t.day})) return -1;
    PutPrefix(s.text, t, s.pid);
    std::size_t room = s.text.cap - s.text.size;  // the prefix made room for a common line

    std::va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(s.text.Room(0), room, format, args);
    if (length >= 0 && static_cast<std::size_t>(length) >= room) {
        room = static_cast<std::size_t>(length) + 1;  // a long line, kept whole
        length = std::vsnprintf(s.text.Room(room), room, format, again);
    }
    va_end(again);
    if (length > 0) s.text.size += static_cast<std::size_t>(length);

    s.out.size = 0;
    Encode(s.text.data.get(), s.text.size, s.out);
    return WriteLine(s, t);
}

}  // namespace
