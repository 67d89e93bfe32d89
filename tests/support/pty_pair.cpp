#include "support/pty_pair.h"

#include "support/test_server.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

PtyPair::PtyPair(bool holdSlave) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        Hangup();
        return;
    }
    name = ptsname(master);
    if (holdSlave) slave = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

PtyPair::~PtyPair() { Hangup(); }

void PtyPair::Hangup() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
    master = slave = -1;
}

bool PtyPair::Send(const std::string& bytes) const { return SendBytes(master, bytes); }

std::string PtyPair::Receive(std::size_t count, std::chrono::milliseconds bound) const {
    return ReadBytes(master, count, bound);
}
