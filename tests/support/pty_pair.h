// A pseudo-terminal pair as the serial line (POSIX): the terminal's side (the master) for the
// test, the slave's name for CCom.
#pragma once
#include <chrono>
#include <cstddef>
#include <string>

class PtyPair {
public:
    // holdSlave keeps a slave descriptor open so that the master never reads EIO between two
    // opens of CCom; without it, closing the master is the device going away for good.
    explicit PtyPair(bool holdSlave = true);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master >= 0 && !name.empty(); }
    // The terminal goes away: both sides closed, the slave reports a hang-up from now on.
    void Hangup();
    // The terminal's bytes, all of them; false when the line is gone.
    bool Send(const std::string& bytes) const;
    // What was written to the terminal: count bytes, fewer when the bound passed.
    std::string Receive(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(5)) const;

    int master = -1;
    int slave = -1;  // the held slave descriptor, or -1
    std::string name;
};
