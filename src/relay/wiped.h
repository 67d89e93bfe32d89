// Buffers that held card data or key material are cleared however their scope is left.
#pragma once
#include "sys/sys.h"

#include <cstddef>

struct Wiped {
    void* bytes;
    std::size_t size;
    ~Wiped() { sys::SecureZero(bytes, size); }
};

// Clears the stack below the caller's frame, where the functions it called (the trace, the log,
// the C library's formatting) may have left copies of a frame's bytes in their own frames. The
// deepest handling of a frame (a log line with its escaped copy beside a trace line) stays well
// within this depth.
constexpr std::size_t kScrubbedStack = 64 * 1024;

#if defined(__GNUC__)
__attribute__((noinline))
#endif
inline void ScrubStack() {
    char area[kScrubbedStack];
    sys::SecureZero(area, sizeof area);
}
