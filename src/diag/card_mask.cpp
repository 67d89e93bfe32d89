#include "diag/card_mask.h"

#include <cstring>

namespace {

// Position of the first ch in the NUL-terminated text, or -1.
int FindChar(const char* text, char ch) {
    for (int i = 0;; ++i) {
        if (text[i] == ch) return i;
        if (text[i] == '\0') return -1;
    }
}

void Stars(char* from, int count) {
    if (count > 0) std::memset(from, '*', static_cast<std::size_t>(count));
}

}  // namespace

void MaskCardData(char* work, int n) {
    const int i = FindChar(work, '=');
    if (!(10 < i && i < n - 3)) return;
    Stars(work + i - 4, 4);
    const int j = FindChar(work + i, kMaskFs);
    if (j > 0) Stars(work + i + 1, j - 1);

    const int e = FindChar(work + i + 1, '=');
    if (e <= 0) return;
    const int i2 = i + 1 + e;
    if (i2 >= n - 3) return;
    Stars(work + i2 - 4, 4);
    const int f = FindChar(work + i2, kMaskFs);
    if (f > 0) Stars(work + i2 + 1, f - 1);
}
