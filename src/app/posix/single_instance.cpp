#include "app/posix/single_instance.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
constexpr char kInstanceName[] = "(주)Tevo네트웍스 Brisca";
}

std::string InstanceLockPath(const char* xdgRuntimeDir, unsigned uid) {
    if (xdgRuntimeDir && xdgRuntimeDir[0] == '/')
        return std::string(xdgRuntimeDir) + "/" + kInstanceName + ".lock";
    return std::string("/tmp/") + kInstanceName + "-" + std::to_string(uid) + ".lock";
}

InstanceLock::~InstanceLock() {
    if (m_fd >= 0) close(m_fd);
}

InstanceLock::Result InstanceLock::Acquire(const std::string& path) {
    // O_NOFOLLOW: in /tmp somebody else may have planted a link under our name.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (fd < 0) return UNAVAILABLE;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const int saved = errno;
        close(fd);
        return saved == EWOULDBLOCK ? ALREADY_RUNNING : UNAVAILABLE;
    }
    m_fd = fd;  // kept open (and locked) for the life of the process
    return ACQUIRED;
}
