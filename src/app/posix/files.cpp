#include "app/posix/files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

long ReadSmallFile(const char* path, char* buffer, std::size_t cap) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno == ENOENT ? -2 : -1;
    std::size_t total = 0;
    while (total < cap) {
        const ssize_t r = read(fd, buffer + total, cap - total);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        if (r == 0) break;
        total += static_cast<std::size_t>(r);
    }
    close(fd);
    return static_cast<long>(total);
}

bool MakeParentDirectories(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return true;
    std::string dir = path.substr(0, slash);
    for (std::size_t i = 1; i <= dir.size(); ++i) {
        if (i < dir.size() && dir[i] != '/') continue;
        const std::string part = dir.substr(0, i);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteFileAtomically(const std::string& path, const char* data, std::size_t n, int mode) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp.%ld", static_cast<long>(getpid()));
    const std::string tmp = path + suffix;
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) return false;
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < n) {
        const ssize_t w = write(fd, data + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) ok = false;
        else done += static_cast<std::size_t>(w);
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) unlink(tmp.c_str());
    return ok;
}
