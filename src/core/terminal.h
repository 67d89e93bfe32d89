// The seam between the serial link and the relay: the relay writes to the terminal through a
// TerminalWriter and receives its bursts as a TerminalSink; CCom implements the one and calls
// the other, so neither side includes the other.
#pragma once
#include <cstdint>

class TerminalWriter {
public:
    virtual ~TerminalWriter() = default;
    // Writes n bytes to the terminal; returns the bytes written. Any thread, one write at a time.
    virtual uint32_t Write(const void* bytes, uint32_t n) = 0;
};

// Receives bursts on the window thread. The bytes are the port's receive buffer, read in place:
// the watcher reads again only after the handler has returned.
class TerminalSink {
public:
    virtual ~TerminalSink() = default;
    virtual void OnTerminalFrame(const unsigned char* bytes, unsigned n) = 0;
    // The device went away (adapter unplugged, line hung up); the port now counts as closed.
    virtual void OnPortLost(const char* /*portName*/) {}
};
