// The few operating-system services the portable core needs: clock, process id, directories,
// code page 949 text and secure randomness. One file per platform implements them.
#pragma once
#include <cstddef>

namespace sys {

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};

// Local calendar time with milliseconds.
LocalTime Now();

int ProcessId();

// Creates one directory; an existing directory or any failure is ignored (result: true if it
// exists afterwards).
bool MakeDirectory(const char* path);

// Converts valid UTF-8 to code page 949. Returns the number of bytes written to out, or -1
// when the text has a character that code page 949 lacks or out is too small.
long Utf8ToCp949(const char* in, std::size_t n, char* out, std::size_t cap);

// Fills buf with bytes from the operating system's secure random source. False on failure.
bool SecureRandom(void* buf, std::size_t n);

// Clears secrets and card data in a way the compiler cannot drop as a dead store.
void SecureZero(void* buf, std::size_t n);

}  // namespace sys
