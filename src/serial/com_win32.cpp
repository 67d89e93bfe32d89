// CCom over the Windows communications API: overlapped reads and writes, a watcher blocked in
// WaitCommEvent, bursts ended by the driver's 100 ms read interval time-out.
#include "serial/com.h"

#include "core/window_thread.h"

#include <atomic>
#include <cstdio>

#include <windows.h>

struct CCom::Platform {
    HANDLE hComm = INVALID_HANDLE_VALUE;  // closed under m_writeLock
    OVERLAPPED osWrite{};
    OVERLAPPED osRead{};
    HANDLE hStop = nullptr;  // set by Close beside the cleared event mask
    DWORD lostError = 0;     // why the device stopped answering
    const char* lostCall = "";
};

namespace {

const char kCaption[] = "Brisca";

std::atomic<unsigned> g_silenceMs{100};  // the read interval time-out that ends a burst

// Every port in the device form, so that COM10 and above open as well as COM1.
bool DevicePath(const std::string& name, char* out, size_t cap) {
    if (name.empty()) return false;
    const bool devicePath = name.rfind("\\\\.\\", 0) == 0;
    const int len = std::snprintf(out, cap, devicePath ? "%s" : "\\\\.\\%s", name.c_str());
    return len > 0 && static_cast<size_t>(len) < cap;
}

// Waits for an overlapped transfer on the port, or for Close. 1: done, *n transferred;
// 0: Close came first (the transfer has been cancelled and is over); -1: failed (GetLastError).
int AwaitIo(HANDLE port, OVERLAPPED* ov, HANDLE stop, DWORD* n) {
    HANDLE both[2] = {ov->hEvent, stop};
    if (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(port, ov);
        GetOverlappedResult(port, ov, n, TRUE);  // the record must outlive the transfer
        return 0;
    }
    return GetOverlappedResult(port, ov, n, FALSE) ? 1 : -1;
}

void CloseIf(HANDLE& h) {
    if (h) CloseHandle(h);
    h = nullptr;
}

}  // namespace

CCom::CCom() : m_platform(new Platform) {}

CCom::~CCom() { Close(); }

void CCom::SetSilenceMs(unsigned ms) { g_silenceMs.store(ms == 0 ? 1 : ms); }

int CCom::Open() {
    Close();  // a watcher that ended on its own (device lost) is joined here
    if (!m_window || !m_sink) return 0;
    Platform& p = *m_platform;
    char path[MAX_PATH];
    if (!DevicePath(m_strPortName, path, sizeof path)) return 0;

    p.osWrite = OVERLAPPED{};
    p.osRead = OVERLAPPED{};
    p.osRead.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!p.osRead.hEvent) return 0;
    p.osWrite.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    p.hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto releaseEvents = [&p] {
        CloseIf(p.osRead.hEvent);
        CloseIf(p.osWrite.hEvent);
        CloseIf(p.hStop);
    };
    if (!p.osWrite.hEvent || !p.hStop) {
        releaseEvents();
        return 0;
    }

    const HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        m_bConnected.store(0);
        releaseEvents();
        return 0;
    }
    SetupComm(h, 4096, 4096);
    SetCommMask(h, EV_RXCHAR);
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = g_silenceMs.load();
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 1;
    timeouts.WriteTotalTimeoutMultiplier = 5;
    timeouts.WriteTotalTimeoutConstant = 5;
    SetCommTimeouts(h, &timeouts);

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    bool accepted = GetCommState(h, &dcb) != 0;
    if (accepted) {
        dcb.BaudRate = m_baudRate;
        dcb.ByteSize = m_byteSize;
        dcb.Parity = m_parity;
        dcb.StopBits = m_stopBits;
        accepted = SetCommState(h, &dcb) != 0;
    }
    if (!accepted) {
        MessageBoxA(nullptr, "Connect Failed. DCB Setting Error", kCaption, MB_OK);
        m_bConnected.store(0);
        CloseHandle(h);
        releaseEvents();
        return 0;
    }

    {
        std::lock_guard<std::mutex> g(m_writeLock);
        p.hComm = h;
    }
    p.lostError = 0;
    if (!StartWatcher()) {
        MessageBoxA(nullptr, "Thread Run Fail", kCaption, MB_OK);
        Close();
        return 0;
    }
    return 1;
}

void CCom::Close() {
    Platform& p = *m_platform;
    m_closing.store(true);
    m_bConnected.store(0);
    if (p.hComm != INVALID_HANDLE_VALUE) {
        SetCommMask(p.hComm, 0);          // releases the watcher's WaitCommEvent
        PurgeComm(p.hComm, PURGE_RXABORT);  // and a read that is gathering a burst
    }
    if (p.hStop) SetEvent(p.hStop);
    StopWatcher();
    {
        std::lock_guard<std::mutex> g(m_writeLock);
        if (p.hComm != INVALID_HANDLE_VALUE) {
            EscapeCommFunction(p.hComm, CLRDTR);
            PurgeComm(p.hComm, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
            CloseHandle(p.hComm);
            p.hComm = INVALID_HANDLE_VALUE;
        }
        CloseIf(p.osRead.hEvent);
        CloseIf(p.osWrite.hEvent);
        CloseIf(p.hStop);
    }
    m_closing.store(false);
}

uint32_t CCom::Read() {
    Platform& p = *m_platform;
    COMSTAT stat{};
    DWORD errors = 0;
    if (!ClearCommError(p.hComm, &errors, &stat)) {
        p.lostError = GetLastError();
        p.lostCall = "ClearCommError";
        return 0;
    }
    const DWORD space = kComBufferSize - m_readCount;
    if (stat.cbInQue == 0 || space == 0) return 0;
    DWORD got = 0;
    if (ReadFile(p.hComm, m_readBuffer + m_readCount, space, &got, &p.osRead)) return got;
    if (GetLastError() != ERROR_IO_PENDING) {
        ClearCommError(p.hComm, &errors, &stat);
        return 0;
    }
    while (!GetOverlappedResult(p.hComm, &p.osRead, &got, TRUE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE) continue;
        ClearCommError(p.hComm, &errors, &stat);
        break;
    }
    return got;
}

void CCom::CommWatchProc() {
    Platform& p = *m_platform;
    // The thread's own event completes its overlapped WaitCommEvent.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        MessageBoxA(nullptr, "Failed to create event for thread!", "com Error!", MB_OK | MB_ICONWARNING);
        WatcherDone();
        return;
    }
    if (!SetCommMask(p.hComm, EV_RXCHAR)) {
        MessageBoxA(nullptr, "CommWatchProc Exit 3nd if", kCaption, MB_OK);
        CloseHandle(event);
        WatcherDone();
        return;
    }
    OVERLAPPED ov{};
    ov.hEvent = event;
    // Every failure but a cancel means that the port has gone: a driver whose device was pulled
    // says ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND or ERROR_DEVICE_REMOVED; once the far side of
    // its pty has gone, Wine fails a read with ERROR_BROKEN_PIPE and ClearCommError (and a
    // write) with ERROR_NOT_READY, while its waits go on being cancelled. The owner hears of it
    // once (ReportLost) and opens the port again when it is back.
    auto fail = [&p](const char* call, DWORD error) {
        p.lostCall = call;
        p.lostError = error;
    };
    bool eventWaits = true;
    while (m_bConnected.load()) {
        m_readCount = 0;
        if (eventWaits) {
            DWORD mask = 0;
            DWORD unused = 0;
            if (!WaitCommEvent(p.hComm, &mask, &ov)) {
                if (GetLastError() != ERROR_IO_PENDING) {
                    fail("WaitCommEvent", GetLastError());
                    break;
                }
                const int r = AwaitIo(p.hComm, &ov, p.hStop, &unused);
                if (r == 0) break;
                if (r < 0) {
                    const DWORD error = GetLastError();
                    if (!m_bConnected.load()) break;
                    if (error != ERROR_OPERATION_ABORTED) {
                        fail("the wait for a port event", error);
                        break;
                    }
                    // Cancelled though nobody cleared the mask. Wine does this on a pty within
                    // a millisecond of every wait (it watches modem lines that a pty lacks), and
                    // a driver may do it as its device goes. From here on the first read of a
                    // burst is the wait: it blocks until a byte comes, then runs to 100 ms of
                    // quiet as before; a port that is gone fails that read.
                    eventWaits = false;
                    COMMTIMEOUTS untilFirstByte{};
                    untilFirstByte.ReadIntervalTimeout = g_silenceMs.load();
                    untilFirstByte.WriteTotalTimeoutMultiplier = 5;
                    untilFirstByte.WriteTotalTimeoutConstant = 5;
                    SetCommTimeouts(p.hComm, &untilFirstByte);
                    continue;
                }
            }
            if (!(mask & EV_RXCHAR)) continue;  // the mask was cleared: Close
        } else {
            DWORD got = 0;
            if (!ReadFile(p.hComm, m_readBuffer, kComBufferSize, &got, &p.osRead)) {
                if (GetLastError() != ERROR_IO_PENDING) {
                    fail("ReadFile", GetLastError());
                    break;
                }
                const int r = AwaitIo(p.hComm, &p.osRead, p.hStop, &got);
                if (r == 0) break;
                if (r < 0) {
                    if (m_bConnected.load()) fail("ReadFile", GetLastError());
                    break;
                }
            }
            if (got == 0) {  // only a hung-up line ends such a read empty
                if (m_bConnected.load()) fail("ReadFile (end of file)", ERROR_HANDLE_EOF);
                break;
            }
            m_readCount = got;
        }
        while (const uint32_t n = Read()) m_readCount += n;
        if (!m_bConnected.load()) break;
        if (m_readCount > 0 && !HandOver(m_readCount)) {
            CloseHandle(event);
            return;
        }
        if (p.lostError) break;
    }
    CloseHandle(event);
    if (p.lostError && m_bConnected.load()) {
        {
            std::lock_guard<std::mutex> g(m_writeLock);
            CloseHandle(p.hComm);
            p.hComm = INVALID_HANDLE_VALUE;
        }
        char why[96];
        std::snprintf(why, sizeof why, "%s failed, error %lu", p.lostCall,
                      static_cast<unsigned long>(p.lostError));
        if (!ReportLost(why)) return;
    }
    WatcherDone();
}

uint32_t CCom::Write(const void* bytes, uint32_t n) {
    std::lock_guard<std::mutex> g(m_writeLock);
    Platform& p = *m_platform;
    if (p.hComm == INVALID_HANDLE_VALUE || n == 0) return 0;
    DWORD written = 0;
    DWORD errors = 0;
    if (WriteFile(p.hComm, bytes, n, &written, &p.osWrite)) return written;
    if (GetLastError() != ERROR_IO_PENDING) {
        ClearCommError(p.hComm, &errors, nullptr);
        return 0;
    }
    while (!GetOverlappedResult(p.hComm, &p.osWrite, &written, TRUE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE) continue;
        ClearCommError(p.hComm, &errors, nullptr);
        break;
    }
    return written;
}
