// TCP client transport over Windows Sockets 2: the connect is bounded by an event tied to the
// socket (FD_CONNECT) and a 6000 ms wait; the connected socket is blocking with SO_RCVTIMEO.
#include "net/transport.h"

#include "diag/log.h"

#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <mutex>

namespace {

constexpr DWORD kConnectWaitMs = 6000;
constexpr DWORD kReceiveTimeoutMs = 17000;

// inet_addr answers INADDR_NONE both for bad text and for the broadcast address itself.
bool IsIpv4Text(const char* host, unsigned long address) {
    return address != INADDR_NONE || std::strcmp(host, "255.255.255.255") == 0;
}

// Windows (and Wine) does not wake a thread blocked in select or recv when another thread shuts
// the socket down, and a select begun after the shutdown still waits its full time. So every
// blocking call is counted per handle; ShutdownServer marks the handle as shut and cancels the
// calls in flight until they have left, and a call on a handle marked shut returns at once.
class BlockingCalls {
public:
    // False when the handle has been shut down: the call must not block.
    bool Enter(SOCKET s) {
        std::lock_guard<std::mutex> g(m_lock);
        Slot* slot = Find(s, true);
        if (!slot) return true;  // table full: untracked, shutdown then wakes only like select does
        if (slot->shut) return false;
        ++slot->busy;
        return true;
    }
    void Leave(SOCKET s) {
        std::lock_guard<std::mutex> g(m_lock);
        if (Slot* slot = Find(s, false)) {
            if (slot->busy > 0) --slot->busy;
            if (slot->busy == 0 && !slot->shut) slot->used = false;
        }
    }
    bool IsShut(SOCKET s) {
        std::lock_guard<std::mutex> g(m_lock);
        const Slot* slot = Find(s, false);
        return slot && slot->shut;
    }
    void Shut(SOCKET s) {
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (Slot* slot = Find(s, true)) slot->shut = true;
        }
        shutdown(s, SD_BOTH);
        // A caller may be between Enter and the start of its call, where there is nothing to
        // cancel yet: try again until it has left (a few milliseconds at most; bounded).
        for (int attempt = 0; attempt < 2000 && Busy(s); ++attempt) {
            CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
            Sleep(1);
        }
    }
    void Forget(SOCKET s) {
        std::lock_guard<std::mutex> g(m_lock);
        if (Slot* slot = Find(s, false)) slot->used = false;
    }

private:
    struct Slot {
        SOCKET s;
        int busy;
        bool shut;
        bool used;
    };
    bool Busy(SOCKET s) {
        std::lock_guard<std::mutex> g(m_lock);
        const Slot* slot = Find(s, false);
        return slot && slot->busy > 0;
    }
    Slot* Find(SOCKET s, bool add) {
        Slot* freeSlot = nullptr;
        for (Slot& slot : m_slots) {
            if (slot.used && slot.s == s) return &slot;
            if (!slot.used && !freeSlot) freeSlot = &slot;
        }
        if (!add || !freeSlot) return nullptr;
        *freeSlot = Slot{s, 0, false, true};
        return freeSlot;
    }

    std::mutex m_lock;
    Slot m_slots[32] = {};
};

BlockingCalls g_blocking;

}  // namespace

int ConnectServer(int bLog, const char* host, int port) {
    WSADATA wsaData;
    if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) return -1;

    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        LogPrintf(bLog, "TEVN-> ERROR : Socket Open Error (ERRNO = %d)\n", WSAGetLastError());
        return -1;
    }

    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));  // a port above 65535 wraps
    addr.sin_addr.s_addr = host ? inet_addr(host) : INADDR_NONE;

    WSAEVENT event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
        LogPrintf(bLog, "TEVN-> ERROR : Socket Open Error (WSA_INVALID_EVENT)\n");
        closesocket(s);
        return -1;
    }
    // Also switches the socket to non-blocking mode.
    if (WSAEventSelect(s, event, FD_CONNECT) == SOCKET_ERROR) {
        LogPrintf(bLog, "TEVN-> ERROR : Socket Open Error (ERRNO = %d)\n", WSAGetLastError());
        WSACloseEvent(event);
        closesocket(s);
        return -1;
    }

    bool connected = false;
    if (!host || !IsIpv4Text(host, addr.sin_addr.s_addr)) {
        WSASetLastError(WSAEINVAL);  // not an IPv4 text: never looked up as a name
    } else if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ||
               WSAGetLastError() == WSAEWOULDBLOCK) {
        if (WSAWaitForMultipleEvents(1, &event, FALSE, kConnectWaitMs, FALSE) == WSA_WAIT_EVENT_0) {
            WSANETWORKEVENTS events;
            if (WSAEnumNetworkEvents(s, event, &events) == 0 && (events.lNetworkEvents & FD_CONNECT) &&
                events.iErrorCode[FD_CONNECT_BIT] == 0)
                connected = true;
        }
    }
    WSAEventSelect(s, event, 0);
    WSACloseEvent(event);

    if (!connected) {
        LogPrintf(bLog, "TEVN-> ERROR : Connect Error (ERRNO = %d)\n", WSAGetLastError());
        closesocket(s);
        return -1;
    }

    u_long nonBlocking = 0;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    const DWORD timeout = kReceiveTimeoutMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    return static_cast<int>(s);
}

namespace {
// One select on the one handle; a null time-out waits without bound. A handle that has been
// shut down counts as readable, as on other systems: the next receive reports the end.
int SelectReadable(int handle, timeval* timeout) {
    const SOCKET s = static_cast<SOCKET>(handle);
    if (!g_blocking.Enter(s)) return 1;
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(s, &readSet);
    // Windows ignores the first argument; handle + 1 keeps the classic form.
    const int n = select(handle + 1, &readSet, nullptr, nullptr, timeout);
    g_blocking.Leave(s);
    return n < 0 && g_blocking.IsShut(s) ? 1 : n;
}

// One send or receive call that ShutdownServer can interrupt.
int SendOnce(SOCKET s, const char* bytes, int length) {
    if (!g_blocking.Enter(s)) {
        WSASetLastError(WSAESHUTDOWN);
        return SOCKET_ERROR;
    }
    const int n = send(s, bytes, length, 0);
    const int error = WSAGetLastError();
    g_blocking.Leave(s);
    WSASetLastError(error);
    return n;
}
int RecvOnce(SOCKET s, char* buffer, int length) {
    if (!g_blocking.Enter(s)) {
        WSASetLastError(WSAESHUTDOWN);
        return SOCKET_ERROR;
    }
    const int n = recv(s, buffer, length, 0);
    const int error = WSAGetLastError();
    g_blocking.Leave(s);
    WSASetLastError(error);
    return n;
}
}  // namespace

int WaitReadableMs(int handle, int milliseconds) {
    timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return SelectReadable(handle, milliseconds < 0 ? nullptr : &tv);
}

int WaitReadable(int handle, int seconds) {
    timeval tv{seconds, 0};
    return SelectReadable(handle, seconds < 0 ? nullptr : &tv);
}

int SendAll(int bLog, int handle, const char* bytes, int length) {
    if (length < 0) {
        LogPrintf(bLog, "TEVN-> ERROR : Write Error (ERRNO = %d)\n", WSAEINVAL);
        return -1;
    }
    int offset = 0, remaining = length;
    do {  // a length of 0 still makes one call
        const int sent = SendOnce(static_cast<SOCKET>(handle), bytes + offset, remaining);
        if (sent < 0) {
            LogPrintf(bLog, "TEVN-> ERROR : Write Error (ERRNO = %d)\n", WSAGetLastError());
            return -1;
        }
        offset += sent;
        remaining -= sent;
    } while (remaining > 0);
    return 1;
}

int RecvExact(int bLog, int handle, char* buffer, int length) {
    // Nothing asked for reads as end of stream. No zero-byte receive is made for it: on some
    // systems (Linux) that call waits for data or for the receive time-out.
    if (length <= 0) {
        LogPrintf(bLog, "TEVN-> ERROR : Read Error (EOF 수신)\n");
        return -1;
    }
    int offset = 0, remaining = length;
    do {
        const int got = RecvOnce(static_cast<SOCKET>(handle), buffer + offset, remaining);
        if (got < 0) {
            LogPrintf(bLog, "TEVN-> ERROR : Read Error (ERRNO = %d)\n", WSAGetLastError());
            return -1;
        }
        if (got == 0) {
            LogPrintf(bLog, "TEVN-> ERROR : Read Error (EOF 수신)\n");
            return -1;
        }
        offset += got;
        remaining -= got;
    } while (remaining > 0);
    return 1;
}

int RecvSome(int handle, char* buffer, int length) {
    const int got = RecvOnce(static_cast<SOCKET>(handle), buffer, length < 0 ? 0 : length);
    return got < 0 ? -1 : got;
}

void ShutdownServer(int handle) {
    if (handle > 0) g_blocking.Shut(static_cast<SOCKET>(handle));
}

void CloseServer(int handle) {
    if (handle <= 0) return;
    g_blocking.Forget(static_cast<SOCKET>(handle));  // the handle's number may come back
    closesocket(static_cast<SOCKET>(handle));
    WSACleanup();  // the one release for the WSAStartup of the ConnectServer that opened it
}

void ReleaseSocketLibrary() { WSACleanup(); }

int LastSocketError() { return WSAGetLastError(); }
