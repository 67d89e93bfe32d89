// One gateway per user session: an flock on a lock file named for the product, the counterpart
// of the named mutex on Windows. The first instance holds the lock until it ends.
#pragma once
#include <string>

// "<XDG_RUNTIME_DIR>/(주)Tevo네트웍스 Brisca.lock"; without a usable runtime folder the file
// goes to /tmp with the user id in its name, so that users never lock each other out.
std::string InstanceLockPath(const char* xdgRuntimeDir, unsigned uid);

class InstanceLock {
public:
    // REFUSED: the path is a symbolic link, not a plain file, or a file of another user (in /tmp
    // anybody can plant one under our name to hold the lock for us); Refusal() says why.
    enum Result { ACQUIRED = 0, ALREADY_RUNNING = 1, UNAVAILABLE = 2, REFUSED = 3 };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // UNAVAILABLE and REFUSED: the program runs unguarded, as the Windows program does when its
    // mutex cannot be created; nobody else's file can keep it from starting.
    Result Acquire(const std::string& path);
    // After REFUSED: one line for the operator, in Korean, naming the path (no line end).
    const std::string& Refusal() const { return m_refusal; }

private:
    int m_fd = -1;
    std::string m_refusal;
};
