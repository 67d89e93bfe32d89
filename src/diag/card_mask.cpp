#include "diag/card_mask.h"

namespace {

// A card number is 13 to 19 digits; the first six (the issuer) and the last four may show.
constexpr int kPanMin = 13;
constexpr int kPanMax = 19;
constexpr int kPanHead = 6;
constexpr int kPanTail = 4;

struct Span {
    int from = 0;
    int count = 0;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Position of the first ch at or after from, or -1 when a NUL or the end of the n bytes comes
// first.
int Find(const char* work, int from, int n, char ch) {
    for (int i = from; i < n && work[i] != '\0'; ++i)
        if (work[i] == ch) return i;
    return -1;
}

// NUL bytes stay: the logged text ends at the first one, and must keep its length.
void Stars(char* work, int from, int count) {
    for (int i = from; i < from + count; ++i)
        if (work[i] != '\0') work[i] = '*';
}

bool LuhnValid(const char* digits, int n) {
    int sum = 0;
    for (int k = 0; k < n; ++k) {
        int v = digits[n - 1 - k] - '0';
        if (k % 2 == 1) v = v * 2 > 9 ? v * 2 - 9 : v * 2;
        sum += v;
    }
    return sum % 10 == 0;
}

// The request log's long-standing rule: the four bytes before the first '=' (when it lies after
// position 10 and before n - 3) and the bytes from it to the next FS, then the same for the next
// '=' after that field. Worked out on the bytes as they came, before anything is starred.
int LegacySpans(const char* work, int n, Span spans[4]) {
    int k = 0;
    const int i = Find(work, 0, n, '=');
    if (!(10 < i && i < n - 3)) return 0;
    spans[k++] = {i - 4, 4};
    const int fs = Find(work, i, n, kMaskFs);
    if (fs > i) spans[k++] = {i + 1, fs - i - 1};
    // The second '=' is looked for behind the starred field; an '=' right after the first one
    // (with no FS to end its field) ends the rule.
    const int i2 = Find(work, fs > i ? fs : i + 1, n, '=');
    if (i2 <= i + 1 || i2 >= n - 3) return k;
    spans[k++] = {i2 - 4, 4};
    const int fs2 = Find(work, i2, n, kMaskFs);
    if (fs2 > i2) spans[k++] = {i2 + 1, fs2 - i2 - 1};
    return k;
}

// Card numbers wherever they stand, and the track data after them.
void MaskCardNumbers(char* work, int n) {
    int p = 0;
    while (p < n) {
        if (!IsDigit(work[p])) {
            ++p;
            continue;
        }
        int end = p;
        while (end < n && IsDigit(work[end])) ++end;
        const int len = end - p;
        if (len >= kPanMin && len <= kPanMax && LuhnValid(work + p, len)) {
            Stars(work, p + kPanHead, len - kPanHead - kPanTail);
            if (end < n && (work[end] == '=' || work[end] == 'D' || work[end] == '^')) {
                int stop = end;
                while (stop < n && work[stop] != kMaskFs && work[stop] != kMaskEtx) ++stop;
                Stars(work, end, stop - end);
                end = stop;
            }
        }
        p = end;
    }
}

}  // namespace

void MaskCardData(char* work, int n) {
    if (!work || n <= 0) return;
    Span legacy[4];
    const int spans = LegacySpans(work, n, legacy);
    MaskCardNumbers(work, n);
    for (int s = 0; s < spans; ++s) Stars(work, legacy[s].from, legacy[s].count);
}
