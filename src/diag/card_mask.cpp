#include "diag/card_mask.h"

namespace {

// A card number is 13 to 19 digits; the first six (the issuer) and the last four may show.
constexpr int kPanMin = 13;
constexpr int kPanMax = 19;
constexpr int kPanHead = 6;
constexpr int kPanTail = 4;
// Chip records hold a card number of 12 to 19 digits.
constexpr int kRecordPanMin = 12;

struct Span {
    int from = 0;
    int count = 0;
};

// Which bytes are to be hidden: worked out on the bytes as they came, applied at the end.
class Hidden {
public:
    explicit Hidden(int n) : m_n(n) {}
    void Set(int i) {
        if (i >= 0 && i < m_n) m_bits[i >> 3] |= static_cast<unsigned char>(1u << (i & 7));
    }
    void SetRange(int from, int count) {
        for (int i = from; i < from + count; ++i) Set(i);
    }
    bool Test(int i) const { return (m_bits[i >> 3] >> (i & 7)) & 1u; }

private:
    int m_n;
    unsigned char m_bits[kMaskMaxBytes / 8] = {};
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool IsTrackSeparator(char c) { return c == '=' || c == 'D' || c == 'd' || c == '^'; }

// Position of the first ch at or after from, or -1 when a NUL or the end of the n bytes comes
// first.
int Find(const char* work, int from, int n, char ch) {
    for (int i = from; i < n && work[i] != '\0'; ++i)
        if (work[i] == ch) return i;
    return -1;
}

// The request log's long-standing rule: the four bytes before the first '=' (when it lies after
// position 10 and before n - 3) and the bytes from it to the next FS, then the same for the next
// '=' after that field.
void LegacyRule(const char* work, int n, Hidden& hide) {
    const int i = Find(work, 0, n, '=');
    if (!(10 < i && i < n - 3)) return;
    hide.SetRange(i - 4, 4);
    const int fs = Find(work, i, n, kMaskFs);
    if (fs > i) hide.SetRange(i + 1, fs - i - 1);
    // The second '=' is looked for behind the first field; an '=' right after the first one
    // (with no FS to end its field) ends the rule.
    const int i2 = Find(work, fs > i ? fs : i + 1, n, '=');
    if (i2 <= i + 1 || i2 >= n - 3) return;
    hide.SetRange(i2 - 4, 4);
    const int fs2 = Find(work, i2, n, kMaskFs);
    if (fs2 > i2) hide.SetRange(i2 + 1, fs2 - i2 - 1);
}

// The separator at `at` and the rest of its field: up to FS, ETX or the end of the bytes.
// Returns where the field ends.
int HideTrack(const char* work, int at, int n, Hidden& hide) {
    int i = at;
    for (; i < n && work[i] != kMaskFs && work[i] != kMaskEtx; ++i) hide.Set(i);
    return i;
}

// Up to three bytes that are neither letters nor digits may stand between two groups of a card
// number's digits: blanks, punctuation, control bytes (a NUL, a line break, an escape) and bytes
// above 0x7F ("4532.0151.1283.0366", "4532 - 0151", "45320151\r\n12830366"). The track
// separators '=' and '^' end a run, and so do the bytes that part a frame's fields: STX, ETX
// and FS, GS, RS, US.
constexpr int kMaxJoin = 3;

bool Joins(char c) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x80) return true;
    if (IsDigit(c) || c == '=' || c == '^') return false;
    if (b == 0x02 || b == 0x03 || (b >= 0x1C && b <= 0x1F)) return false;
    const unsigned char lower = b | 0x20;
    return !(lower >= 'a' && lower <= 'z');
}

// Where the run goes on after its digit at `last`: the next digit behind at most kMaxJoin joining
// bytes, or -1.
int NextInRun(const char* work, int last, int n) {
    for (int i = last + 1; i < n && i <= last + kMaxJoin; ++i) {
        if (!Joins(work[i])) return -1;
        if (i + 1 < n && IsDigit(work[i + 1])) return i + 1;
    }
    return -1;
}

// A track separator after a run's last digit, right behind it or behind a few blanks or
// punctuation ("… 03 66 D2 51 …" in a spaced dump): its position, or -1.
int SeparatorAfter(const char* work, int last, int n) {
    for (int i = last + 1; i < n && i <= last + 1 + kMaxJoin; ++i) {
        if (IsTrackSeparator(work[i])) return i;
        if (!Joins(work[i]) || work[i] == '\0' || work[i] == kMaskFs || work[i] == kMaskEtx)
            return -1;
    }
    return -1;
}

// Luhn over the last digits of a run, held in a ring of 19: which windows of 13 to 19 digits
// ending on the newest one pass (bit L set for a window of L digits).
unsigned LuhnWindowsEnding(const int* value, int count) {
    int sum = 0;
    unsigned passing = 0;
    for (int k = 0; k < kPanMax && k < count; ++k) {
        // From the right: the last digit counts once, the one before it twice, ...
        int v = value[(count - 1 - k) % kPanMax];
        if (k % 2 == 1) v = v * 2 > 9 ? v * 2 - 9 : v * 2;
        sum += v;
        if (k + 1 >= kPanMin && sum % 10 == 0) passing |= 1u << (k + 1);
    }
    return passing;
}

// Card numbers in runs of digits (groups joined as above). When any window of 13 to 19 digits in
// the run passes the Luhn check, or a track separator follows a run of 12 digits or more, the
// run shows its first six digits and, when it is no longer than a card number, its last four:
// whatever stands before the number (a length prefix, zero padding) or after it (an expiry date
// and service code in the same fixed field) is hidden with it. A track separator after such a run hides the rest of its field too.
void DigitRuns(const char* work, int n, Hidden& hide) {
    int value[kPanMax];
    int trackEnd = 0;  // track data is hidden up to here already
    int i = 0;
    while (i < n) {
        if (!IsDigit(work[i])) {
            ++i;
            continue;
        }
        const int first = i;
        int count = 0;
        bool card = false;
        for (;;) {
            value[count % kPanMax] = work[i] - '0';
            ++count;
            card = card || LuhnWindowsEnding(value, count) != 0;
            const int next = i + 1 < n && IsDigit(work[i + 1]) ? i + 1 : NextInRun(work, i, n);
            if (next < 0) break;
            i = next;
        }
        const int last = i;
        const int separator = count >= kRecordPanMin ? SeparatorAfter(work, last, n) : -1;
        if (card || separator >= 0) {
            // A run longer than any card number holds more than the number (an expiry date and
            // service code behind it): its last four digits are not the number's and are hidden.
            const int tail = count <= kPanMax ? kPanTail : 0;
            int d = 0;
            for (int k = first; k <= last; ++k) {
                if (!IsDigit(work[k])) continue;
                if (d >= kPanHead && d < count - tail) hide.Set(k);
                ++d;
            }
        }
        // A field already hidden to its end is not walked again.
        if (separator >= trackEnd) trackEnd = HideTrack(work, separator, n, hide);
        i = last + 1;
    }
}

// Track 1 without a card number in front of it: '^', a name of 2 to 26 bytes, '^', then the
// expiry date: everything behind the second '^' to the end of its field.
void TrackOneNames(const char* work, int n, Hidden& hide) {
    constexpr int kNameMax = 26;
    int trackEnd = 0;  // hidden up to here already
    for (int i = 0; i < n; ++i) {
        if (work[i] != '^') continue;
        int q = i + 1;
        while (q < n && q - i <= kNameMax + 1 && work[q] != '^' && work[q] != kMaskFs &&
               work[q] != kMaskEtx)
            ++q;
        if (q + 1 >= n || work[q] != '^' || q - i < 3 || !IsDigit(work[q + 1])) continue;
        if (q + 1 >= trackEnd) trackEnd = HideTrack(work, q + 1, n, hide);
    }
}

// Chip records as hex text: "57" or "5A", two hex digits of length, then the value.
void HexRecords(const char* work, int n, Hidden& hide) {
    for (int i = 0; i + 4 <= n; ++i) {
        // 57 and 9F6B (the contactless track 2) hold track data, 5A the number alone.
        int tagLength = 2;
        bool track = work[i] == '5' && work[i + 1] == '7';
        const bool pan = work[i] == '5' && (work[i + 1] == 'A' || work[i + 1] == 'a');
        if (!track && !pan && i + 6 <= n && work[i] == '9' && (work[i + 1] | 0x20) == 'f' &&
            work[i + 2] == '6' && (work[i + 3] | 0x20) == 'b') {
            track = true;
            tagLength = 4;
        }
        if (!track && !pan) continue;
        const int hi = HexValue(work[i + tagLength]);
        const int lo = HexValue(work[i + tagLength + 1]);
        if (hi < 0 || lo < 0) continue;
        const int from = i + tagLength + 2;
        int end = from + 2 * (hi * 16 + lo);
        if (end > n) end = n;
        int digits = 0;
        while (from + digits < end && digits <= kPanMax && IsDigit(work[from + digits])) ++digits;
        if (digits < kRecordPanMin || digits > kPanMax) continue;
        const int after = from + digits;
        if (track) {
            // The card number ends at 'D'; the rest of the record is track data.
            if (after >= end || (work[after] != 'D' && work[after] != 'd')) continue;
            hide.SetRange(from + kPanHead, digits - kPanHead - kPanTail);
            hide.SetRange(after, end - after);
        } else {
            bool padded = true;
            for (int k = after; k < end && padded; ++k) padded = work[k] == 'F' || work[k] == 'f';
            if (!padded) continue;
            hide.SetRange(from + kPanHead, digits - kPanHead - kPanTail);
        }
    }
}

// Chip records in binary: tag byte, length byte, packed decimal digits two to a byte.
void BinaryRecords(const char* work, int n, Hidden& hide) {
    for (int i = 0; i + 2 <= n; ++i) {
        // 0x57 and 0x9F 0x6B (the contactless track 2) hold track data, 0x5A the number alone.
        auto tag = static_cast<unsigned char>(work[i]);
        int tagLength = 1;
        if (tag == 0x9F && i + 3 <= n && static_cast<unsigned char>(work[i + 1]) == 0x6B) {
            tag = 0x57;
            tagLength = 2;
        }
        if (tag != 0x57 && tag != 0x5A) continue;
        const int length = static_cast<unsigned char>(work[i + tagLength]);
        const int from = i + tagLength + 1;
        int end = from + length;
        if (end > n) end = n;
        auto nibble = [&](int k) {
            const auto b = static_cast<unsigned char>(work[from + k / 2]);
            return k % 2 == 0 ? b >> 4 : b & 15;
        };
        const int nibbles = 2 * (end - from);
        int digits = 0;
        while (digits < nibbles && digits <= kPanMax && nibble(digits) <= 9) ++digits;
        if (digits < kRecordPanMin || digits > kPanMax) continue;
        if (tag == 0x57) {
            if (digits >= nibbles || nibble(digits) != 0xD) continue;
            for (int d = kPanHead; d < digits - kPanTail; ++d) hide.Set(from + d / 2);
            hide.SetRange(from + digits / 2, end - (from + digits / 2));
        } else {
            bool padded = true;
            for (int k = digits; k < nibbles && padded; ++k) padded = nibble(k) == 0xF;
            if (!padded) continue;
            for (int d = kPanHead; d < digits - kPanTail; ++d) hide.Set(from + d / 2);
        }
    }
}

// Packed decimal digits outside a chip tag (a binary ISO 8583 card number or track behind its
// length byte, a tag with a longer length field, bare): a run of at least seven bytes whose
// nibbles are all digits or the track separator D (the last byte may end in an F pad) is read as
// a run of digits. A run made of printable ASCII only (0x20 to 0x7E, with STX, ETX and CR) is
// taken for text, and so is a window of it whose bytes are mostly ASCII digits: the digit rules
// above read them. In each stretch of digits between two D nibbles, as for digits:
// every Luhn window of 13 to 19 digits hides the bytes holding its digits but the first six and
// last four; 12 digits and more before a D are a number (its last 19 digits at most, shown as a
// window), and after that D every byte to the end of the run is hidden.
bool Binary(unsigned char b) {
    // Text frames hold STX, ETX and CR besides printable ASCII.
    return b > 0x7E || (b < 0x20 && b != 0x02 && b != 0x03 && b != 0x0D);
}

void PackedRuns(const char* work, int n, Hidden& hide) {
    constexpr int kPackedMin = 7;
    auto byte = [&](int k) { return static_cast<unsigned char>(work[k]); };
    auto packed = [](unsigned char b) {  // both nibbles digits or D
        const int hi = b >> 4, lo = b & 15;
        return (hi <= 9 || hi == 0xD) && (lo <= 9 || lo == 0xD);
    };
    int value[kPanMax];
    int i = 0;
    while (i < n) {
        if (!packed(byte(i))) {
            ++i;
            continue;
        }
        const int from = i;
        bool binary = false;
        while (i < n && packed(byte(i))) {
            binary = binary || Binary(byte(i));
            ++i;
        }
        // A pad nibble F closes a number of odd length.
        if (i < n && (byte(i) & 15) == 0xF && ((byte(i) >> 4) <= 9)) {
            binary = binary || Binary(byte(i));
            ++i;
        }
        const int end = i;
        if (end - from < kPackedMin || !binary) continue;
        const int nibbles = 2 * (end - from);
        auto nibble = [&](int k) {
            const auto b = byte(from + k / 2);
            return k % 2 == 0 ? b >> 4 : b & 15;
        };
        // Digits written as ASCII (0x30 to 0x39) have decimal nibbles too: a window whose bytes
        // are mostly such is text, which the digit rules read.
        auto asciiDigits = [&](int firstNibble, int lastNibble) {
            int digits = 0;
            for (int b = firstNibble / 2; b <= lastNibble / 2; ++b) digits += IsDigit(work[from + b]);
            return 2 * digits > lastNibble / 2 - firstNibble / 2 + 1;
        };
        bool trackToEnd = false;
        int k = 0;
        while (k < nibbles) {
            if (nibble(k) > 9) {
                ++k;
                continue;
            }
            int count = 0;
            bool endsWindow = false;  // a window ends on the stretch's last digit
            for (; k < nibbles && nibble(k) <= 9; ++k) {
                value[count % kPanMax] = nibble(k);
                ++count;
                const unsigned passing = LuhnWindowsEnding(value, count);
                endsWindow = false;
                for (int length = kPanMax; length >= kPanMin; --length) {
                    if (!(passing >> length & 1u) || asciiDigits(k - length + 1, k)) continue;
                    for (int d = kPanTail; d < length - kPanHead; ++d) hide.Set(from + (k - d) / 2);
                    endsWindow = true;
                    break;  // the longest window's middle holds every shorter one's
                }
            }
            const int number = count < kPanMax ? count : kPanMax;
            const bool track = k < nibbles && nibble(k) == 0xD && count >= kRecordPanMin &&
                               !asciiDigits(k - number, k - 1);
            // A number before the D that fails the check: its last 19 digits at most (a tag and
            // length in front are digits too) show their first six and last four.
            if (track && !endsWindow)
                for (int d = kPanTail; d < number - kPanHead; ++d) hide.Set(from + (k - 1 - d) / 2);
            if (track && !trackToEnd) {
                hide.SetRange(from + k / 2, end - (from + k / 2));
                trackToEnd = true;  // later stretches of the run lie inside it
            }
        }
    }
}

}  // namespace

void MaskCardData(char* work, int n) {
    if (!work || n <= 0) return;
    const int looked = n < kMaskMaxBytes ? n : kMaskMaxBytes;
    Hidden hide(looked);
    LegacyRule(work, looked, hide);
    DigitRuns(work, looked, hide);
    TrackOneNames(work, looked, hide);
    HexRecords(work, looked, hide);
    BinaryRecords(work, looked, hide);
    PackedRuns(work, looked, hide);
    // NUL bytes stay: the logged text ends at the first one, and must keep its length.
    for (int i = 0; i < n; ++i)
        if (work[i] != '\0' && (i >= looked || hide.Test(i))) work[i] = '*';
}
