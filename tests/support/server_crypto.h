// The server's side of the envelope for tests and the server simulator (Linux only, never part
// of the program): RSA private-key decryption of the session key with OpenSSL.
#pragma once

// Decrypts a PKCS#1 v1.5 block with the RSA private key in the PEM file at pemPath (PKCS#1 or
// PKCS#8, unencrypted). out must hold the modulus size (128 bytes for a 1024-bit key).
// Returns 0 and the plaintext length in *outLen, or -1 (unreadable key, wrong length, bad padding).
int RsaPrivateDecryptPem(const char* pemPath, const unsigned char* in, int inLen, unsigned char* out,
                         int* outLen);
