// RSA public encryption through OpenSSL's EVP interface (the RSA_* calls are deprecated in 3.x).
// The server key is the same for the whole run: it is decoded once, with its encryption context
// set up for PKCS#1 v1.5, and kept; each request then only encrypts.
#include "crypto/rsa_public.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <mutex>

namespace {

constexpr int kMaxKeyDer = 600;  // a DER RSAPublicKey of up to 4096 bits, with room to spare

// One kept key. An EVP_PKEY_CTX must not be used by two threads at once, hence the lock; a
// request on another key (tests use several) replaces the kept one.
struct KeptKey {
    std::mutex lock;
    unsigned char der[kMaxKeyDer] = {};
    int derLen = 0;
    EVP_PKEY* pkey = nullptr;
    EVP_PKEY_CTX* ctx = nullptr;
};

// Never freed: it lives as long as the process, and OpenSSL may have cleaned up before a static
// destructor would run.
KeptKey g_kept;

// Decodes der and readies a context for it; on success it becomes the kept key.
bool Keep(const unsigned char* der, int derLen, int modulusLen) {
    if (derLen <= 0 || derLen > kMaxKeyDer) return false;
    const unsigned char* p = der;
    EVP_PKEY* pkey = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, derLen);
    if (!pkey) return false;
    EVP_PKEY_CTX* ctx = nullptr;
    if (p != der + derLen || EVP_PKEY_get_size(pkey) != modulusLen ||
        (ctx = EVP_PKEY_CTX_new(pkey, nullptr)) == nullptr || EVP_PKEY_encrypt_init(ctx) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0) {
        EVP_PKEY_CTX_free(ctx);
        EVP_PKEY_free(pkey);
        return false;
    }
    EVP_PKEY_CTX_free(g_kept.ctx);
    EVP_PKEY_free(g_kept.pkey);
    g_kept.pkey = pkey;
    g_kept.ctx = ctx;
    std::memcpy(g_kept.der, der, static_cast<size_t>(derLen));
    g_kept.derLen = derLen;
    return true;
}

}  // namespace

bool PlatformRsaEncrypt(const unsigned char* der, int derLen, const RsaKeyView& key,
                        const unsigned char* in, int inLen, unsigned char* out, int* outLen) {
    std::lock_guard<std::mutex> guard(g_kept.lock);
    const bool kept = g_kept.ctx && derLen == g_kept.derLen &&
                      std::memcmp(der, g_kept.der, static_cast<size_t>(derLen)) == 0;
    if (!kept && !Keep(der, derLen, key.modulusLen)) return false;
    size_t n = static_cast<size_t>(key.modulusLen);
    if (EVP_PKEY_encrypt(g_kept.ctx, out, &n, in, static_cast<size_t>(inLen)) <= 0 ||
        n != static_cast<size_t>(key.modulusLen))
        return false;
    *outLen = static_cast<int>(n);
    return true;
}
