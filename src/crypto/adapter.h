// The crypto adapter the secure route uses: SEED encryption and decryption of requests and
// answers, RSA encryption of the session key, and the program's fixed key material.
#pragma once

// Each returns 0 on success or the library's non-zero code. out belongs to the caller and holds
// 5120 bytes; *outLen receives the output length (its value on entry is not used).
// iv: 16 bytes; key: at most 34 bytes (the library takes 16).
int SeedEncrypt(const unsigned char* iv, const unsigned char* key, int keyLen,
                const unsigned char* in, int inLen, unsigned char* out, int* outLen);
int SeedDecrypt(const unsigned char* iv, const unsigned char* key, int keyLen,
                const unsigned char* in, int inLen, unsigned char* out, int* outLen);
// keyDer: a DER RSAPublicKey of at most 362 bytes.
int RsaPublicEncrypt(const unsigned char* keyDer, int keyLen, const unsigned char* in, int inLen,
                     unsigned char* out, int* outLen);

// The payment server's public key (DER RSAPublicKey, 138 bytes), embedded at build time.
extern const unsigned char g_serverPublicKey[];
extern const int g_serverPublicKeyLen;
// SEED initialisation vector of requests and answers: "XJQMFRWLTDKZPV07".
extern const unsigned char g_envelopeIv[16];

// The pieces the adapter hands to the library.
enum { kMaxSeedKeyLen = 34, kMaxRsaKeyDerLen = 362 };
// Key blob: algorithm identifier (4 bytes) and keyLen (2 bytes), big-endian, then the key.
// Returns keyLen + 6, or -1 when keyLen is negative, above 65535 or the blob would pass cap.
int BuildKeyBlob(unsigned long algorithmId, const unsigned char* key, int keyLen, unsigned char* blob,
                 int cap);
// 52 bytes, zero-filled: word 2 at offset 4, the IV at 8, word 16 at 40, word 4 at 48.
void FillSeedParams(unsigned char block[52], const unsigned char iv[16]);
// Five words 4, 1, 1, 0, 0.
void FillRsaParams(unsigned char block[20]);
