// RSA public encryption through OpenSSL's EVP interface (the RSA_* calls are deprecated in 3.x).
#include "crypto/rsa_public.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

bool PlatformRsaEncrypt(const unsigned char* der, int derLen, const RsaKeyView& key,
                        const unsigned char* in, int inLen, unsigned char* out, int* outLen) {
    const unsigned char* p = der;
    EVP_PKEY* pkey = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, derLen);
    if (!pkey) return false;
    bool ok = false;
    EVP_PKEY_CTX* ctx = nullptr;
    size_t n = static_cast<size_t>(key.modulusLen);
    if (p == der + derLen && EVP_PKEY_get_size(pkey) == key.modulusLen &&
        (ctx = EVP_PKEY_CTX_new(pkey, nullptr)) != nullptr && EVP_PKEY_encrypt_init(ctx) > 0 &&
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
        EVP_PKEY_encrypt(ctx, out, &n, in, static_cast<size_t>(inLen)) > 0 &&
        n == static_cast<size_t>(key.modulusLen)) {
        *outLen = static_cast<int>(n);
        ok = true;
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    return ok;
}
