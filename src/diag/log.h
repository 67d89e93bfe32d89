// The daily log file: gate_log/brisca<YYYYMMDD>.log under the working directory, code page 949,
// CR LF line ends, one open-append-close per line, lines from different threads never mixed.
#pragma once

// Returns 0 when logSwitch is 0 (nothing touched), -1 when the file cannot be opened, 1 after
// writing. The message is UTF-8 (or raw bytes) and brings its own line end.
int LogPrintf(int logSwitch, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// style 1: "%Y%m%d" (16-byte buffer); style 2: "%Y/%m/%d %H:%M:%S" (32-byte buffer).
void FormatDate(char* buffer, int style);
// "[%04d-%02d-%02d %02d:%02d:%02d:%03d]" local time with milliseconds (128-byte buffer).
void FormatTimestamp(char* buffer);
