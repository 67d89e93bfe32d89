// Rendering of trace events on the window thread: one console line with a millisecond
// timestamp and one log line per event, frames in summary form, the console emptied every 5000.
#pragma once
#include "diag/trace.h"

#include <cstddef>

// The summary of a frame event (kinds 1 to 3): "ACK", "Unknown : 41", "전문수신", ...
// Returns false when the event is dropped (first byte 0x0D, '!' or '%').
bool SummarizeFrame(int kind, const unsigned char* raw, unsigned count, char* out, std::size_t cap);

class TraceRenderer final : public TraceTarget {
public:
    explicit TraceRenderer(ConsoleSink* console) : m_console(console) {}

    void SetLog(int bLog) { m_bLog = bLog; }
    int Log() const { return m_bLog; }
    int EventCount() const { return m_eventCount; }

    void OnTraceEvent(unsigned count, const TraceEvent& event) override;

private:
    int m_eventCount = 0;
    int m_bLog = 0;
    ConsoleSink* m_console;
};
