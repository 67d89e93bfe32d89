// RSA public-key encryption with PKCS#1 v1.5 padding by the platform's own vetted code:
// OpenSSL libcrypto on Linux (rsa_openssl.cpp), CryptoAPI on Windows (rsa_cryptoapi.cpp).
#pragma once
#include "crypto/rsa_key_der.h"

// der/derLen: the DER RSAPublicKey that ParseRsaPublicKeyDer turned into key. inLen is at most
// key.modulusLen - 11. On success out holds key.modulusLen bytes, most significant first.
bool PlatformRsaEncrypt(const unsigned char* der, int derLen, const RsaKeyView& key,
                        const unsigned char* in, int inLen, unsigned char* out, int* outLen);
