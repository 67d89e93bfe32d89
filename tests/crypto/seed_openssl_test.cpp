// Our SEED-CBC with PKCS#7 against OpenSSL's SEED-CBC (legacy provider, in a library context of
// its own) on random keys, IVs and data of every length up to past the largest terminal burst.
#include "crypto/seed.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

class OpenSslSeed : public ::testing::Test {
protected:
    void SetUp() override {
        ctx_ = OSSL_LIB_CTX_new();
        ASSERT_NE(nullptr, ctx_);
        legacy_ = OSSL_PROVIDER_load(ctx_, "legacy");
        default_ = OSSL_PROVIDER_load(ctx_, "default");
        ASSERT_NE(nullptr, legacy_) << "OpenSSL's legacy provider is needed for SEED";
        ASSERT_NE(nullptr, default_);
        cipher_ = EVP_CIPHER_fetch(ctx_, "SEED-CBC", nullptr);
        ASSERT_NE(nullptr, cipher_);
    }
    void TearDown() override {
        EVP_CIPHER_free(cipher_);
        if (default_) OSSL_PROVIDER_unload(default_);
        if (legacy_) OSSL_PROVIDER_unload(legacy_);
        OSSL_LIB_CTX_free(ctx_);
    }

    // Returns the output length or -1 (OpenSSL's own padding check included).
    int Run(bool encrypt, const unsigned char* key, const unsigned char* iv, const unsigned char* in,
            int inLen, unsigned char* out) {
        EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
        int n1 = 0, n2 = 0;
        bool ok = c && EVP_CipherInit_ex2(c, cipher_, key, iv, encrypt ? 1 : 0, nullptr) == 1 &&
                  EVP_CipherUpdate(c, out, &n1, in, inLen) == 1 && EVP_CipherFinal_ex(c, out + n1, &n2) == 1;
        EVP_CIPHER_CTX_free(c);
        return ok ? n1 + n2 : -1;
    }

    OSSL_LIB_CTX* ctx_ = nullptr;
    OSSL_PROVIDER* legacy_ = nullptr;
    OSSL_PROVIDER* default_ = nullptr;
    EVP_CIPHER* cipher_ = nullptr;
};

TEST_F(OpenSslSeed, BothDirectionsAgreeOnRandomInputs) {
    std::mt19937 rng(20240607);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<unsigned char> plain(4200), ours(4300), theirs(4300), back(4300);
    int checked = 0;
    for (int len = 0; len <= 4200; ++len) {
        unsigned char key[16], iv[16];
        for (auto& b : key) b = static_cast<unsigned char>(byte(rng));
        for (auto& b : iv) b = static_cast<unsigned char>(byte(rng));
        for (int i = 0; i < len; ++i) plain[i] = static_cast<unsigned char>(byte(rng));
        seed::RoundKeys rk;
        seed::KeySchedule(key, &rk);

        // Ours encrypts, OpenSSL decrypts; and the ciphertexts are identical.
        int n = seed::CbcEncrypt(rk, iv, plain.data(), len, ours.data(), static_cast<int>(ours.size()));
        ASSERT_EQ((len / 16 + 1) * 16, n);
        ASSERT_EQ(len, Run(false, key, iv, ours.data(), n, back.data())) << len;
        ASSERT_EQ(0, std::memcmp(back.data(), plain.data(), static_cast<size_t>(len))) << len;

        // OpenSSL encrypts, ours decrypts.
        int m = Run(true, key, iv, plain.data(), len, theirs.data());
        ASSERT_EQ(n, m);
        ASSERT_EQ(0, std::memcmp(theirs.data(), ours.data(), static_cast<size_t>(n))) << len;
        ASSERT_EQ(len, seed::CbcDecrypt(rk, iv, theirs.data(), m, back.data(), static_cast<int>(back.size())));
        ASSERT_EQ(0, std::memcmp(back.data(), plain.data(), static_cast<size_t>(len))) << len;
        ++checked;
    }
    EXPECT_EQ(4201, checked);
}

// Random last blocks: whatever OpenSSL's padding check refuses, ours refuses too, and the other
// way round. About one in 256 random blocks ends in a valid 01; the rest must fail.
TEST_F(OpenSslSeed, PaddingVerdictsAgreeOnRandomCiphertext) {
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> byte(0, 255);
    unsigned char key[16], iv[16], cipher[32], a[64], b[64];
    for (auto& x : key) x = static_cast<unsigned char>(byte(rng));
    for (auto& x : iv) x = static_cast<unsigned char>(byte(rng));
    seed::RoundKeys rk;
    seed::KeySchedule(key, &rk);
    int accepted = 0;
    for (int i = 0; i < 4000; ++i) {
        for (auto& x : cipher) x = static_cast<unsigned char>(byte(rng));
        int theirs = Run(false, key, iv, cipher, 32, a);
        int ours = seed::CbcDecrypt(rk, iv, cipher, 32, b, sizeof b);
        if (theirs < 0) {
            ASSERT_EQ(seed::kErrPadding, ours);
        } else {
            ASSERT_EQ(theirs, ours);
            ASSERT_EQ(0, std::memcmp(a, b, static_cast<size_t>(ours)));
            ++accepted;
        }
    }
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, 100);
}

}  // namespace
