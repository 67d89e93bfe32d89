#include "app/posix/single_instance.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr char kInstanceName[] = "(주)Tevo네트웍스 Brisca";

// Why a lock file found at the path is not ours to use, or nullptr when it is.
const char* Foreign(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) return "심볼릭 링크입니다";
    if (!S_ISREG(st.st_mode)) return "일반 파일이 아닙니다";
    if (st.st_uid != geteuid()) return "다른 사용자의 파일입니다";
    return nullptr;
}
}  // namespace

std::string InstanceLockPath(const char* xdgRuntimeDir, unsigned uid) {
    if (xdgRuntimeDir && xdgRuntimeDir[0] == '/')
        return std::string(xdgRuntimeDir) + "/" + kInstanceName + ".lock";
    return std::string("/tmp/") + kInstanceName + "-" + std::to_string(uid) + ".lock";
}

InstanceLock::~InstanceLock() {
    if (m_fd >= 0) close(m_fd);
}

InstanceLock::Result InstanceLock::Acquire(const std::string& path) {
    m_refusal.clear();
    const auto refuse = [&](const char* why) {
        m_refusal = "잠금 파일을 쓰지 않습니다(" + std::string(why) + "): " + path +
                    ". 중복 실행 검사 없이 시작합니다.";
        return REFUSED;
    };
    // O_NOFOLLOW: in /tmp somebody else may have planted a link under our name. Read-only is
    // enough for flock, and opens a file another user made readable, which is then refused.
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (fd < 0) {
        const int saved = errno;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0)
            if (const char* why = Foreign(st)) return refuse(why);
        errno = saved;
        return UNAVAILABLE;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        close(fd);
        return UNAVAILABLE;
    }
    if (const char* why = Foreign(st)) {
        close(fd);
        return refuse(why);  // never wait on, nor hold, a lock somebody else controls
    }
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const int saved = errno;
        close(fd);
        return saved == EWOULDBLOCK ? ALREADY_RUNNING : UNAVAILABLE;
    }
    m_fd = fd;  // kept open (and locked) for the life of the process
    return ACQUIRED;
}
