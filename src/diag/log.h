// The daily log file: <folder>/brisca<YYYYMMDD>.log, code page 949, CR LF line ends, kept open
// for the day, old days deleted, a daily size limit; lines from different threads never mixed.
#pragma once
#include <string>

// Where and how much the log keeps. Set at start and whenever the settings change.
struct LogOptions {
    std::string folder;  // UTF-8; empty: "gate_log" under the working directory
    int days = 365;      // daily files kept ("Log Days"); 0 keeps every file
    int limitMb = 256;   // bytes per day in MB ("Log Limit"); 0 = no limit
};
// Takes the options and deletes the daily files of the folder that are more than `days` days
// old (only files named brisca<YYYYMMDD>.log with a real date; nothing else is touched). The
// same clean-up runs again at each change of day. Creates nothing.
void LogConfigure(const LogOptions& options);
// The folder the daily files go to, as configured (UTF-8).
std::string LogFolder();

// Told when the folder or the day's file is refused (not the program's user's, writable by
// others, cannot be made or opened): once, until a file opens again. text names the folder
// and why. Called on the logging thread after the writer's lock is released, so the sink may
// trace (and so log) itself. Null: nobody is told.
using LogRefusalSink = void (*)(void* context, const char* text);
void LogSetRefusalSink(LogRefusalSink sink, void* context);

// While one lives on a thread, a refusal found by that thread's lines is told later, by the
// next line written outside one: the trace renderer logs under its relay's trace lock, which
// the sink needs to trace the refusal.
class LogRefusalsHeld {
public:
    LogRefusalsHeld();
    ~LogRefusalsHeld();
    LogRefusalsHeld(const LogRefusalsHeld&) = delete;
    LogRefusalsHeld& operator=(const LogRefusalsHeld&) = delete;
};

// Returns 0 when logSwitch is 0 (nothing touched) or the day's limit holds the line back, -1
// when the file cannot be opened or written, 1 after writing. The message is UTF-8 (or raw
// bytes), of any length, and brings its own line end.
int LogPrintf(int logSwitch, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// One line holding a frame: head and tail are the program's own UTF-8 texts (converted to code
// page 949), the n bytes between them are written exactly as they came. Same results as LogPrintf.
int LogFrame(int logSwitch, const char* head, const void* bytes, int n, const char* tail);

// "%Y%m%d", local date (16-byte buffer).
void FormatDay(char* buffer);
// "%Y/%m/%d %H:%M:%S", local date and time (32-byte buffer).
void FormatDateTime(char* buffer);
// "[%04d-%02d-%02d %02d:%02d:%02d:%03d]" local time with milliseconds (128-byte buffer).
void FormatTimestamp(char* buffer);
