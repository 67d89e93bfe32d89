// What the log may show of a card, checked on the masked copy of any frame, whatever rule did
// the masking:
// - every byte that is not '*' is the byte that came, and NUL bytes stay;
// - in every run of digits (up to three bytes that are neither letters, digits, '=', '^' nor
//   STX, ETX, FS, GS, RS, US may stand between two of its digits), every window of 13 to 19
//   digits that passes the Luhn check shows at most its first six and last four digits, and no
//   digit of the run after the window shows but the run's last four when the run has 19 digits
//   or fewer; when a track separator ('=', 'D', 'd' or '^') follows a run of 12 digits or more,
//   the separator and the rest of its field (up to FS, ETX or the end) show nothing but NUL
//   bytes;
// - a chip record as hex text ("57", "9F6B" or "5A"/"5a", a hex length, 12 to 19 digits, then 'D'/'d'
//   for 57 or only 'F'/'f' padding for 5A) shows at most six and four of its digits, and nothing
//   of a 57 from the 'D' to the record's end;
// - the same records in binary (tag byte, length byte, packed digits): no byte that holds one of
//   the hidden digits, or a nibble from the D on, shows;
// - packed digits anywhere: in a run of seven bytes or more whose nibbles are all digits or D,
//   with a byte that is neither printable ASCII nor STX, ETX or CR, no byte holding a hidden
//   digit of a Luhn window of 13 to 19 digits shows, unless most of the window's bytes are ASCII
//   digits (text).
#include "fuzz_check.h"
#include "diag/card_mask.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

// Luhn by the table of doubled digits, from the right.
bool PassesLuhn(const std::vector<int>& d, std::size_t from, std::size_t len) {
    static const int kDoubled[10] = {0, 2, 4, 6, 8, 1, 3, 5, 7, 9};
    int sum = 0;
    bool doubled = false;
    for (std::size_t k = len; k-- > 0; doubled = !doubled)
        sum += doubled ? kDoubled[d[from + k]] : d[from + k];
    return sum % 10 == 0;
}

bool Hex(char c) { return Digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
int HexDigit(char c) { return Digit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }

bool Joining(char c) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x80) return true;
    if (Digit(c) || c == '=' || c == '^' || b == 0x02 || b == 0x03 || (b >= 0x1C && b <= 0x1F))
        return false;
    return !((b | 0x20) >= 'a' && (b | 0x20) <= 'z');
}

void CheckDigitRuns(const char* in, const char* out, int n) {
    // Positions of the run's digits, its values.
    std::vector<int> at, value;
    auto check = [&] {
        const std::size_t count = at.size();
        for (std::size_t len = 13; len <= 19; ++len) {
            for (std::size_t s = 0; s + len <= count; ++s) {
                if (!PassesLuhn(value, s, len)) continue;
                for (std::size_t k = s + 6; k < s + len - 4; ++k) FUZZ_CHECK(out[at[k]] == '*');
                for (std::size_t k = s + len; k < count; ++k)
                    FUZZ_CHECK(out[at[k]] == '*' || (count <= 19 && k + 4 >= count));
            }
        }
        const int next = count ? at[count - 1] + 1 : n;
        if (count >= 12 && next < n &&
            (in[next] == '=' || in[next] == 'D' || in[next] == 'd' || in[next] == '^')) {
            for (int i = next; i < n && in[i] != 0x1C && in[i] != 0x03; ++i)
                FUZZ_CHECK(out[i] == '*' || in[i] == '\0');
        }
        at.clear();
        value.clear();
    };
    int gap = 0;  // joining bytes since the run's last digit
    for (int i = 0; i < n; ++i) {
        if (Digit(in[i])) {
            if (!at.empty() && at.back() != i - 1 - gap) check();
            at.push_back(i);
            value.push_back(in[i] - '0');
            gap = 0;
        } else if (!at.empty() && Joining(in[i]) && gap < 3) {
            ++gap;
        } else {
            check();
            gap = 0;
        }
    }
    check();
}

void CheckPackedRuns(const unsigned char* in, const char* out, int n) {
    auto packed = [](unsigned char b) {
        return ((b >> 4) <= 9 || (b >> 4) == 0xD) && ((b & 15) <= 9 || (b & 15) == 0xD);
    };
    for (int i = 0; i < n;) {
        int end = i;
        bool binary = false;
        while (end < n && packed(in[end])) {
            binary = binary || in[end] > 0x7E ||
                     (in[end] < 0x20 && in[end] != 0x02 && in[end] != 0x03 && in[end] != 0x0D);
            ++end;
        }
        if (end - i >= 7 && binary) {
            std::vector<int> value, byteOf;
            for (int k = 2 * i; k <= 2 * end; ++k) {
                const int nib = k < 2 * end ? (k % 2 ? in[k / 2] & 15 : in[k / 2] >> 4) : 0xD;
                if (nib <= 9) {
                    value.push_back(nib);
                    byteOf.push_back(k / 2);
                    continue;
                }
                for (std::size_t len = 13; len <= 19; ++len)
                    for (std::size_t s = 0; s + len <= value.size(); ++s) {
                        if (!PassesLuhn(value, s, len)) continue;
                        int ascii = 0;
                        for (int b = byteOf[s]; b <= byteOf[s + len - 1]; ++b) ascii += Digit(in[b]);
                        if (2 * ascii > byteOf[s + len - 1] - byteOf[s] + 1) continue;
                        for (std::size_t d = s + 6; d < s + len - 4; ++d)
                            FUZZ_CHECK(out[byteOf[d]] == '*' || in[byteOf[d]] == 0);
                    }
                value.clear();
                byteOf.clear();
            }
        }
        i = end > i ? end : i + 1;
    }
}

void CheckHexRecords(const char* in, const char* out, int n) {
    for (int i = 0; i + 4 <= n; ++i) {
        bool track = in[i] == '5' && in[i + 1] == '7';
        const bool pan = in[i] == '5' && (in[i + 1] == 'A' || in[i + 1] == 'a');
        int at = i + 2;  // the length
        if (!track && !pan && i + 6 <= n && (in[i] == '9') && (in[i + 1] == 'F' || in[i + 1] == 'f') &&
            in[i + 2] == '6' && (in[i + 3] == 'B' || in[i + 3] == 'b')) {
            track = true;
            at = i + 4;
        }
        if (!(track || pan) || !Hex(in[at]) || !Hex(in[at + 1])) continue;
        const int from = at + 2;
        const int end = std::min(n, from + 2 * (16 * HexDigit(in[at]) + HexDigit(in[at + 1])));
        int digits = 0;
        while (from + digits < end && Digit(in[from + digits])) ++digits;
        if (digits < 12 || digits > 19) continue;
        if (track && (from + digits >= end || (in[from + digits] | 0x20) != 'd')) continue;
        if (pan) {
            bool padded = true;
            for (int k = from + digits; k < end; ++k) padded = padded && (in[k] | 0x20) == 'f';
            if (!padded) continue;
        }
        for (int k = from + 6; k < from + digits - 4; ++k) FUZZ_CHECK(out[k] == '*');
        if (track)
            for (int k = from + digits; k < end; ++k) FUZZ_CHECK(out[k] == '*' || in[k] == '\0');
    }
}

void CheckBinaryRecords(const unsigned char* in, const char* out, int n) {
    for (int i = 0; i + 2 <= n; ++i) {
        const bool contactless = in[i] == 0x9F && i + 3 <= n && in[i + 1] == 0x6B;
        if (in[i] != 0x57 && in[i] != 0x5A && !contactless) continue;
        const bool track = in[i] != 0x5A;
        const int at = contactless ? i + 2 : i + 1;  // the length
        const int from = at + 1;
        const int end = std::min(n, from + in[at]);
        std::vector<int> nibbles;
        for (int k = from; k < end; ++k) {
            nibbles.push_back(in[k] >> 4);
            nibbles.push_back(in[k] & 15);
        }
        std::size_t digits = 0;
        while (digits < nibbles.size() && nibbles[digits] <= 9) ++digits;
        if (digits < 12 || digits > 19) continue;
        if (track && (digits >= nibbles.size() || nibbles[digits] != 0xD)) continue;
        if (!track) {
            bool padded = true;
            for (std::size_t k = digits; k < nibbles.size(); ++k) padded = padded && nibbles[k] == 0xF;
            if (!padded) continue;
        }
        for (std::size_t d = 6; d < digits - 4; ++d) FUZZ_CHECK(out[from + d / 2] == '*' || in[from + d / 2] == 0);
        if (track)
            for (int k = from + static_cast<int>(digits / 2); k < end; ++k)
                FUZZ_CHECK(out[k] == '*' || in[k] == 0);
    }
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

    for (int i = 0; i < n; ++i) {
        FUZZ_CHECK(out[i] == '*' || out[i] == in[i]);
        FUZZ_CHECK(in[i] != '\0' || out[i] == '\0');
    }
    CheckDigitRuns(in.get(), out.get(), n);
    CheckHexRecords(in.get(), out.get(), n);
    CheckBinaryRecords(data, out.get(), n);
    CheckPackedRuns(data, out.get(), n);
    return 0;
}
