// Byte-level helpers for terminal frames: the NUL-bounded character search and the connect-frame
// parser shared by the intake and both routes.
#pragma once

constexpr char kStx = 0x02, kEtx = 0x03, kAck = 0x06, kDle = 0x10, kNak = 0x15, kFs = 0x1C;

// Position of the count-th ch in the NUL-terminated text (positions 0 .. strlen), or -1.
int FindNthChar(const char* text, char ch, int count);

// First and last byte form one of the connect-frame pairs 'S'..'E', 'T'..'T', 'P'..'E'.
bool IsConnectFrame(const char* frame, int n);

// What a burst is, decided once at intake and used by the intake and both routes.
enum FrameKind {
    FRAME_CONNECT_SE,  // 'S' .. 'E': either route
    FRAME_CONNECT_TT,  // 'T' .. 'T': the secure route's own
    FRAME_CONNECT_PE,  // 'P' .. 'E': the plain route's own
    FRAME_VERSION,     // "VVV": answered by the gateway itself
    FRAME_END,         // DLE DLE DLE: the terminal ends the connection
    FRAME_REQUEST,     // STX first and ETX at n - 3 (two bytes follow it): enveloped on the secure route
    FRAME_ACK_NAK,     // ACK ACK ACK or NAK NAK NAK
    FRAME_OTHER,
};
FrameKind ClassifyFrame(const char* frame, int n);
inline bool IsConnectKind(FrameKind k) {
    return k == FRAME_CONNECT_SE || k == FRAME_CONNECT_TT || k == FRAME_CONNECT_PE;
}

enum ConnectFrameFault {
    CONNECT_FRAME_OK = 0,
    CONNECT_FRAME_NO_COLON,       // no ':' before the first NUL byte
    CONNECT_FRAME_HOST_TOO_LONG,  // more than 20 bytes before the colon
    CONNECT_FRAME_PORT_TOO_LONG,  // more than 9 bytes between the colon and the end marker
};
constexpr int kHostSize = 21;      // 20 characters and the terminator
constexpr int kPortTextSize = 10;  // 9 digits and the terminator

// The server port of a connect frame's port text: 1 to 65535 written in decimal digits only;
// 0 for anything else (empty, a sign, a blank, a number beyond 65535).
int ServerPortNumber(const char* portText);
// The same for the n bytes of a port part that may hold a NUL byte (which is no digit either).
int ServerPortNumber(const char* portPart, int n);
// The port part of a connect frame that ParseConnectFrame accepted: the bytes between the first
// ':' and the end marker (NUL bytes included); *length gets their count.
const char* ConnectFramePortPart(const char* frame, int n, int* length);

// Splits a connect frame (a NUL-terminated copy of n bytes) into host and port text. On a fault
// nothing is written and *partLength tells the offending length (host or port part).
int ParseConnectFrame(const char* frame, int n, char* host, char* portText, int* partLength);
