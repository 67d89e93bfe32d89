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

// Card numbers in runs of digits. A run goes on over a single space or dash between two digits.
// For each digit of the run, the windows of 13 to 19 digits that end on it are checked; the
// last 19 digits' positions are kept in a ring.
void DigitRuns(const char* work, int n, Hidden& hide) {
    int pos[kPanMax];
    int value[kPanMax];
    int count = 0;  // digits of the current run
    int trackEnd = 0;  // track data is hidden up to here already
    for (int i = 0; i < n; ++i) {
        if (!IsDigit(work[i])) {
            const bool joins = (work[i] == ' ' || work[i] == '-') && count > 0 && i + 1 < n &&
                               IsDigit(work[i + 1]);
            if (!joins) count = 0;
            continue;
        }
        pos[count % kPanMax] = i;
        value[count % kPanMax] = work[i] - '0';
        ++count;
        // Luhn from the right: the last digit counts once, the one before it twice, ...
        int sum = 0;
        const bool runEnds = i + 1 >= n || !IsDigit(work[i + 1]);
        for (int k = 0; k < kPanMax && k < count; ++k) {
            int v = value[(count - 1 - k) % kPanMax];
            if (k % 2 == 1) v = v * 2 > 9 ? v * 2 - 9 : v * 2;
            sum += v;
            const int length = k + 1;
            if (length < kPanMin || sum % 10 != 0) continue;
            // The window's digits from the seventh to the fifth-last.
            for (int d = kPanTail; d < length - kPanHead; ++d) hide.Set(pos[(count - 1 - d) % kPanMax]);
            // A track separator right after the run's last digit.
            if (runEnds && i + 1 >= trackEnd && i + 1 < n && IsTrackSeparator(work[i + 1]))
                trackEnd = HideTrack(work, i + 1, n, hide);
        }
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

}  // namespace

void MaskCardData(char* work, int n) {
    if (!work || n <= 0) return;
    const int looked = n < kMaskMaxBytes ? n : kMaskMaxBytes;
    Hidden hide(looked);
    LegacyRule(work, looked, hide);
    DigitRuns(work, looked, hide);
    HexRecords(work, looked, hide);
    BinaryRecords(work, looked, hide);
    // NUL bytes stay: the logged text ends at the first one, and must keep its length.
    for (int i = 0; i < n; ++i)
        if (work[i] != '\0' && (i >= looked || hide.Test(i))) work[i] = '*';
}
