#include "relay/frame_text.h"

#include <cstring>

int FindNthChar(const char* text, char ch, int count) {
    int seen = 0;
    for (int i = 0;; ++i) {
        if (text[i] == ch && ++seen == count) return i;
        if (text[i] == '\0') return -1;
    }
}

bool IsConnectFrame(const char* frame, int n) {
    if (n <= 0) return false;
    const char b0 = frame[0], bL = frame[n - 1];
    return (b0 == 'S' && bL == 'E') || (b0 == 'T' && bL == 'T') || (b0 == 'P' && bL == 'E');
}

int ParseConnectFrame(const char* frame, int n, char* host, char* portText, int* partLength) {
    const int k = FindNthChar(frame, ':', 1);
    // The colon can be neither the start marker nor the end marker, so 1 <= k <= n - 2.
    if (k < 1 || k > n - 2) {
        *partLength = 0;
        return CONNECT_FRAME_NO_COLON;
    }
    const int hostLength = k - 1;  // bytes 1 .. k-1 hold no NUL: the search stopped at none
    if (hostLength > kHostSize - 1) {
        *partLength = hostLength;
        return CONNECT_FRAME_HOST_TOO_LONG;
    }
    const int portLength = n - hostLength - 3;  // positions k+1 .. n-2
    if (portLength > kPortTextSize - 1) {
        *partLength = portLength;
        return CONNECT_FRAME_PORT_TOO_LONG;
    }
    std::memset(host, 0, kHostSize);
    std::memset(portText, 0, kPortTextSize);
    std::memcpy(host, frame + 1, static_cast<std::size_t>(hostLength));
    std::memcpy(portText, frame + k + 1, static_cast<std::size_t>(portLength));
    *partLength = 0;
    return CONNECT_FRAME_OK;
}

namespace {

void Stars(char* from, int count) {
    if (count > 0) std::memset(from, '*', static_cast<std::size_t>(count));
}

}  // namespace

void MaskCardData(char* work, int n) {
    const int i = FindNthChar(work, '=', 1);
    if (!(10 < i && i < n - 3)) return;
    Stars(work + i - 4, 4);
    const int j = FindNthChar(work + i, kFs, 1);
    if (j > 0) Stars(work + i + 1, j - 1);

    const int e = FindNthChar(work + i + 1, '=', 1);
    if (e <= 0) return;
    const int i2 = i + 1 + e;
    if (i2 >= n - 3) return;
    Stars(work + i2 - 4, 4);
    const int f = FindNthChar(work + i2, kFs, 1);
    if (f > 0) Stars(work + i2 + 1, f - 1);
}
