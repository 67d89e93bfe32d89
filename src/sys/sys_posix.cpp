// Operating-system services on Linux and other POSIX systems: clock_gettime, mkdir, glibc's
// iconv for code page 949 and getrandom.
#include "sys/sys.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iconv.h>
#include <mutex>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sys {

LocalTime Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    localtime_r(&ts.tv_sec, &t);
    return LocalTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                     t.tm_min,         t.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

int ProcessId() { return static_cast<int>(getpid()); }

bool MakeDirectory(const char* path) {
    mkdir(path, 0777);
    struct stat st{};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
// One converter for the whole process: iconv_open allocates, and the log writer converts on
// every line. An iconv_t is not safe for concurrent use, hence the lock.
std::mutex g_iconvLock;
iconv_t g_toCp949 = reinterpret_cast<iconv_t>(-1);
bool g_iconvTried = false;
}  // namespace

long Utf8ToCp949(const char* in, std::size_t n, char* out, std::size_t cap) {
    std::lock_guard<std::mutex> guard(g_iconvLock);
    if (!g_iconvTried) {
        g_iconvTried = true;
        g_toCp949 = iconv_open("CP949", "UTF-8");
    }
    if (g_toCp949 == reinterpret_cast<iconv_t>(-1)) return -1;
    char* src = const_cast<char*>(in);
    std::size_t srcLeft = n;
    char* dst = out;
    std::size_t dstLeft = cap;
    const std::size_t rc = iconv(g_toCp949, &src, &srcLeft, &dst, &dstLeft);
    iconv(g_toCp949, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    if (rc == static_cast<std::size_t>(-1) || srcLeft != 0) return -1;
    // A character without a code page 949 form would have been counted as irreversible.
    if (rc != 0) return -1;
    return static_cast<long>(cap - dstLeft);
}

bool SecureRandom(void* buf, std::size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        const ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

void SecureZero(void* buf, std::size_t n) {
    if (n > 0) explicit_bzero(buf, n);
}

}  // namespace sys
