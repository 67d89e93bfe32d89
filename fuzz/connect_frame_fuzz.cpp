// The intake's classification and connect-frame parsing on any burst: the marker rule, the
// NUL-bounded search and the split into host and port never read or write out of bounds, and
// on a fault nothing is written.
#include "fuzz_check.h"
#include "relay/frame_text.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t kMaxBurst = 4096;
constexpr unsigned char kUntouched = 0xA5;

// Checks FindNthChar against a count made here, for the characters the relay searches for.
void CheckSearch(const char* text, char ch, int count) {
    const int p = FindNthChar(text, ch, count);
    const std::size_t len = std::strlen(text);
    if (p < 0) {
        int seen = 0;
        for (std::size_t i = 0; i <= len; ++i) seen += text[i] == ch;
        FUZZ_CHECK(seen < count);
        return;
    }
    FUZZ_CHECK(static_cast<std::size_t>(p) <= len);
    FUZZ_CHECK(text[p] == ch);
    int before = 0;
    for (int i = 0; i < p; ++i) before += text[i] == ch;
    FUZZ_CHECK(before == count - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > kMaxBurst) size = kMaxBurst;
    const int n = static_cast<int>(size);
    // The burst followed by its terminator and nothing else: a read past it is an ASan report.
    std::unique_ptr<char[]> frame(new char[size + 1]);
    if (size) std::memcpy(frame.get(), data, size);
    frame[size] = '\0';

    for (char ch : {':', '=', static_cast<char>(kFs), '\0'})
        for (int count = 1; count <= 3; ++count) CheckSearch(frame.get(), ch, count);

    const bool pair = n > 0 && ((frame[0] == 'S' && frame[n - 1] == 'E') ||
                                (frame[0] == 'T' && frame[n - 1] == 'T') ||
                                (frame[0] == 'P' && frame[n - 1] == 'E'));
    FUZZ_CHECK(IsConnectFrame(frame.get(), n) == pair);

    // The relay's members are exactly this large: heap copies of that size catch any overrun.
    std::unique_ptr<char[]> host(new char[kHostSize]);
    std::unique_ptr<char[]> port(new char[kPortTextSize]);
    std::memset(host.get(), kUntouched, kHostSize);
    std::memset(port.get(), kUntouched, kPortTextSize);
    int part = -7;
    const int fault = ParseConnectFrame(frame.get(), n, host.get(), port.get(), &part);

    const int k = FindNthChar(frame.get(), ':', 1);
    if (fault != CONNECT_FRAME_OK) {
        for (int i = 0; i < kHostSize; ++i) FUZZ_CHECK(static_cast<unsigned char>(host[i]) == kUntouched);
        for (int i = 0; i < kPortTextSize; ++i) FUZZ_CHECK(static_cast<unsigned char>(port[i]) == kUntouched);
    }
    switch (fault) {
    case CONNECT_FRAME_OK: {
        FUZZ_CHECK(k >= 1 && k <= n - 2);
        FUZZ_CHECK(part == 0);
        const int hostLength = k - 1, portLength = n - k - 2;
        FUZZ_CHECK(hostLength <= kHostSize - 1 && portLength <= kPortTextSize - 1);
        FUZZ_CHECK(std::memcmp(host.get(), frame.get() + 1, hostLength) == 0);
        for (int i = hostLength; i < kHostSize; ++i) FUZZ_CHECK(host[i] == '\0');
        // The port text is everything between the colon and the end marker.
        FUZZ_CHECK(std::memcmp(port.get(), frame.get() + k + 1, portLength) == 0);
        for (int i = portLength; i < kPortTextSize; ++i) FUZZ_CHECK(port[i] == '\0');
        FUZZ_CHECK(std::strlen(host.get()) == static_cast<std::size_t>(hostLength));
        break;
    }
    case CONNECT_FRAME_NO_COLON:
        FUZZ_CHECK(k < 1 || k > n - 2);
        break;
    case CONNECT_FRAME_HOST_TOO_LONG:
        FUZZ_CHECK(k >= 1 && k <= n - 2 && part == k - 1 && part > kHostSize - 1);
        break;
    case CONNECT_FRAME_PORT_TOO_LONG:
        FUZZ_CHECK(k >= 1 && k <= n - 2 && k - 1 <= kHostSize - 1);
        FUZZ_CHECK(part == n - k - 2 && part > kPortTextSize - 1);
        break;
    default:
        FUZZ_CHECK(!"unknown fault code");
    }
    return 0;
}
