// The CL_ library on its own: state rules, key pools and handle checks, and the refusal of
// every malformed key blob and parameter block.
#include "crypto/adapter.h"
#include "crypto/crypto_library.h"
#include "crypto/test_keys.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

const unsigned char kKey[16] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '1', '2', '3', '4', '5', '6'};

struct SeedCall {
    unsigned char blob[22];
    unsigned char params[52];
    SeedCall() {
        BuildKeyBlob(CL_KEYID_SEED, kKey, 16, blob, sizeof blob);
        FillSeedParams(params, g_envelopeIv);
    }
};

void Ready() {
    CL_Initialize();
    ASSERT_EQ(CL_OK, CL_ChangeState(CL_STATE_READY));
}

// ctest runs each case in a process of its own, so this one sees the library untouched.
TEST(CryptoLibrary, StateRulesFromAFreshStart) {
    if (CL_GetState() != CL_STATE_UNINITIALISED) GTEST_SKIP() << "needs a fresh process (run by ctest)";
    SeedCall call;
    unsigned char out[64];
    int outLen = -1;
    EXPECT_EQ(CL_ERR_STATE, CL_ChangeState(CL_STATE_READY)) << "not before initialisation";
    EXPECT_EQ(CL_STATE_INITIALISED, CL_Initialize());

    CL_SecretKey* key = CL_SecretKey_New();
    ASSERT_EQ(CL_OK, CL_SecretKey_FromBinary(key, call.blob, sizeof call.blob));
    EXPECT_EQ(CL_ERR_STATE, CL_Cipher_Encrypt(out, &outLen, kKey, 16, key, CL_ALG_SEED, call.params));
    EXPECT_EQ(0, outLen);

    EXPECT_EQ(CL_ERR_STATE, CL_ChangeState(3));
    EXPECT_EQ(CL_OK, CL_ChangeState(CL_STATE_READY));
    EXPECT_EQ(CL_OK, CL_ChangeState(CL_STATE_READY)) << "asking again is harmless";
    EXPECT_EQ(CL_STATE_READY, CL_Initialize()) << "a second start must not undo READY";
    EXPECT_EQ(CL_OK, CL_Cipher_Encrypt(out, &outLen, kKey, 16, key, CL_ALG_SEED, call.params));
    EXPECT_EQ(32, outLen);
    EXPECT_EQ(CL_OK, CL_SecretKey_Free(key));
}

TEST(CryptoLibrary, SecretKeyBlobsAreChecked) {
    Ready();
    CL_SecretKey* key = CL_SecretKey_New();
    ASSERT_NE(nullptr, key);
    unsigned char blob[64];
    BuildKeyBlob(CL_KEYID_SEED, kKey, 16, blob, sizeof blob);
    EXPECT_EQ(CL_OK, CL_SecretKey_FromBinary(key, blob, 22));

    EXPECT_EQ(CL_ERR_KEY_BLOB, CL_SecretKey_FromBinary(key, blob, 21)) << "length field says 16";
    EXPECT_EQ(CL_ERR_KEY_BLOB, CL_SecretKey_FromBinary(key, blob, 23));
    EXPECT_EQ(CL_ERR_KEY_BLOB, CL_SecretKey_FromBinary(key, blob, 5));
    EXPECT_EQ(CL_ERR_ARGUMENT, CL_SecretKey_FromBinary(key, nullptr, 22));
    EXPECT_EQ(CL_ERR_ARGUMENT, CL_SecretKey_FromBinary(key, blob, -1));

    unsigned char other[64];
    BuildKeyBlob(CL_KEYID_RSA, kKey, 16, other, sizeof other);
    EXPECT_EQ(CL_ERR_KEY_BLOB, CL_SecretKey_FromBinary(key, other, 22)) << "RSA identifier";
    BuildKeyBlob(0x01000008UL, kKey, 16, other, sizeof other);
    EXPECT_EQ(CL_ERR_KEY_BLOB, CL_SecretKey_FromBinary(key, other, 22));

    for (int len : {0, 15, 17, 32, 34}) {
        unsigned char k[40] = {};
        ASSERT_EQ(len + 6, BuildKeyBlob(CL_KEYID_SEED, k, len, other, sizeof other));
        EXPECT_EQ(CL_ERR_KEY, CL_SecretKey_FromBinary(key, other, len + 6)) << len;
    }
    EXPECT_EQ(CL_OK, CL_SecretKey_Free(key));
}

TEST(CryptoLibrary, SeedParameterBlocksAndCallsAreChecked) {
    Ready();
    SeedCall call;
    CL_SecretKey* key = CL_SecretKey_New();
    unsigned char out[64];
    int outLen = 0;
    EXPECT_EQ(CL_ERR_NO_KEY, CL_Cipher_Encrypt(out, &outLen, kKey, 16, key, CL_ALG_SEED, call.params));
    ASSERT_EQ(CL_OK, CL_SecretKey_FromBinary(key, call.blob, 22));
    ASSERT_EQ(CL_OK, CL_Cipher_Encrypt(out, &outLen, kKey, 16, key, CL_ALG_SEED, call.params));

    // Any one field off its value: mode, IV length, padding, the reserved words, the IV tail.
    const struct { int offset; unsigned char value; } changes[] = {
        {0, 1}, {4, 1}, {4, 3}, {5, 1}, {40, 8}, {40, 32}, {44, 1}, {48, 1}, {48, 0}, {51, 1}, {24, 1}, {39, 1}};
    for (const auto& c : changes) {
        unsigned char p[52];
        std::memcpy(p, call.params, 52);
        p[c.offset] = c.value;
        EXPECT_EQ(CL_ERR_PARAMS, CL_Cipher_Encrypt(out, &outLen, kKey, 16, key, CL_ALG_SEED, p)) << c.offset;
        EXPECT_EQ(CL_ERR_PARAMS, CL_Cipher_Decrypt(out, &outLen, out, 32, key, CL_ALG_SEED, p)) << c.offset;
    }
    EXPECT_EQ(CL_ERR_PARAMS, CL_Cipher_Encrypt(out, &outLen, kKey, 16, key, CL_ALG_SEED, nullptr));
    EXPECT_EQ(CL_ERR_ALGORITHM, CL_Cipher_Encrypt(out, &outLen, kKey, 16, key, CL_ALG_RSA, call.params));
    EXPECT_EQ(CL_ERR_ARGUMENT, CL_Cipher_Encrypt(nullptr, &outLen, kKey, 16, key, CL_ALG_SEED, call.params));
    EXPECT_EQ(CL_ERR_ARGUMENT, CL_Cipher_Encrypt(out, nullptr, kKey, 16, key, CL_ALG_SEED, call.params));
    EXPECT_EQ(CL_ERR_ARGUMENT, CL_Cipher_Encrypt(out, &outLen, nullptr, 16, key, CL_ALG_SEED, call.params));
    EXPECT_EQ(CL_ERR_ARGUMENT, CL_Cipher_Decrypt(out, &outLen, kKey, -16, key, CL_ALG_SEED, call.params));
    // An empty request still encrypts (one block of padding) and comes back empty.
    EXPECT_EQ(CL_OK, CL_Cipher_Encrypt(out, &outLen, nullptr, 0, key, CL_ALG_SEED, call.params));
    EXPECT_EQ(16, outLen);
    EXPECT_EQ(CL_OK, CL_Cipher_Decrypt(out + 16, &outLen, out, 16, key, CL_ALG_SEED, call.params));
    EXPECT_EQ(0, outLen);
    EXPECT_EQ(CL_OK, CL_SecretKey_Free(key));
}

TEST(CryptoLibrary, HandlesOutsideThePoolOrFreedAreRefused) {
    Ready();
    SeedCall call;
    unsigned char out[64];
    int outLen = 0;
    // A pointer that was never a handle: zero bytes dressed as one.
    alignas(64) unsigned char fake[512] = {};
    auto* bogus = reinterpret_cast<CL_SecretKey*>(fake);
    EXPECT_EQ(CL_ERR_HANDLE, CL_SecretKey_FromBinary(bogus, call.blob, 22));
    EXPECT_EQ(CL_ERR_HANDLE, CL_Cipher_Encrypt(out, &outLen, kKey, 16, bogus, CL_ALG_SEED, call.params));
    EXPECT_EQ(CL_ERR_HANDLE, CL_SecretKey_Free(bogus));
    EXPECT_EQ(CL_ERR_HANDLE, CL_PublicKey_Free(reinterpret_cast<CL_PublicKey*>(fake)));
    EXPECT_EQ(CL_OK, CL_SecretKey_Free(nullptr));
    EXPECT_EQ(CL_OK, CL_PublicKey_Free(nullptr));

    CL_SecretKey* key = CL_SecretKey_New();
    ASSERT_EQ(CL_OK, CL_SecretKey_FromBinary(key, call.blob, 22));
    ASSERT_EQ(CL_OK, CL_SecretKey_Free(key));
    EXPECT_EQ(CL_ERR_HANDLE, CL_SecretKey_Free(key)) << "double free";
    EXPECT_EQ(CL_ERR_HANDLE, CL_Cipher_Encrypt(out, &outLen, kKey, 16, key, CL_ALG_SEED, call.params));
}

TEST(CryptoLibrary, PoolRunsDryAndRefills) {
    Ready();
    SeedCall call;
    std::vector<CL_SecretKey*> secret;
    std::vector<CL_PublicKey*> pub;
    for (int i = 0; i < CL_KEY_POOL_SIZE; ++i) {
        secret.push_back(CL_SecretKey_New());
        pub.push_back(CL_PublicKey_New());
        ASSERT_NE(nullptr, secret.back());
        ASSERT_NE(nullptr, pub.back());
    }
    for (int i = 0; i < CL_KEY_POOL_SIZE; ++i)
        for (int j = 0; j < i; ++j) ASSERT_NE(secret[i], secret[j]);
    EXPECT_EQ(nullptr, CL_SecretKey_New());
    EXPECT_EQ(nullptr, CL_PublicKey_New());
    // What the adapter does with the null it got: every step fails, nothing crashes.
    EXPECT_EQ(CL_ERR_HANDLE, CL_SecretKey_FromBinary(nullptr, call.blob, 22));
    unsigned char out[64];
    int outLen = 0;
    EXPECT_NE(0, SeedEncrypt(g_envelopeIv, kKey, 16, kKey, 16, out, &outLen));
    EXPECT_NE(0, RsaPublicEncrypt(kTestPublicDer, kTestPublicDerLen, kKey, 16, out, &outLen));

    for (auto* k : secret) EXPECT_EQ(CL_OK, CL_SecretKey_Free(k));
    for (auto* k : pub) EXPECT_EQ(CL_OK, CL_PublicKey_Free(k));
    EXPECT_EQ(0, SeedEncrypt(g_envelopeIv, kKey, 16, kKey, 16, out, &outLen));
    EXPECT_EQ(32, outLen);
}

TEST(CryptoLibrary, PublicKeyBlobsParametersAndLengthsAreChecked) {
    CL_Initialize();
    unsigned char blob[400], params[20], out[512];
    int outLen = 0;
    FillRsaParams(params);
    CL_PublicKey* key = CL_PublicKey_New();
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(CL_ERR_NO_KEY, CL_PublicKey_Encrypt(out, &outLen, kKey, 16, CL_ALG_RSA, key, 0, params));

    int n = BuildKeyBlob(CL_KEYID_RSA, kTestPublicDer, kTestPublicDerLen, blob, sizeof blob);
    ASSERT_EQ(144, n);
    EXPECT_EQ(CL_ERR_KEY_BLOB, CL_PublicKey_FromBinary(key, blob, n - 1));
    blob[3] = 0x09;
    EXPECT_EQ(CL_ERR_KEY_BLOB, CL_PublicKey_FromBinary(key, blob, n)) << "SEED identifier";
    blob[3] = 0x01;
    ASSERT_EQ(CL_OK, CL_PublicKey_FromBinary(key, blob, n));

    EXPECT_EQ(CL_OK, CL_PublicKey_Encrypt(out, &outLen, kKey, 16, CL_ALG_RSA, key, 0, params));
    EXPECT_EQ(128, outLen);
    unsigned char big[118] = {};
    EXPECT_EQ(CL_OK, CL_PublicKey_Encrypt(out, &outLen, big, 117, CL_ALG_RSA, key, 0, params));
    EXPECT_EQ(CL_ERR_LENGTH, CL_PublicKey_Encrypt(out, &outLen, big, 118, CL_ALG_RSA, key, 0, params));
    EXPECT_EQ(0, outLen);
    EXPECT_EQ(CL_ERR_ALGORITHM, CL_PublicKey_Encrypt(out, &outLen, kKey, 16, CL_ALG_SEED, key, 0, params));
    EXPECT_EQ(CL_ERR_PARAMS, CL_PublicKey_Encrypt(out, &outLen, kKey, 16, CL_ALG_RSA, key, 1, params));
    EXPECT_EQ(CL_ERR_PARAMS, CL_PublicKey_Encrypt(out, &outLen, kKey, 16, CL_ALG_RSA, key, 0, nullptr));
    for (int offset : {0, 4, 8, 12, 16, 19}) {
        unsigned char p[20];
        std::memcpy(p, params, 20);
        p[offset] ^= 0x02;
        EXPECT_EQ(CL_ERR_PARAMS, CL_PublicKey_Encrypt(out, &outLen, kKey, 16, CL_ALG_RSA, key, 0, p)) << offset;
    }
    EXPECT_EQ(CL_OK, CL_PublicKey_Free(key));
}

}  // namespace
