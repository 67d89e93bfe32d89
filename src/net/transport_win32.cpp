// TCP client transport over Windows Sockets 2: the connect is bounded by an event tied to the
// socket (FD_CONNECT) and a 6000 ms wait, woken early by CancelPendingConnects; the connected
// socket is non-blocking and every wait is a select that ShutdownServer can cancel.
#include "net/socket_ops.h"
#include "net/transport.h"

#include "diag/log.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

constexpr DWORD kConnectWaitMs = 6000;
constexpr DWORD kReceiveTimeoutMs = 17000;

// inet_addr answers INADDR_NONE both for bad text and for the broadcast address itself.
bool IsIpv4Text(const char* host, unsigned long address) {
    return address != INADDR_NONE || std::strcmp(host, "255.255.255.255") == 0;
}

// Windows (and Wine) does not wake a thread blocked in select when another thread shuts the
// socket down, and a select begun after the shutdown still waits its full time. So every wait
// is counted per handle; ShutdownServer marks the handle as shut and cancels the waits in
// flight, and a wait on a handle marked shut returns at once. Sends and receives never block
// (the socket stays in non-blocking mode), so the waits are all there is to wake.
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
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (Slot* slot = Find(s, false)) {
                if (slot->busy > 0) --slot->busy;
                if (slot->busy == 0 && !slot->shut) slot->used = false;
            }
        }
        m_left.notify_all();
    }
    bool IsShut(SOCKET s) {
        std::lock_guard<std::mutex> g(m_lock);
        const Slot* slot = Find(s, false);
        return slot && slot->shut;
    }
    // Holds the caller 100 ms at most in all, whatever the socket layer does.
    void Shut(SOCKET s) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kShutBoundMs);
        std::unique_lock<std::mutex> lock(m_lock);
        Slot* slot = Find(s, true);
        if (slot) slot->shut = true;
        lock.unlock();
        shutdown(s, SD_BOTH);
        lock.lock();
        // A waiter may be between Enter and the start of its select, where there is nothing
        // to cancel yet: cancel again each time the wait for it to leave runs a slice out.
        while (slot && slot->used && slot->s == s && slot->busy > 0 && Clock::now() < deadline) {
            lock.unlock();
            CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
            lock.lock();
            const auto next = std::min(deadline, Clock::now() + std::chrono::milliseconds(kCancelSliceMs));
            m_left.wait_until(lock, next, [&] { return !(slot->used && slot->s == s && slot->busy > 0); });
        }
    }
    void Forget(SOCKET s) {
        std::lock_guard<std::mutex> g(m_lock);
        if (Slot* slot = Find(s, false)) slot->used = false;
    }

private:
    static constexpr int kShutBoundMs = 100;
    static constexpr int kCancelSliceMs = 10;
    struct Slot {
        SOCKET s;
        int busy;
        bool shut;
        bool used;
    };
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
    std::condition_variable m_left;  // a waiter has left
    Slot m_slots[32] = {};
};

BlockingCalls g_blocking;

// The stop of the program: a manual-reset event that stays set, so that a connect waiting on it
// wakes and every later one fails at once.
std::atomic<bool> g_connectsCancelled{false};
std::once_flag g_cancelOnce;
HANDLE g_cancelEvent = nullptr;

HANDLE CancelEvent() {
    std::call_once(g_cancelOnce, [] { g_cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); });
    return g_cancelEvent;
}

}  // namespace

void CancelPendingConnects() {
    g_connectsCancelled.store(true);
    if (HANDLE event = CancelEvent()) SetEvent(event);
}

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
    // Also switches the socket to non-blocking mode, where it stays (see socket_ops below).
    if (WSAEventSelect(s, event, FD_CONNECT) == SOCKET_ERROR) {
        LogPrintf(bLog, "TEVN-> ERROR : Socket Open Error (ERRNO = %d)\n", WSAGetLastError());
        WSACloseEvent(event);
        closesocket(s);
        return -1;
    }

    bool connected = false;
    HANDLE cancel = CancelEvent();
    if (g_connectsCancelled.load()) {
        WSASetLastError(WSAECANCELLED);
    } else if (!host || !IsIpv4Text(host, addr.sin_addr.s_addr)) {
        WSASetLastError(WSAEINVAL);  // not an IPv4 text: never looked up as a name
    } else if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ||
               WSAGetLastError() == WSAEWOULDBLOCK) {
        const WSAEVENT events[2] = {event, cancel};
        const DWORD woke = WSAWaitForMultipleEvents(cancel ? 2 : 1, events, FALSE, kConnectWaitMs, FALSE);
        if (woke == WSA_WAIT_EVENT_0 && !g_connectsCancelled.load()) {
            WSANETWORKEVENTS happened;
            if (WSAEnumNetworkEvents(s, event, &happened) == 0 && (happened.lNetworkEvents & FD_CONNECT) &&
                happened.iErrorCode[FD_CONNECT_BIT] == 0)
                connected = true;
        } else if (woke == WSA_WAIT_EVENT_0 + 1 || g_connectsCancelled.load()) {
            WSASetLastError(WSAECANCELLED);
        }
    }
    WSAEventSelect(s, event, 0);
    WSACloseEvent(event);

    if (!connected) {
        LogPrintf(bLog, "TEVN-> ERROR : Connect Error (ERRNO = %d)\n", WSAGetLastError());
        closesocket(s);
        return -1;
    }

    // The socket stays non-blocking: a send must never hold the window thread, and every wait
    // is a select with its own bound that ShutdownServer can cancel. The receive time-out is
    // kept as the socket's own option all the same.
    const DWORD timeout = kReceiveTimeoutMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    return static_cast<int>(s);
}

namespace socket_ops {

int SendOnce(int handle, const char* bytes, int length) {
    const SOCKET s = static_cast<SOCKET>(handle);
    if (g_blocking.IsShut(s)) {
        WSASetLastError(WSAESHUTDOWN);
        return -1;
    }
    const int n = send(s, bytes, length, 0);
    return n < 0 ? -1 : n;
}

int RecvOnce(int handle, char* buffer, int length) {
    const SOCKET s = static_cast<SOCKET>(handle);
    if (g_blocking.IsShut(s)) {
        WSASetLastError(WSAESHUTDOWN);
        return -1;
    }
    const int n = recv(s, buffer, length, 0);
    return n < 0 ? -1 : n;
}

// One select on the one handle; a time-out below 0 waits without bound. A handle that has been
// shut down counts as ready, as on other systems: the next call reports the end.
int Wait(int handle, bool forWrite, int milliseconds) {
    const SOCKET s = static_cast<SOCKET>(handle);
    if (!g_blocking.Enter(s)) return 1;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
    // Windows ignores the first argument; handle + 1 keeps the classic form.
    const int n = select(handle + 1, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr,
                         milliseconds < 0 ? nullptr : &tv);
    const int error = WSAGetLastError();
    g_blocking.Leave(s);
    if (n < 0 && g_blocking.IsShut(s)) return 1;
    WSASetLastError(error);
    return n;
}

int LastError() { return WSAGetLastError(); }
bool WouldBlock(int error) { return error == WSAEWOULDBLOCK; }
int TimedOutError() { return WSAETIMEDOUT; }  // what SO_RCVTIMEO reports
int InvalidArgumentError() { return WSAEINVAL; }

}  // namespace socket_ops

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
