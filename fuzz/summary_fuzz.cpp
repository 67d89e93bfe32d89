// The trace summary rule and the rendering of any event: any kind, any byte count, frames of
// any content and a text field with no terminator all give one whole line or none.
#include "diag/trace_render.h"
#include "fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

class LineCatcher final : public ConsoleSink {
public:
    void Append(const char* line) override {
        ++lines;
        last = line;
    }
    void ClearConsole() override { ++clears; }
    int lines = 0;
    int clears = 0;
    std::string last;
};

}  // namespace

// Input: kind (1 byte, signed), count (4 bytes, little-endian), output capacity (1 byte), then
// the frame's bytes, which also fill the text field of a kind-0 event.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    const TraceKind kind = static_cast<TraceKind>(static_cast<int8_t>(data[0]));
    uint32_t count = 0;
    std::memcpy(&count, data + 1, 4);
    const std::size_t cap = data[5] % 80;
    const uint8_t* bytes = data + 6;
    const std::size_t nBytes = size - 6;

    // The record holds at most its first 4096 bytes; the count may be larger (a long plain
    // piece), never larger than what the record holds when it is short.
    const std::size_t held = nBytes < kTraceRawSize ? nBytes : kTraceRawSize;
    if (held < kTraceRawSize) count = static_cast<uint32_t>(held);

    // SummarizeFrame with exactly the bytes held and exactly cap bytes of output.
    std::unique_ptr<unsigned char[]> raw(new unsigned char[held ? held : 1]);
    if (held) std::memcpy(raw.get(), bytes, held);
    std::unique_ptr<char[]> out(new char[cap ? cap : 1]);
    if (cap) {
        std::memset(out.get(), 'x', cap);
        const bool shown = SummarizeFrame(kind, raw.get(), count, out.get(), cap);
        const unsigned char first = count ? raw[0] : 0;
        FUZZ_CHECK(shown == !(first == 0x0D || first == '!' || first == '%'));
        if (shown) FUZZ_CHECK(std::memchr(out.get(), '\0', cap) != nullptr);
    }

    // The renderer, log off (no file): one line at most, ending in CR LF, nothing past it.
    static TraceEvent event;  // 9 KB: not on the fuzzer's stack
    event = TraceEvent{};
    event.kind = kind;
    std::memcpy(event.raw, bytes, held);
    const std::size_t textBytes = nBytes < kTraceTextSize ? nBytes : kTraceTextSize;
    std::memcpy(event.text, bytes, textBytes);  // a full field has no terminator
    LineCatcher console;
    TraceRenderer renderer(&console);
    renderer.OnTraceEvent(count, event);
    FUZZ_CHECK(console.lines <= 1 && console.clears == 0);
    if (console.lines) {
        FUZZ_CHECK(console.last.size() >= 2);
        FUZZ_CHECK(console.last.compare(console.last.size() - 2, 2, "\r\n") == 0);
        FUZZ_CHECK(kind >= TRACE_TEXT && kind <= TRACE_TMS);
    }
    if (kind < TRACE_TEXT || kind > TRACE_TMS) FUZZ_CHECK(console.lines == 0);
    return 0;
}
