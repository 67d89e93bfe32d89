// Windows helper for the cross-platform check: encrypts its argument with the program's RSA path
// (CryptoAPI) under the test public key and writes the 128 bytes to the file it is given.
#include "crypto/adapter.h"
#include "crypto/test_keys.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: rsa_emit TEXT OUTFILE\n");
        return 2;
    }
    unsigned char out[5120];
    int outLen = 0;
    int rc = RsaPublicEncrypt(kTestPublicDer, kTestPublicDerLen, reinterpret_cast<const unsigned char*>(argv[1]),
                              static_cast<int>(std::strlen(argv[1])), out, &outLen);
    if (rc != 0 || outLen != 128) {
        std::fprintf(stderr, "RsaPublicEncrypt failed: %d (%d bytes)\n", rc, outLen);
        return 1;
    }
    std::FILE* f = std::fopen(argv[2], "wb");
    if (!f || std::fwrite(out, 1, 128, f) != 128 || std::fclose(f) != 0) return 1;
    return 0;
}
