// Test helper: the server side of loopback TCP (127.0.0.1 only) with the same few calls on
// Windows Sockets and POSIX, handles carried as int like the transport's.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif
#include <cstring>

namespace loopback {

#if defined(_WIN32)
using Native = SOCKET;
using SockLen = int;
inline void CloseNative(Native s) { closesocket(s); }
// The test's own sockets need the library started beside the transport's starts and releases.
struct Library {
    Library() { WSADATA d; WSAStartup(MAKEWORD(2, 2), &d); }
    ~Library() { WSACleanup(); }
};
#else
using Native = int;
using SockLen = socklen_t;
inline void CloseNative(Native s) { close(s); }
struct Library {};
#endif

inline sockaddr_in Address(int port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(port));
    a.sin_addr.s_addr = htonl(0x7F000001);  // 127.0.0.1
    return a;
}

inline int PortOf(int s) {
    sockaddr_in a;
    SockLen len = sizeof a;
    getsockname(static_cast<Native>(s), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A socket bound to a free loopback port; listening with the backlog when backlog >= 0.
inline int Bound(int backlog, int* port) {
    const Native s = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Address(0);
    if (bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return -1;
    if (backlog >= 0 && listen(s, backlog) != 0) return -1;
    *port = PortOf(static_cast<int>(s));
    return static_cast<int>(s);
}

inline int Accept(int listener) { return static_cast<int>(accept(static_cast<Native>(listener), nullptr, nullptr)); }

// A plain blocking client (used to fill a listener's queue).
inline int Connect(int port) {
    const Native s = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Address(port);
    if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        CloseNative(s);
        return -1;
    }
    return static_cast<int>(s);
}

// Readability of one socket (for a listener: a connection waits in its queue).
inline bool Readable(int s, int milliseconds) {
#if defined(_WIN32)
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<Native>(s), &set);
    timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) == 1;
#else
    pollfd p{s, POLLIN, 0};
    return poll(&p, 1, milliseconds) == 1;
#endif
}

inline int Send(int s, const char* bytes, int n) { return send(static_cast<Native>(s), bytes, n, 0); }
inline int Recv(int s, char* buffer, int n) { return recv(static_cast<Native>(s), buffer, n, 0); }
inline void Close(int s) { CloseNative(static_cast<Native>(s)); }

// The receive time-out in force on a socket, in milliseconds.
inline long ReceiveTimeoutMs(int s) {
#if defined(_WIN32)
    DWORD ms = 0;
    int len = sizeof ms;
    if (getsockopt(static_cast<Native>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&ms), &len) != 0)
        return -1;
    return static_cast<long>(ms);
#else
    timeval tv{};
    socklen_t len = sizeof tv;
    if (getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) != 0) return -1;
    return static_cast<long>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
#endif
}

}  // namespace loopback
