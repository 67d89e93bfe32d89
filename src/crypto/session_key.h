// Session keys of the secure route: 16 ASCII decimal digits from the operating system's secure
// random source, one per request.
#pragma once

constexpr int kSessionKeyDigits = 16;

// Fills buffer (at least 17 bytes) with 16 digits and a NUL. Returns 1, or 0 when the random
// source fails; the buffer then holds no key (zeros).
int MakeSessionKey(char* buffer);
