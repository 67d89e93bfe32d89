#include "support/seed_oracle.h"

#include "crypto/adapter.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

namespace {

struct Legacy {
    OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(ctx, "legacy");
    OSSL_PROVIDER* base = OSSL_PROVIDER_load(ctx, "default");
    EVP_CIPHER* seed = EVP_CIPHER_fetch(ctx, "SEED-CBC", nullptr);
    ~Legacy() {
        EVP_CIPHER_free(seed);
        OSSL_PROVIDER_unload(base);
        OSSL_PROVIDER_unload(legacy);
        OSSL_LIB_CTX_free(ctx);
    }
};

}  // namespace

bool SeedOracle(bool encrypt, const std::string& key, const std::string& in, std::string* out) {
    static Legacy lib;
    if (!lib.seed || key.size() != 16) return false;
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    out->assign(in.size() + 32, '\0');
    int n1 = 0, n2 = 0;
    const auto* k = reinterpret_cast<const unsigned char*>(key.data());
    auto* o = reinterpret_cast<unsigned char*>(out->data());
    const auto* i = reinterpret_cast<const unsigned char*>(in.data());
    const bool ok = EVP_CipherInit_ex2(c, lib.seed, k, g_envelopeIv, encrypt ? 1 : 0, nullptr) == 1 &&
                    EVP_CipherUpdate(c, o, &n1, i, static_cast<int>(in.size())) == 1 &&
                    EVP_CipherFinal_ex(c, o + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(c);
    out->resize(ok ? static_cast<std::size_t>(n1 + n2) : 0);
    return ok;
}
