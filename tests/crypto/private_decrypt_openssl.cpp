// Linux: the server simulator's own decryption (brisca_testcrypto) with the test private key.
#include "crypto/test_keys.h"
#include "support/server_crypto.h"

#include <openssl/sha.h>

#include <cstring>

int TestPrivateDecrypt(const unsigned char* in, int inLen, unsigned char* out, int outCap) {
    unsigned char plain[512];
    int n = 0;
    if (RsaPrivateDecryptPem(BRISCA_TEST_PRIVATE_KEY_PEM, in, inLen, plain, &n) != 0 || n > outCap)
        return -1;
    std::memcpy(out, plain, static_cast<size_t>(n));
    return n;
}

bool TestSha256(const unsigned char* in, int inLen, unsigned char digest[32]) {
    return SHA256(in, static_cast<size_t>(inLen), digest) != nullptr;
}
