#include "crypto/session_key.h"

#include "sys/sys.h"

// Every digit is drawn without bias: bytes of 250 and above are thrown away, so that each digit
// comes from 25 of the 250 kept values.
int MakeSessionKey(char* buffer) {
    int digits = 0;
    unsigned char pool[32];
    while (digits < kSessionKeyDigits) {
        if (!sys::SecureRandom(pool, sizeof pool)) {
            sys::SecureZero(pool, sizeof pool);
            sys::SecureZero(buffer, kSessionKeyDigits + 1);
            return 0;
        }
        for (unsigned char b : pool) {
            if (b >= 250) continue;
            buffer[digits++] = static_cast<char>('0' + b % 10);
            if (digits == kSessionKeyDigits) break;
        }
    }
    buffer[kSessionKeyDigits] = '\0';
    sys::SecureZero(pool, sizeof pool);
    return 1;
}
