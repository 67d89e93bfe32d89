// One gateway per user session: an flock on a lock file named for the product, the counterpart
// of the named mutex on Windows. The first instance holds the lock until it ends.
#pragma once
#include <string>

// "<XDG_RUNTIME_DIR>/(주)Tevo네트웍스 Brisca.lock"; without a usable runtime folder the file
// goes to /tmp with the user id in its name, so that users never lock each other out.
std::string InstanceLockPath(const char* xdgRuntimeDir, unsigned uid);

class InstanceLock {
public:
    enum Result { ACQUIRED = 0, ALREADY_RUNNING = 1, UNAVAILABLE = 2 };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // UNAVAILABLE: the lock file cannot be made; the program runs unguarded, as the Windows
    // program does when its mutex cannot be created.
    Result Acquire(const std::string& path);

private:
    int m_fd = -1;
};
