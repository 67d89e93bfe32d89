// RSA through the adapter: what it encrypts decrypts with the test private key (OpenSSL on
// Linux, CryptoAPI's own import of the key on Windows), padding is random, bad keys are refused.
#include "crypto/adapter.h"
#include "crypto/rsa_key_der.h"
#include "crypto/server_key.h"
#include "crypto/test_keys.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const unsigned char kSessionKey[16] = {'3', '1', '4', '1', '5', '9', '2', '6', '5', '3', '5', '8', '9', '7', '9', '3'};

TEST(RsaEncrypt, SessionKeyDecryptsWithThePrivateKey) {
    unsigned char out[5120], plain[512];
    int outLen = 0;
    ASSERT_EQ(0, RsaPublicEncrypt(kTestPublicDer, kTestPublicDerLen, kSessionKey, 16, out, &outLen));
    ASSERT_EQ(128, outLen);
    ASSERT_EQ(16, TestPrivateDecrypt(out, outLen, plain, sizeof plain));
    EXPECT_EQ(0, std::memcmp(plain, kSessionKey, 16));
}

TEST(RsaEncrypt, PaddingIsFreshEachTime) {
    unsigned char a[5120], b[5120], plain[512];
    int aLen = 0, bLen = 0;
    ASSERT_EQ(0, RsaPublicEncrypt(kTestPublicDer, kTestPublicDerLen, kSessionKey, 16, a, &aLen));
    ASSERT_EQ(0, RsaPublicEncrypt(kTestPublicDer, kTestPublicDerLen, kSessionKey, 16, b, &bLen));
    ASSERT_EQ(128, aLen);
    ASSERT_EQ(128, bLen);
    EXPECT_NE(0, std::memcmp(a, b, 128));
    ASSERT_EQ(16, TestPrivateDecrypt(b, bLen, plain, sizeof plain));
    EXPECT_EQ(0, std::memcmp(plain, kSessionKey, 16));
}

TEST(RsaEncrypt, EmbeddedKeyIsTheTestKeyByDefault) {
    if (!kProgramEmbedsTestKey) GTEST_SKIP() << "built with another server key";
    unsigned char out[5120], plain[512];
    int outLen = 0;
    ASSERT_EQ(0, RsaPublicEncrypt(g_serverPublicKey, g_serverPublicKeyLen, kSessionKey, 16, out, &outLen));
    ASSERT_EQ(16, TestPrivateDecrypt(out, outLen, plain, sizeof plain));
    EXPECT_EQ(0, std::memcmp(plain, kSessionKey, 16));
}

// The fingerprint names the key actually embedded, and "test key" only for the test key.
TEST(ServerKey, FingerprintIsTheStartOfTheEmbeddedKeysSha256) {
    unsigned char digest[32];
    ASSERT_TRUE(TestSha256(g_serverPublicKey, g_serverPublicKeyLen, digest));
    char hex[17] = {};
    for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_STREQ(ServerKeyFingerprint(), hex);
    EXPECT_EQ(ServerKeyIsTestKey(), kProgramEmbedsTestKey);
    EXPECT_EQ(std::string(ServerKeyLine()),
              std::string("server key: ") + hex + (kProgramEmbedsTestKey ? " (test key)" : ""));
}

TEST(RsaEncrypt, LongestMessageFitsAndOneMoreDoesNot) {
    unsigned char msg[118], out[5120], plain[512];
    for (int i = 0; i < 118; ++i) msg[i] = static_cast<unsigned char>(0xFF - i);
    int outLen = 0;
    ASSERT_EQ(0, RsaPublicEncrypt(kTestPublicDer, kTestPublicDerLen, msg, 117, out, &outLen));
    ASSERT_EQ(117, TestPrivateDecrypt(out, outLen, plain, sizeof plain));
    EXPECT_EQ(0, std::memcmp(plain, msg, 117));
    EXPECT_NE(0, RsaPublicEncrypt(kTestPublicDer, kTestPublicDerLen, msg, 118, out, &outLen));
    EXPECT_NE(0, RsaPublicEncrypt(kTestPublicDer, kTestPublicDerLen, msg, -1, out, &outLen));
    EXPECT_NE(0, RsaPublicEncrypt(kTestPublicDer, kTestPublicDerLen, nullptr, 16, out, &outLen));
}

TEST(RsaEncrypt, MalformedKeysAreRefused) {
    unsigned char out[5120];
    int outLen = 0;
    std::vector<unsigned char> der(kTestPublicDer, kTestPublicDer + kTestPublicDerLen);
    auto refused = [&](std::vector<unsigned char> k) {
        return RsaPublicEncrypt(k.data(), static_cast<int>(k.size()), kSessionKey, 16, out, &outLen) != 0;
    };
    EXPECT_TRUE(refused(std::vector<unsigned char>(der.begin(), der.end() - 1))) << "truncated";
    auto trailing = der;
    trailing.push_back(0);
    EXPECT_TRUE(refused(trailing)) << "byte after the key";
    auto wrongTag = der;
    wrongTag[0] = 0x31;
    EXPECT_TRUE(refused(wrongTag));
    auto negative = der;
    negative[6] = 0x80;  // sign byte of the modulus
    EXPECT_TRUE(refused(negative));
    auto evenExponent = der;
    evenExponent[137] = 0x02;
    EXPECT_TRUE(refused(evenExponent));
    auto lengthLies = der;
    lengthLies[2] = 0x88;
    EXPECT_TRUE(refused(lengthLies));
    EXPECT_TRUE(refused(std::vector<unsigned char>(363, 0x30))) << "over the adapter's 362 bytes";
    EXPECT_TRUE(refused(std::vector<unsigned char>{0x30, 0x00}));
    EXPECT_NE(0, RsaPublicEncrypt(nullptr, 138, kSessionKey, 16, out, &outLen));
    EXPECT_NE(0, RsaPublicEncrypt(kTestPublicDer, -5, kSessionKey, 16, out, &outLen));
    EXPECT_EQ(0, outLen);
}

TEST(RsaKeyDer, FindsModulusAndExponent) {
    RsaKeyView v{};
    ASSERT_TRUE(ParseRsaPublicKeyDer(kTestPublicDer, kTestPublicDerLen, &v));
    EXPECT_EQ(128, v.modulusLen);
    EXPECT_EQ(kTestPublicDer + 7, v.modulus);
    ASSERT_EQ(1, v.exponentLen);
    EXPECT_EQ(3, v.exponent[0]);
    // Every truncation of a good key is refused; each sits in a heap block of its own length so
    // that the address sanitizer sees any read past it.
    for (int len = 1; len < kTestPublicDerLen; ++len) {
        std::vector<unsigned char> cut(kTestPublicDer, kTestPublicDer + len);
        EXPECT_FALSE(ParseRsaPublicKeyDer(cut.data(), len, &v)) << len;
    }
}

}  // namespace
