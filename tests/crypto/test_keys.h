// The committed test key pair, built into the crypto tests (Wine cannot read the source tree by
// its Linux path), and the private-key decryption each platform checks RSA output with.
#pragma once

extern const unsigned char kTestPublicDer[];
extern const int kTestPublicDerLen;
extern const char kTestPrivatePem[];
extern const bool kProgramEmbedsTestKey;  // no -DBRISCA_SERVER_PUBLIC_KEY of another key

// PKCS#1 v1.5 decryption with kTestPrivatePem: OpenSSL on Linux, CryptoAPI on Windows.
// Returns the plaintext length, or -1.
int TestPrivateDecrypt(const unsigned char* in, int inLen, unsigned char* out, int outCap);

// SHA-256 by the platform's own code (OpenSSL on Linux, CryptoAPI on Windows). False on failure.
bool TestSha256(const unsigned char* in, int inLen, unsigned char digest[32]);
