// CCom over termios: an exclusive raw tty, a watcher that blocks in poll on the device and a
// wake-up eventfd, bursts ended by 100 ms of line silence (a timerfd restarted by every read).
#include "serial/com.h"

#include "core/window_thread.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

struct CCom::Platform {
    int fd = -1;    // the device; closed under m_writeLock
    int wake = -1;  // eventfd in the watcher's poll set (and a write's): Close writes to it
    int silence = -1;  // timerfd that runs out when the line has been quiet long enough
    int lostErr = 0;  // why the device went away: an errno, or -1 for end of file
};

namespace {

std::atomic<unsigned> g_silenceMs{100};

// The line's silence starts again now (an expiry not yet read is forgotten). Between bursts the
// timer is not watched: whether it still runs or has run out then does not matter.
void ArmSilence(int timer, unsigned ms) {
    itimerspec t{};
    t.it_value.tv_sec = ms / 1000;
    t.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
    timerfd_settime(timer, 0, &t, nullptr);
}

// "COMn" is the n-th serial port, /dev/ttyS(n-1); a name with a '/' in it is a path as given
// (relative ones from the working folder, "./ttyCAT"); any other name is a device under /dev.
bool DevicePath(const std::string& name, char* out, size_t cap) {
    const char* s = name.c_str();
    if ((s[0] | 0x20) == 'c' && (s[1] | 0x20) == 'o' && (s[2] | 0x20) == 'm' && s[3] >= '0' &&
        s[3] <= '9') {
        unsigned long n = 0;
        const char* d = s + 3;
        for (; *d >= '0' && *d <= '9' && n < 100000; ++d) n = n * 10 + static_cast<unsigned>(*d - '0');
        if (*d || n == 0) return false;
        return std::snprintf(out, cap, "/dev/ttyS%lu", n - 1) < static_cast<int>(cap);
    }
    if (!*s) return false;
    const int len = std::strchr(s, '/') ? std::snprintf(out, cap, "%s", s) : std::snprintf(out, cap, "/dev/%s", s);
    return len > 0 && len < static_cast<int>(cap);
}

// termios knows only a fixed list of speeds; 0 would mean "hang up".
bool SpeedConstant(uint32_t baud, speed_t* out) {
    switch (baud) {
        case 50: *out = B50; return true;
        case 75: *out = B75; return true;
        case 110: *out = B110; return true;
        case 134: *out = B134; return true;
        case 150: *out = B150; return true;
        case 200: *out = B200; return true;
        case 300: *out = B300; return true;
        case 600: *out = B600; return true;
        case 1200: *out = B1200; return true;
        case 1800: *out = B1800; return true;
        case 2400: *out = B2400; return true;
        case 4800: *out = B4800; return true;
        case 9600: *out = B9600; return true;
        case 19200: *out = B19200; return true;
        case 38400: *out = B38400; return true;
        case 57600: *out = B57600; return true;
        case 115200: *out = B115200; return true;
        case 230400: *out = B230400; return true;
#ifdef B460800
        case 460800: *out = B460800; return true;
#endif
#ifdef B921600
        case 921600: *out = B921600; return true;
#endif
        default: return false;
    }
}

// Raw 8N1 (or what the parameters ask for) at the chosen speed; false when the parameters
// have no termios form or the device refuses them.
bool SetLine(int fd, uint32_t baud, uint8_t byteSize, ComParity parity, ComStopBits stopBits) {
    termios t{};
    speed_t speed;
    if (tcgetattr(fd, &t) != 0 || !SpeedConstant(baud, &speed)) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    switch (byteSize) {
        case 5: t.c_cflag |= CS5; break;
        case 6: t.c_cflag |= CS6; break;
        case 7: t.c_cflag |= CS7; break;
        case 8: t.c_cflag |= CS8; break;
        default: return false;
    }
    switch (parity) {
        case COM_PARITY_NONE: break;
        case COM_PARITY_ODD: t.c_cflag |= PARENB | PARODD; break;
        case COM_PARITY_EVEN: t.c_cflag |= PARENB; break;
        case COM_PARITY_MARK: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case COM_PARITY_SPACE: t.c_cflag |= PARENB | CMSPAR; break;
        default: return false;  // a code the DCB would refuse as well
    }
    switch (stopBits) {
        case COM_STOP_ONE: break;
        case COM_STOP_ONE_HALF: if (byteSize != 5) return false; t.c_cflag |= CSTOPB; break;
        case COM_STOP_TWO: t.c_cflag |= CSTOPB; break;
        default: return false;
    }
    // With VMIN 1 a non-blocking read of an empty line says EAGAIN; 0 is left for a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return false;
    if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
    // tcsetattr succeeds when any part was taken: check that all of it was.
    termios now{};
    return tcgetattr(fd, &now) == 0 && cfgetospeed(&now) == speed &&
           (now.c_cflag & CSIZE) == (t.c_cflag & CSIZE) &&
           (now.c_cflag & (PARENB | PARODD)) == (t.c_cflag & (PARENB | PARODD));
}

void ReleaseDevice(int fd) {
    ioctl(fd, TIOCNXCL);  // the tty outlives this fd when someone else holds it open
    close(fd);
}

}  // namespace

CCom::CCom() : m_platform(new Platform) {}

CCom::~CCom() { Close(); }

void CCom::SetSilenceMs(unsigned ms) { g_silenceMs.store(ms == 0 ? 1 : ms); }

int CCom::Open() {
    Close();  // a watcher that ended on its own (device lost) is joined here
    if (!m_window || !m_sink) return 0;
    char path[PATH_MAX];
    if (!DevicePath(m_strPortName, path, sizeof path)) return 0;

    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    // TIOCEXCL does not stop root; flock does, between programs that take it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return 0;
    }
    ioctl(fd, TIOCEXCL);
    if (!SetLine(fd, m_baudRate, m_byteSize, m_parity, m_stopBits)) {
        // Said in the terms of this system: the speed and the device that refused it.
        std::fprintf(stderr, "speed %u not supported by %s\n", static_cast<unsigned>(m_baudRate), path);
        m_bConnected.store(0);
        ReleaseDevice(fd);
        return 0;
    }
    tcflush(fd, TCIOFLUSH);
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int silence = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (wake < 0 || silence < 0) {
        if (wake >= 0) close(wake);
        if (silence >= 0) close(silence);
        ReleaseDevice(fd);
        return 0;
    }

    Platform& p = *m_platform;
    {
        std::lock_guard<std::mutex> g(m_writeLock);  // a write polls the wake-up fd too
        p.fd = fd;
        p.wake = wake;
    }
    p.silence = silence;
    p.lostErr = 0;
    if (!StartWatcher()) {
        std::fputs("Thread Run Fail\n", stderr);
        Close();
        return 0;
    }
    return 1;
}

void CCom::Close() {
    Platform& p = *m_platform;
    m_closing.store(true);
    m_bConnected.store(0);
    if (p.wake >= 0) {
        const uint64_t one = 1;
        (void)!write(p.wake, &one, sizeof one);
    }
    StopWatcher();
    {
        std::lock_guard<std::mutex> g(m_writeLock);
        if (p.fd >= 0) {
            int dtr = TIOCM_DTR;
            ioctl(p.fd, TIOCMBIC, &dtr);  // refused by a pty; a real line drops DTR here
            tcflush(p.fd, TCIOFLUSH);
            ReleaseDevice(p.fd);
            p.fd = -1;
        }
    }
    if (p.wake >= 0) {
        close(p.wake);
        p.wake = -1;
    }
    if (p.silence >= 0) {
        close(p.silence);
        p.silence = -1;
    }
    m_closing.store(false);
}

uint32_t CCom::Read() {
    Platform& p = *m_platform;
    const uint32_t space = kComBufferSize - m_readCount;
    if (space == 0) return 0;
    for (;;) {
        const ssize_t n = read(p.fd, m_readBuffer + m_readCount, space);
        if (n > 0) return static_cast<uint32_t>(n);
        if (n == 0) {
            p.lostErr = -1;  // VMIN is 1: end of file only after a hang-up
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) p.lostErr = errno;
        return 0;
    }
}

void CCom::CommWatchProc() {
    Platform& p = *m_platform;
    // The silence is a timerfd rather than poll's time-out: the kernel lets a 100 ms time-out
    // fire up to 100 us late, a timerfd not at all.
    pollfd pf[3] = {{p.fd, POLLIN, 0}, {p.wake, POLLIN, 0}, {p.silence, POLLIN, 0}};
    const short gone = POLLHUP | POLLERR | POLLNVAL;
    const unsigned silenceMs = g_silenceMs.load();
    bool stop = false;
    while (!stop && m_bConnected.load() && !p.lostErr) {
        m_readCount = 0;
        if (poll(pf, 2, -1) < 0) {
            if (errno != EINTR) p.lostErr = errno;
            continue;
        }
        if (pf[1].revents) break;  // Close
        // Gather the burst: after every read the line gets the silence to send more.
        for (;;) {
            const uint32_t n = Read();
            m_readCount += n;
            // A hang-up that leaves nothing to read would wake poll forever.
            if (n == 0 && (pf[0].revents & gone) && !p.lostErr) p.lostErr = EIO;
            if (p.lostErr || m_readCount == kComBufferSize) break;
            if (n > 0) ArmSilence(p.silence, silenceMs);
            if (m_readCount == 0) break;  // woken for nothing: wait for a byte again
            if (poll(pf, 3, -1) < 0) {
                if (errno == EINTR) continue;
                p.lostErr = errno;
                break;
            }
            if (pf[1].revents) {
                stop = true;
                break;
            }
            // The silence ran out: the burst ends here. Bytes that are waiting as well came after
            // it (this thread was held up) and start the next burst.
            if (pf[2].revents) break;
        }
        if (!stop && m_readCount > 0 && !HandOver(m_readCount)) return;
    }
    if (p.lostErr && !stop && m_bConnected.load()) {
        {
            std::lock_guard<std::mutex> g(m_writeLock);
            ReleaseDevice(p.fd);
            p.fd = -1;
        }
        if (!ReportLost(p.lostErr > 0 ? std::strerror(p.lostErr) : "end of file")) return;
    }
    WatcherDone();
}

uint32_t CCom::Write(const void* bytes, uint32_t n) {
    std::lock_guard<std::mutex> g(m_writeLock);
    const int fd = m_platform->fd;
    if (fd < 0 || n == 0) return 0;
    using Clock = std::chrono::steady_clock;
    // The same bound as the Windows write time-out: 5 ms per byte + 5 ms.
    const auto deadline = Clock::now() + std::chrono::milliseconds(5 * uint64_t{n} + 5);
    const auto* p = static_cast<const unsigned char*>(bytes);
    uint32_t written = 0;
    while (written < n) {
        const ssize_t r = write(fd, p + written, n - written);
        if (r > 0) {
            written += static_cast<uint32_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) break;
        // The terminal takes no more (flow control held, or it stopped reading): wait for room
        // until the bound, or until Close, which then need not wait out the bound.
        // A pty does not always say when room comes back (when its reader takes only part of
        // what waits), so the write is tried again at least every 20 ms.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd w[2] = {{fd, POLLOUT, 0}, {m_platform->wake, POLLIN, 0}};
        const int q = poll(w, 2, static_cast<int>(std::min<long long>(left, 20)));
        if (q < 0 && errno != EINTR) break;
        if (q > 0 && ((w[0].revents & (POLLERR | POLLHUP | POLLNVAL)) || w[1].revents)) break;
    }
    return written;  // short when the bound ran out: the caller reports it
}
