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
constexpr std::size_t kEscapeSize = 4;  // "\x1b"
// Timestamp, tag, count and the longest text (5120 bytes, every byte escaped) with room to spare.
constexpr std::size_t kLineSize = kTimestampSize + kEscapeSize * kTraceTextSize + 64;

void PutEscape(unsigned char b, char* out) {
    static const char kHex[] = "0123456789abcdef";
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHex[b >> 4];
    out[3] = kHex[b & 15];
}

}  // namespace

std::size_t EscapeControls(const char* text, std::size_t len, char* out, std::size_t cap) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        const bool c1 =
            b == 0xC2 && i + 1 < len && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (b < 0x20 || b == 0x7F || c1) {
            const std::size_t need = c1 ? 2 * kEscapeSize : kEscapeSize;
            if (k + need >= cap) break;
            PutEscape(b, out + k);
            k += kEscapeSize;
            if (c1) {
                PutEscape(static_cast<unsigned char>(text[++i]), out + k);
                k += kEscapeSize;
            }
        } else {
            if (k + 1 >= cap) break;
            out[k++] = text[i];
        }
    }
    out[k] = '\0';
    return k;
}

namespace {

// Bytes that some tools take for a line break or that drive a terminal: LF, VT, FF, CR, ESC.
bool BreaksOrDrives(unsigned char b) { return (b >= '\n' && b <= '\r') || b == 0x1B; }

}  // namespace

int EscapeLineBreaks(char* bytes, int n, int cap) {
    if (!bytes || n <= 0) return 0;
    int breaks = 0;
    for (int i = 0; i < n; ++i)
        if (BreaksOrDrives(static_cast<unsigned char>(bytes[i]))) ++breaks;
    if (breaks == 0) return n;
    const int escapeGrowth = static_cast<int>(kEscapeSize) - 1;
    if (n + escapeGrowth * breaks > cap) {
        for (int i = 0; i < n; ++i)
            if (BreaksOrDrives(static_cast<unsigned char>(bytes[i]))) bytes[i] = '*';
        return n;
    }
    // From the back, so that every byte is moved before its place is written.
    int to = n + escapeGrowth * breaks;
    const int length = to;
    for (int i = n - 1; i >= 0; --i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (BreaksOrDrives(b)) {
            to -= static_cast<int>(kEscapeSize);
            PutEscape(b, bytes + to);
        } else {
            bytes[--to] = static_cast<char>(b);
        }
    }
    return length;
}

bool SummarizeFrame(TraceKind kind, const unsigned char* raw, unsigned count, char* out,
                    std::size_t cap) {
    // With no bytes the first byte reads as 0, as from a zero-filled work buffer.
    const unsigned char first = count > 0 ? raw[0] : 0;
    if (first == 0x0D || first == '!' || first == '%') return false;
    if (count >= 10 || kind == TRACE_TMS) {
        std::snprintf(out, cap, "%s", "전문수신");
    } else if (const char* name = ControlName(first)) {
        std::snprintf(out, cap, "%s", name);
    } else {
        std::snprintf(out, cap, "Unknown : %02x", first);
    }
    return true;
}

void TraceRenderer::ShowHeldLine() {
    if (m_heldLine[0] == '\0') return;
    if (m_console) m_console->Append(m_heldLine);
    m_heldLine[0] = '\0';
}

void TraceRenderer::OnTraceEvent(unsigned count, const TraceEvent& event) {
    ShowHeldLine();
    char timestamp[kTimestampSize] = {};
    FormatTimestamp(timestamp);

    // The console line is the timestamp, one space and the log line.
    char line[kLineSize];
    const int head = std::snprintf(line, sizeof line, "%s ", timestamp);
    char* const logLine = line + (head > 0 ? head : 0);
    const std::size_t room = sizeof line - static_cast<std::size_t>(logLine - line);
    bool shown = false;

    if (event.kind == TRACE_TEXT) {
        const void* nul = std::memchr(event.text, '\0', sizeof event.text);
        const std::size_t len =
            nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - event.text)
                : sizeof event.text;
        const std::size_t k = EscapeControls(event.text, len, logLine, room - 2);
        std::memcpy(logLine + k, "\r\n", 3);
        shown = true;
    } else if (event.kind >= TRACE_FROM_TERMINAL && event.kind <= TRACE_TMS) {
        char summary[kSummarySize];
        if (!SummarizeFrame(event.kind, event.raw, count, summary, sizeof summary)) return;
        const char* tag = event.kind == TRACE_FROM_TERMINAL ? "[CAT->VAN]"
                          : event.kind == TRACE_TO_TERMINAL ? "[CAT<-VAN]"
                                                            : "[CAT<-TMS]";
        std::snprintf(logLine, room, "%s [%03d] [%s]\r\n", tag, static_cast<int>(count), summary);
        shown = true;
    }

    if (shown) {
        LogRefusalsHeld held;  // this runs under the relay's trace lock
        LogPrintf(Log(), "%s", logLine);
    }
    const int events = m_eventCount.load(std::memory_order_relaxed) + 1;
    m_eventCount.store(events > kEventsPerConsole ? 0 : events, std::memory_order_relaxed);
    if (events > kEventsPerConsole && m_console) m_console->ClearConsole();
    // An unknown kind counts as an event but shows nothing.
    if (!shown || !m_console) return;
    const std::size_t length = std::strlen(line);
    if (event.consoleLater && length < sizeof m_heldLine)
        std::memcpy(m_heldLine, line, length + 1);
    else
        m_console->Append(line);
}
