#include "relay/relay.h"

#include "core/window_thread.h"
#include "diag/log.h"
#include "sys/sys.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

Relay::Relay(const Ports& ports) : m_ports(ports) {}

Relay::~Relay() {
    Stop();
    sys::SecureZero(m_heldRequest, sizeof m_heldRequest);
}

namespace {

void CopyText(char* to, std::size_t size, const char* from) {
    std::snprintf(to, size, "%s", from ? from : "");
}

}  // namespace

void Relay::SetVersionText(const char* text) {
    std::lock_guard<std::mutex> g(m_textLock);
    CopyText(m_versionText, sizeof m_versionText, text);
}

void Relay::SetRateText(const char* text) {
    std::lock_guard<std::mutex> g(m_textLock);
    CopyText(m_rateText, sizeof m_rateText, text);
}

void Relay::SetIcon(int icon) {
    if (m_ports.tray) m_ports.tray->SetIcon(icon);
}

// The producing thread renders its own event: a worker's answer is traced and logged before it
// goes to the terminal without a round trip to the window thread.
void Relay::Render(unsigned count, const TraceEvent& event) {
    TraceTarget* target = m_ports.trace;
    if (!target) return;
    std::lock_guard<std::mutex> g(m_traceLock);
    target->OnTraceEvent(count, event);
}

void Relay::VPostTrace(TraceKind kind, const char* format, va_list args) {
    TraceEvent event;
    event.kind = kind;
    std::vsnprintf(event.text, sizeof event.text, format, args);
    Render(0, event);
}

void Relay::PostTrace(TraceKind kind, const char* format, ...) {
    va_list args;
    va_start(args, format);
    VPostTrace(kind, format, args);
    va_end(args);
}

bool Relay::SendToTerminal(const void* bytes, unsigned n) {
    TraceEvent event;
    event.kind = TRACE_TO_TERMINAL;
    // The trace shows the real count; the record keeps the first 4096 bytes, the summary needs
    // only the first.
    const std::size_t held = n < kTraceRawSize ? n : kTraceRawSize;
    std::memcpy(event.raw, bytes, held);
    // The log line is written before the bytes go out; the console line follows the write.
    event.consoleLater = true;
    SetIcon(ICON_ANSWER);
    Render(n, event);
    sys::SecureZero(event.raw, held);
    uint32_t written = n;
    // A terminal that takes nothing (flow control held, port gone) makes the write give up
    // after its bound; what did not go out is said in the log.
    if (m_ports.terminal) written = m_ports.terminal->Write(bytes, n);
    if (TraceTarget* target = m_ports.trace) {
        std::lock_guard<std::mutex> g(m_traceLock);
        target->ShowHeldLine();
    }
    if (written >= n) return true;
    LogPrintf(Log(), "TEVN-> ERROR : 단말기 쓰기 오류 (%u/%u 바이트)\n", written, n);
    return false;
}

long long Relay::NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void Relay::NoteSent(Connection& conn) {
    long long none = 0;
    conn.firstSendMs.compare_exchange_strong(none, NowMs());
}

void Relay::NoteAnswer(Connection& conn, Tally& tally) {
    if (tally.answers++ == 0) {
        const long long sent = conn.firstSendMs.load();
        if (sent != 0) tally.firstAnswerMs = NowMs() - sent;
    }
}
