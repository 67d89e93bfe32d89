// The traffic trace: one record per event, rendered by the thread that produced it as a console
// line (timestamp first) and a log line, with frames shown in summary form only.
#pragma once
#include <cstddef>

// Fixed to int: a record may carry a kind it does not know (shown as nothing, counted).
enum TraceKind : int {
    TRACE_TEXT = 0,           // status or error text
    TRACE_FROM_TERMINAL = 1,  // "[CAT->VAN]" bytes received from the terminal
    TRACE_TO_TERMINAL = 2,    // "[CAT<-VAN]" bytes written to the terminal
    TRACE_TMS = 3,            // "[CAT<-TMS]" plain-route status mark
};

constexpr std::size_t kTraceTextSize = 5120;
constexpr std::size_t kTraceRawSize = 4096;

struct TraceEvent {
    TraceKind kind = TRACE_TEXT;
    // The console line may wait until ShowHeldLine(): an answer goes to the terminal right after
    // its log line, and the console gets the line once the write is done.
    bool consoleLater = false;
    char text[kTraceTextSize] = {};        // text and TMS events, UTF-8
    unsigned char raw[kTraceRawSize] = {};  // kinds 1 and 2: the first bytes of the frame
};

// The console of the debug window (Windows) or standard output (Linux): whole UTF-8 lines,
// handed over from any thread, one call at a time; neither call waits for the window thread.
class ConsoleSink {
public:
    virtual ~ConsoleSink() = default;
    virtual void Append(const char* line) = 0;  // ends in "\r\n"
    virtual void ClearConsole() = 0;
};

// Receives every event on the thread that produced it, one event at a time.
class TraceTarget {
public:
    virtual ~TraceTarget() = default;
    // count: the frame's real byte count (raw holds at most its first 4096 bytes); 0 for text.
    virtual void OnTraceEvent(unsigned count, const TraceEvent& event) = 0;
    // Shows the console line held back for an event marked consoleLater. A held line is shown
    // before the next event's in any case, so the console keeps the order of the events.
    virtual void ShowHeldLine() {}
};
