// RSA private-key decryption through OpenSSL's EVP interface, for the server side in tests.
#include "support/server_crypto.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>

int RsaPrivateDecryptPem(const char* pemPath, const unsigned char* in, int inLen, unsigned char* out,
                         int* outLen) {
    if (outLen) *outLen = 0;
    if (!pemPath || !in || !out || !outLen || inLen <= 0) return -1;
    std::FILE* f = std::fopen(pemPath, "rb");
    if (!f) return -1;
    EVP_PKEY* pkey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!pkey) return -1;
    int rc = -1;
    EVP_PKEY_CTX* ctx = nullptr;
    size_t n = static_cast<size_t>(EVP_PKEY_get_size(pkey));
    if (inLen == EVP_PKEY_get_size(pkey) && (ctx = EVP_PKEY_CTX_new(pkey, nullptr)) != nullptr &&
        EVP_PKEY_decrypt_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
        EVP_PKEY_decrypt(ctx, out, &n, in, static_cast<size_t>(inLen)) > 0) {
        *outLen = static_cast<int>(n);
        rc = 0;
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    return rc;
}
