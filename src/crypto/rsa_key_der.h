// Structural check of a DER RSAPublicKey (SEQUENCE { modulus INTEGER, publicExponent INTEGER }).
// Portable and arithmetic-free: it finds the two numbers; the platform's RSA code uses them.
#pragma once

struct RsaKeyView {
    const unsigned char* modulus;   // big-endian, without the sign byte
    int modulusLen;                 // bytes: 128 for a 1024-bit key
    const unsigned char* exponent;  // big-endian, without the sign byte
    int exponentLen;
};

// True for strict DER with nothing after the SEQUENCE, a modulus of 512 to 4096 bits and an odd
// exponent of at least 3 that fits 32 bits (the most any platform's RSA code here accepts).
bool ParseRsaPublicKeyDer(const unsigned char* der, int len, RsaKeyView* view);
