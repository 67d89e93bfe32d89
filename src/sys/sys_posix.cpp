// Operating-system services on Linux and other POSIX systems: clock_gettime, folders and files
// reached through a folder descriptor opened without following links, glibc's iconv for code
// page 949 and getrandom.
#include "sys/sys.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <mutex>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/inotify.h>
#include <sys/prctl.h>
#endif

namespace sys {

LocalTime Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    // Every trace and log line asks the time, several times within one second: the calendar
    // fields of a second are worked out once per thread (a change of time zone shows from the
    // next second on).
    thread_local time_t lastSecond = -1;
    thread_local tm t{};
    if (ts.tv_sec != lastSecond && localtime_r(&ts.tv_sec, &t)) lastSecond = ts.tv_sec;
    return LocalTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                     t.tm_min,         t.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

int ProcessId() { return static_cast<int>(getpid()); }

bool MakeDirectory(const char* path) {
    const std::string whole(path);
    // Each missing level in turn; failures are ignored, the final check decides.
    for (std::size_t at = whole.find('/', 1); at != std::string::npos; at = whole.find('/', at + 1))
        mkdir(whole.substr(0, at).c_str(), 0700);
    mkdir(path, 0700);
    struct stat st{};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// The configured path is followed (systemd hands a service its log folder as a link into
// /var/log/private), but the folder reached must be the program's user's and writable by no
// one else: whoever may write there can plant, swap or read files. Files inside are still
// opened without following links.
int OpenFolder(const char* folder, std::string* why = nullptr) {
    const int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        if (why) *why = std::strerror(errno);
        return -1;
    }
    struct stat st{};
    const char* refusal = nullptr;
    if (fstat(dir, &st) != 0) refusal = "cannot be examined";
    else if (st.st_uid != geteuid()) refusal = "belongs to another user";
    else if ((st.st_mode & 022) != 0) refusal = "is writable by group or others";
    if (refusal) {
        if (why) *why = refusal;
        close(dir);
        return -1;
    }
    return dir;
}

// One lstat: a deleted file has no name left, a renamed or replaced one another inode there.
bool Names(const std::string& path, std::uint64_t device, std::uint64_t index) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == device &&
           static_cast<std::uint64_t>(st.st_ino) == index;
}

bool IsRegularIn(int dir, const char* name) {
    struct stat st{};
    return fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool ListFiles(const char* folder, std::vector<std::string>& names) {
    const int dir = OpenFolder(folder);
    if (dir < 0) return false;
    DIR* listing = fdopendir(dir);
    if (!listing) {
        close(dir);
        return false;
    }
    while (const dirent* entry = readdir(listing)) {
        if (IsRegularIn(dir, entry->d_name)) names.emplace_back(entry->d_name);
    }
    closedir(listing);  // closes dir as well
    return true;
}

bool RemoveFile(const char* folder, const char* name) {
    const int dir = OpenFolder(folder);
    if (dir < 0) return false;
    const bool removed = IsRegularIn(dir, name) && unlinkat(dir, name, 0) == 0;
    close(dir);
    return removed;
}

struct AppendFile::Platform {
    int fd = -1;
    std::uint64_t device = 0, index = 0;  // the file opened, to tell it from one put in its place
    std::string path;
    int watch = -1;  // Linux: inotify descriptor watching the file and its folder
};

AppendFile::AppendFile() : m_platform(new Platform) {}

AppendFile::~AppendFile() { Close(); }

bool AppendFile::IsOpen() const { return m_platform->fd != -1; }

namespace {

// On Linux the kernel tells of a rename, a removal or a replacement of the file (a change of
// its link count) or of its folder: the name is then looked up only after something happened,
// not for every line. Where that cannot be set up, every line looks the name up.
void Watch(AppendFile::Platform& p, const char* folder) {
#if defined(__linux__)
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0) return;
    constexpr std::uint32_t kEvents = IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF | IN_DONT_FOLLOW;
    if (inotify_add_watch(watch, p.path.c_str(), kEvents) < 0 ||
        inotify_add_watch(watch, folder, kEvents | IN_ONLYDIR) < 0) {
        close(watch);
        return;
    }
    // Renamed between the opening and the watch: the watch is on another file, and the next
    // line finds the name gone.
    if (Names(p.path, p.device, p.index))
        p.watch = watch;
    else
        close(watch);
#else
    (void)p;
    (void)folder;
#endif
}

}  // namespace

bool AppendFile::Open(const char* folder, const char* name, std::string* why) {
    Close();
    const int dir = OpenFolder(folder, why);
    if (dir < 0) return false;
    // O_NONBLOCK: a FIFO planted under the file's name must not hold the writer in open().
    const int fd = openat(dir, name, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          0600);
    close(dir);
    if (fd < 0) {
        if (why) *why = std::string(name) + ": " + std::strerror(errno);
        return false;
    }
    struct stat st{};
    const char* refusal = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) refusal = "is not a regular file";
    else if (st.st_uid != geteuid()) refusal = "belongs to another user";
    else if ((st.st_mode & 022) != 0) refusal = "is writable by group or others";
    if (refusal) {
        if (why) *why = std::string(name) + " " + refusal;
        close(fd);
        return false;
    }
    if ((st.st_mode & 077) != 0) fchmod(fd, 0600);  // a file left readable by an older version
    Platform& p = *m_platform;
    p.fd = fd;
    p.device = st.st_dev;
    p.index = st.st_ino;
    p.path = std::string(folder) + '/' + name;
    m_openedSize = st.st_size;
    Watch(p, folder);
    return true;
}

void AppendFile::Close() {
    Platform& p = *m_platform;
    if (p.watch != -1) {
        close(p.watch);
        p.watch = -1;
    }
    if (p.fd == -1) return;
    close(p.fd);
    p.fd = -1;
}

bool AppendFile::Append(const void* bytes, std::size_t n) {
    const char* b = static_cast<const char*>(bytes);
    while (n > 0) {
        const ssize_t put = write(m_platform->fd, b, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        b += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

long AppendFile::ReadTail(char* buffer, std::size_t n) const {
    const int fd = m_platform->fd;
    struct stat st{};
    if (fstat(fd, &st) != 0) return -1;
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    if (n > size) n = size;
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = pread(fd, buffer + got, n - got, static_cast<off_t>(size - n + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long>(got);
}

bool AppendFile::StillNamed() const {
    const Platform& p = *m_platform;
#if defined(__linux__)
    if (p.watch != -1) {
        // Nothing to read: nothing has happened to the file or its folder since the last line.
        alignas(inotify_event) char events[4096];
        ssize_t got = read(p.watch, events, sizeof events);
        if (got < 0 && errno == EAGAIN) return true;
        while (got > 0) got = read(p.watch, events, sizeof events);  // the name decides below
    }
#endif
    return Names(p.path, p.device, p.index);
}

namespace {
// One converter for the whole process: iconv_open allocates, and the log writer converts on
// every line. An iconv_t is not safe for concurrent use, hence the lock.
std::mutex g_iconvLock;
iconv_t g_toCp949 = reinterpret_cast<iconv_t>(-1);
bool g_iconvTried = false;
iconv_t g_fromCp949 = reinterpret_cast<iconv_t>(-1);
bool g_fromTried = false;
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

bool KeepOutOfDumps() {
    const rlimit none{0, 0};
    bool ok = setrlimit(RLIMIT_CORE, &none) == 0;
#if defined(__linux__)
    ok = prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0 && ok;
#endif
    return ok;
}

std::string Cp949ToUtf8(const char* in, std::size_t n) {
    std::string out;
    std::lock_guard<std::mutex> guard(g_iconvLock);
    if (!g_fromTried) {
        g_fromTried = true;
        g_fromCp949 = iconv_open("UTF-8", "CP949");
    }
    char piece[256];
    char* src = const_cast<char*>(in);
    std::size_t srcLeft = n;
    while (srcLeft > 0) {
        char* dst = piece;
        std::size_t dstLeft = sizeof piece;
        std::size_t rc = static_cast<std::size_t>(-1);
        errno = EILSEQ;
        if (g_fromCp949 != reinterpret_cast<iconv_t>(-1))
            rc = iconv(g_fromCp949, &src, &srcLeft, &dst, &dstLeft);
        out.append(piece, sizeof piece - dstLeft);
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            out += "\xEF\xBF\xBD";  // one byte that is not code page 949, or a cut-off pair
            ++src;
            --srcLeft;
            if (g_fromCp949 != reinterpret_cast<iconv_t>(-1))
                iconv(g_fromCp949, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

struct FileReader::Platform {
    int fd = -1;
};

FileReader::FileReader() : m_platform(new Platform) {}

FileReader::~FileReader() { Close(); }

bool FileReader::Open(const char* path) {
    Close();
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    m_platform->fd = fd;
    return true;
}

void FileReader::Close() {
    if (m_platform->fd != -1) close(m_platform->fd);
    m_platform->fd = -1;
}

long FileReader::Read(void* buffer, std::size_t n) {
    const int fd = m_platform->fd;
    if (fd == -1) return -1;
    for (;;) {
        const ssize_t got = read(fd, buffer, n);
        if (got >= 0 || errno != EINTR) return static_cast<long>(got);
    }
}

}  // namespace sys
