// TCP client transport over Windows Sockets 2. Each link has an event tied to its socket
// (WSAEventSelect: connect, then read, write and close) and an event of its own that Wake and
// Cancel set; every wait is one WSAWaitForMultipleEvents on the two, so a cancel wakes it at once.
// The socket stays non-blocking; a call is always tried before its wait, so the socket event's
// one-shot notices (FD_WRITE after a refused send, FD_READ after a receive) are never missed.
#include "net/socket_ops.h"
#include "net/transport.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>

struct ServerLink::Platform {
    WSAEVENT net = WSA_INVALID_EVENT;  // the socket's network events
    HANDLE wake = nullptr;             // auto-reset: Wake and Cancel
    bool started = false;              // WSAStartup made for this link
};

namespace {

constexpr DWORD kConnectWaitMs = 6000;
constexpr DWORD kReceiveTimeoutMs = 17000;

// inet_addr answers INADDR_NONE both for bad text and for the broadcast address itself.
bool IsIpv4Text(const char* host, unsigned long address) {
    return address != INADDR_NONE || std::strcmp(host, "255.255.255.255") == 0;
}

// The stop of the program: a manual-reset event that stays set, so that a connect waiting on it
// wakes and every later one fails at once.
std::atomic<bool> g_connectsCancelled{false};
std::once_flag g_cancelOnce;
HANDLE g_cancelEvent = nullptr;

HANDLE CancelEvent() {
    std::call_once(g_cancelOnce, [] { g_cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); });
    return g_cancelEvent;
}

// Connects s (non-blocking, tied to net) within the bound, woken by the program's stop and by
// the link's own cancel; 0 or the error number.
int ConnectWithin(SOCKET s, WSAEVENT net, HANDLE linkWake, const std::atomic<bool>& linkCancelled,
                  const sockaddr_in& addr) {
    if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK)
        return WSAGetLastError();
    HANDLE cancel = CancelEvent();
    const WSAEVENT events[3] = {net, linkWake, cancel};
    const ULONGLONG deadline = GetTickCount64() + kConnectWaitMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        const DWORD woke = WSAWaitForMultipleEvents(cancel ? 3 : 2, events, FALSE, left, FALSE);
        if (g_connectsCancelled.load() || linkCancelled.load()) return WSAECANCELLED;
        if (woke == WSA_WAIT_TIMEOUT) return WSAETIMEDOUT;
        if (woke == WSA_WAIT_EVENT_0 + 1) continue;  // a Wake before the connect was done
        if (woke != WSA_WAIT_EVENT_0) return static_cast<int>(GetLastError());
        WSANETWORKEVENTS happened;
        if (WSAEnumNetworkEvents(s, net, &happened) != 0) return WSAGetLastError();
        if (happened.lNetworkEvents & FD_CONNECT) return happened.iErrorCode[FD_CONNECT_BIT];
    }
}

}  // namespace

void CancelPendingConnects() {
    g_connectsCancelled.store(true);
    if (HANDLE event = CancelEvent()) SetEvent(event);
}

ServerLink::ServerLink() : m_platform(new Platform) {}

ServerLink::~ServerLink() { Close(); }

// The link's wake-up event and its start of the socket library, made before its first wait
// (a connect's included).
bool ServerLink::MakeWake() {
    std::lock_guard<std::mutex> g(m_lock);
    Platform& p = *m_platform;
    if (p.wake) return true;
    WSADATA wsaData;
    if (!p.started) {
        if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) return false;
        p.started = true;
    }
    p.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return p.wake != nullptr;
}

// Ties the connected socket to the link's socket event; the socket stays non-blocking.
bool ServerLink::Adopt(std::intptr_t handle) {
    if (IsOpen() || !MakeWake()) return false;
    Platform& p = *m_platform;
    const SOCKET s = static_cast<SOCKET>(handle);
    WSAEVENT net = WSACreateEvent();
    if (net == WSA_INVALID_EVENT) return false;
    if (WSAEventSelect(s, net, FD_READ | FD_WRITE | FD_CLOSE) == SOCKET_ERROR) {
        WSACloseEvent(net);
        return false;
    }
    std::lock_guard<std::mutex> g(m_lock);
    p.net = net;
    m_handle = handle;
    // A cancel that came while the connect was finishing: the server sees the end at once.
    if (m_cancelled.load()) shutdown(s, SD_BOTH);
    return true;
}

NetResult ServerLink::Connect(const char* host, int port) {
    if (IsOpen()) return NetResult{NetStatus::kFailed, WSAEISCONN, 0};
    if (!MakeWake()) return NetResult{NetStatus::kNoSocket, WSASYSNOTREADY, 0};
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    WSAEVENT net = s == INVALID_SOCKET ? WSA_INVALID_EVENT : WSACreateEvent();
    if (net == WSA_INVALID_EVENT || WSAEventSelect(s, net, FD_CONNECT) == SOCKET_ERROR) {
        const int e = WSAGetLastError();
        if (net != WSA_INVALID_EVENT) WSACloseEvent(net);
        if (s != INVALID_SOCKET) closesocket(s);
        return NetResult{NetStatus::kNoSocket, e, 0};
    }

    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));  // a port above 65535 wraps
    addr.sin_addr.s_addr = host ? inet_addr(host) : INADDR_NONE;
    int error = 0;
    NetStatus status = NetStatus::kDone;
    if (g_connectsCancelled.load() || m_cancelled.load()) {
        error = WSAECANCELLED;
    } else if (!host || !IsIpv4Text(host, addr.sin_addr.s_addr)) {
        error = WSAEINVAL;  // not an IPv4 text: never looked up as a name
        status = NetStatus::kRefused;
    } else {
        error = ConnectWithin(s, net, m_platform->wake, m_cancelled, addr);
    }
    WSAEventSelect(s, net, 0);
    WSACloseEvent(net);
    if (error != 0) {
        closesocket(s);
        return NetResult{status == NetStatus::kDone ? socket_ops::StatusOf(error) : status, error, 0};
    }
    // The receive time-out is kept as the socket's own option, though every wait has its bound.
    const DWORD timeout = kReceiveTimeoutMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    if (!Adopt(static_cast<std::intptr_t>(s))) {
        const int e = WSAGetLastError();
        closesocket(s);
        return NetResult{NetStatus::kNoSocket, e, 0};
    }
    return NetResult{};
}

NetResult ServerLink::Wait(bool forWrite, int milliseconds, unsigned* ready) {
    *ready = 0;
    if (m_cancelled.load()) return NetResult{NetStatus::kCancelled, 0, 0};
    if (!IsOpen()) return NetResult{NetStatus::kFailed, WSAENOTSOCK, 0};
    Platform& p = *m_platform;
    const WSAEVENT events[2] = {p.net, p.wake};
    const ULONGLONG deadline = GetTickCount64() + (milliseconds < 0 ? 0 : static_cast<ULONGLONG>(milliseconds));
    for (;;) {
        DWORD wait = WSA_INFINITE;
        if (milliseconds >= 0) {
            const ULONGLONG now = GetTickCount64();
            wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        const DWORD woke = WSAWaitForMultipleEvents(2, events, FALSE, wait, FALSE);
        if (m_cancelled.load()) return NetResult{NetStatus::kCancelled, 0, 0};
        if (woke == WSA_WAIT_TIMEOUT) return NetResult{NetStatus::kTimedOut, 0, 0};
        if (woke == WSA_WAIT_EVENT_0 + 1) {
            *ready |= kWoken;
            return NetResult{};
        }
        if (woke != WSA_WAIT_EVENT_0) return NetResult{NetStatus::kFailed, static_cast<int>(GetLastError()), 0};
        WSANETWORKEVENTS happened;
        if (WSAEnumNetworkEvents(static_cast<SOCKET>(m_handle), p.net, &happened) != 0)
            return NetResult{NetStatus::kFailed, WSAGetLastError(), 0};
        // The socket event reports every kind: a notice of room while only data is awaited is
        // dropped (the next send that finds no room asks for a new one).
        if (happened.lNetworkEvents & (FD_READ | FD_CLOSE)) *ready |= kReadable;
        if (forWrite && (happened.lNetworkEvents & (FD_WRITE | FD_CLOSE))) *ready |= kWritable;
        if (*ready) return NetResult{};
    }
}

void ServerLink::Wake() {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_platform->wake) SetEvent(m_platform->wake);
}

void ServerLink::Cancel() {
    std::lock_guard<std::mutex> g(m_lock);
    m_cancelled.store(true);
    if (m_handle != kNoHandle) shutdown(static_cast<SOCKET>(m_handle), SD_BOTH);
    if (m_platform->wake) SetEvent(m_platform->wake);
}

void ServerLink::Close() {
    std::lock_guard<std::mutex> g(m_lock);
    Platform& p = *m_platform;
    if (m_handle != kNoHandle) closesocket(static_cast<SOCKET>(m_handle));
    if (p.net != WSA_INVALID_EVENT) WSACloseEvent(p.net);
    if (p.wake) CloseHandle(p.wake);
    if (p.started) WSACleanup();
    m_handle = kNoHandle;
    p = Platform{};
}

namespace socket_ops {

int SendOnce(std::intptr_t handle, const char* bytes, int length) {
    const int n = send(static_cast<SOCKET>(handle), bytes, length, 0);
    return n < 0 ? -1 : n;
}

int RecvOnce(std::intptr_t handle, char* buffer, int length) {
    const int n = recv(static_cast<SOCKET>(handle), buffer, length, 0);
    return n < 0 ? -1 : n;
}

int LastError() { return WSAGetLastError(); }
bool WouldBlock(int error) { return error == WSAEWOULDBLOCK; }
int TimedOutError() { return WSAETIMEDOUT; }  // what SO_RCVTIMEO reports
int InvalidArgumentError() { return WSAEINVAL; }

NetStatus StatusOf(int error) {
    switch (error) {
    case WSAECONNREFUSED: return NetStatus::kRefused;
    case WSAETIMEDOUT: return NetStatus::kTimedOut;
    case WSAECANCELLED: return NetStatus::kCancelled;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN: return NetStatus::kReset;
    default: return NetStatus::kFailed;
    }
}

}  // namespace socket_ops
