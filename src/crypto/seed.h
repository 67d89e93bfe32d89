// SEED-128 block cipher (RFC 4269) and its CBC mode with PKCS#7 padding.
// Portable, allocation-free; the library behind the CL_ calls uses it for every SEED request.
#pragma once
#include <cstdint>

namespace seed {

enum { kBlockSize = 16, kKeySize = 16 };
enum { kErrLength = -1, kErrPadding = -2 };

struct RoundKeys {
    std::uint32_t k[32];
};

void KeySchedule(const unsigned char key[kKeySize], RoundKeys* rk);
void EncryptBlock(const RoundKeys& rk, const unsigned char in[kBlockSize], unsigned char out[kBlockSize]);
void DecryptBlock(const RoundKeys& rk, const unsigned char in[kBlockSize], unsigned char out[kBlockSize]);

// CBC with PKCS#7 padding (1 to 16 bytes, always present). out may be in itself but must not
// overlap it otherwise. Results: the output length, or kErrLength when the output would pass
// outCap (nothing is written then).
int CbcEncrypt(const RoundKeys& rk, const unsigned char iv[kBlockSize], const unsigned char* in,
               int inLen, unsigned char* out, int outCap);
// Results: the plaintext length; kErrLength for an empty input, one that is not whole blocks or
// a plaintext that would pass outCap; kErrPadding for invalid padding. On failure nothing is
// written; on success only the plaintext bytes are (the padding never reaches out).
int CbcDecrypt(const RoundKeys& rk, const unsigned char iv[kBlockSize], const unsigned char* in,
               int inLen, unsigned char* out, int outCap);

}  // namespace seed
