// What the log may show of a card, checked on the masked copy of any frame, whatever rule did
// the masking: every run of 13 to 19 digits in the frame that passes the Luhn check shows at
// most its first six and last four digits; a track separator ('=', 'D' or '^') after such a run and
// the rest of its field (up to FS, ETX or the end) show nothing but the NUL bytes among them;
// every byte that is not '*' is the byte that came.
#include "fuzz_check.h"
#include "diag/card_mask.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

// Luhn by the table of doubled digits, from the right.
bool PassesLuhn(const char* d, int len) {
    static const int kDoubled[10] = {0, 2, 4, 6, 8, 1, 3, 5, 7, 9};
    int sum = 0;
    bool doubled = false;
    for (const char* p = d + len - 1; p >= d; --p, doubled = !doubled)
        sum += doubled ? kDoubled[*p - '0'] : *p - '0';
    return sum % 10 == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 4096) size = 4096;  // the longest burst
    const int n = static_cast<int>(size);
    std::unique_ptr<char[]> in(new char[size + 1]);
    std::unique_ptr<char[]> out(new char[size + 1]);
    if (size) std::memcpy(in.get(), data, size);
    in[size] = '\0';
    std::memcpy(out.get(), in.get(), size + 1);

    MaskCardData(out.get(), n);

    for (int i = 0; i < n; ++i) FUZZ_CHECK(out[i] == '*' || out[i] == in[i]);

    for (int start = 0; start < n;) {
        if (!Digit(in[start])) {
            ++start;
            continue;
        }
        int end = start;
        while (end < n && Digit(in[end])) ++end;
        const int len = end - start;
        if (len >= 13 && len <= 19 && PassesLuhn(in.get() + start, len)) {
            for (int i = start + 6; i < end - 4; ++i) FUZZ_CHECK(out[i] == '*');
            if (end < n && (in[end] == '=' || in[end] == 'D' || in[end] == '^')) {
                for (int i = end; i < n && in[i] != 0x1C && in[i] != 0x03; ++i)
                    FUZZ_CHECK(out[i] == '*' || in[i] == '\0');
            }
        }
        start = end;
    }
    return 0;
}
