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
bool StartsWithThree(const char* frame, int n, char c) {
    return n >= 3 && frame[0] == c && frame[1] == c && frame[2] == c;
}
}  // namespace

FrameKind ClassifyFrame(const char* frame, int n) {
    if (n <= 0) return FRAME_OTHER;
    const char b0 = frame[0], bL = frame[n - 1];
    if (b0 == 'S' && bL == 'E') return FRAME_CONNECT_SE;
    if (b0 == 'T' && bL == 'T') return FRAME_CONNECT_TT;
    if (b0 == 'P' && bL == 'E') return FRAME_CONNECT_PE;
    if (StartsWithThree(frame, n, 'V')) return FRAME_VERSION;
    if (StartsWithThree(frame, n, kDle)) return FRAME_END;
    if (n >= 3 && b0 == kStx && frame[n - 3] == kEtx) return FRAME_REQUEST;
    if (StartsWithThree(frame, n, kAck) || StartsWithThree(frame, n, kNak)) return FRAME_ACK_NAK;
    return FRAME_OTHER;
}

int ServerPortNumber(const char* portText) {
    return ServerPortNumber(portText, static_cast<int>(std::strlen(portText)));
}

int ServerPortNumber(const char* portPart, int n) {
    long value = 0;
    if (n <= 0) return 0;
    for (int i = 0; i < n; ++i) {
        const char c = portPart[i];
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
        if (value > 65535) return 0;
    }
    return static_cast<int>(value);
}

const char* ConnectFramePortPart(const char* frame, int n, int* length) {
    const int k = FindNthChar(frame, ':', 1);
    *length = k >= 1 && k <= n - 2 ? n - k - 2 : 0;
    return frame + (k >= 0 ? k + 1 : 0);
}
