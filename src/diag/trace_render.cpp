#include "diag/trace_render.h"

#include "diag/log.h"

#include <cstdio>
#include <cstring>

namespace {

const char* ControlName(unsigned char b) {
    switch (b) {
    case 0x04: return "EOT";
    case 0x05: return "ENQ";
    case 0x06: return "ACK";
    case 0x07: return "BEL";
    case 0x10: return "DLE";
    case 0x15: return "NAK";
    case 0x16: return "SYN";
    case 0x18: return "CAN";
    case 0x19: return "EOM";
    default: return nullptr;
    }
}

constexpr int kEventsPerConsole = 5000;
constexpr std::size_t kTimestampSize = 128;
constexpr std::size_t kSummarySize = 64;
// Timestamp, tag, count and the longest text (5120 bytes) with room to spare.
constexpr std::size_t kLineSize = kTimestampSize + kTraceTextSize + 64;

}  // namespace

bool SummarizeFrame(int kind, const unsigned char* raw, unsigned count, char* out,
                    std::size_t cap) {
    // With no bytes the first byte reads as 0, as from a zero-filled work buffer.
    const unsigned char first = count > 0 ? raw[0] : 0;
    if (first == 0x0D || first == '!' || first == '%') return false;
    if (count >= 10 || kind > 2) {
        std::snprintf(out, cap, "%s", "전문수신");
    } else if (const char* name = ControlName(first)) {
        std::snprintf(out, cap, "%s", name);
    } else {
        std::snprintf(out, cap, "Unknown : %02x", first);
    }
    return true;
}

void TraceRenderer::OnTraceEvent(unsigned count, const TraceEvent& event) {
    char timestamp[kTimestampSize] = {};
    FormatTimestamp(timestamp);

    char consoleLine[kLineSize] = {};
    char logLine[kLineSize] = {};

    if (event.kind == TRACE_TEXT) {
        std::snprintf(consoleLine, sizeof consoleLine, "%s %.*s\r\n", timestamp,
                      static_cast<int>(sizeof event.text), event.text);
        std::snprintf(logLine, sizeof logLine, "%.*s\r\n", static_cast<int>(sizeof event.text),
                      event.text);
    } else if (event.kind >= TRACE_FROM_TERMINAL && event.kind <= TRACE_TMS) {
        char summary[kSummarySize];
        if (!SummarizeFrame(event.kind, event.raw, count, summary, sizeof summary)) return;
        const char* tag = event.kind == TRACE_FROM_TERMINAL ? "[CAT->VAN]"
                          : event.kind == TRACE_TO_TERMINAL ? "[CAT<-VAN]"
                                                            : "[CAT<-TMS]";
        std::snprintf(consoleLine, sizeof consoleLine, "%s %s [%03d] [%s]\r\n", timestamp, tag,
                      static_cast<int>(count), summary);
        std::snprintf(logLine, sizeof logLine, "%s [%03d] [%s]\r\n", tag,
                      static_cast<int>(count), summary);
    }

    if (logLine[0] != '\0') LogPrintf(m_bLog, "%s", logLine);
    if (++m_eventCount > kEventsPerConsole) {
        if (m_console) m_console->ClearConsole();
        m_eventCount = 0;
    }
    // An unknown kind counts as an event but shows nothing.
    if (consoleLine[0] != '\0' && m_console) m_console->Append(consoleLine);
}
