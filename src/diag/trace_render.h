// Rendering of trace events on the thread that produced them, one event at a time (the caller
// serialises): one console line with a millisecond timestamp and one log line per event, frames
// in summary form, the console emptied every 5000. The log switch may be set from any thread.
#pragma once
#include "diag/trace.h"

#include <atomic>
#include <cstddef>

// Text with control bytes (C0, DEL, C1 in UTF-8) shown as \xNN, so that bytes from the terminal
// or a server cannot drive a console. Writes at most cap bytes, terminator included; returns
// the length written.
std::size_t EscapeControls(const char* text, std::size_t len, char* out, std::size_t cap);

// A frame's bytes as a log line shows them: CR, LF, VT and FF (which some tools take for line
// breaks) and ESC (which drives a terminal showing the log) become \x0d, \x0a, \x0b, \x0c and
// \x1b, so that no frame from the terminal or a server starts a line of its own or moves a
// reader's cursor; every other byte stays as it came (the frames are code page 949 already). Works in place on the n bytes at the start of a buffer of
// cap bytes; returns the new length. Line breaks that no longer fit (cap below 4 n) are shown as
// '*', so the result never exceeds cap and never holds one of these bytes.
int EscapeLineBreaks(char* bytes, int n, int cap);

// The summary of a frame event (kinds 1 to 3): "ACK", "Unknown : 41", "전문수신", ...
// Returns false when the event is dropped (first byte 0x0D, '!' or '%').
bool SummarizeFrame(TraceKind kind, const unsigned char* raw, unsigned count, char* out,
                    std::size_t cap);

class TraceRenderer final : public TraceTarget {
public:
    explicit TraceRenderer(ConsoleSink* console) : m_console(console) {}

    void SetLog(int bLog) { m_bLog.store(bLog, std::memory_order_relaxed); }
    int Log() const { return m_bLog.load(std::memory_order_relaxed); }
    int EventCount() const { return m_eventCount.load(std::memory_order_relaxed); }

    void OnTraceEvent(unsigned count, const TraceEvent& event) override;
    void ShowHeldLine() override;

private:
    static constexpr std::size_t kHeldLineSize = 256;  // a frame's line: time, tag, count, summary

    std::atomic<int> m_eventCount{0};  // written by the one renderer at a time, read by anyone
    std::atomic<int> m_bLog{0};
    ConsoleSink* m_console;
    char m_heldLine[kHeldLineSize] = {};  // empty: none held
};
