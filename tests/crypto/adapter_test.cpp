// The adapter: the bytes it hands to the library, SEED through it end to end, its refusals, no
// lost key handles, and two threads using it at once (as the window thread and a worker do).
#include "crypto/adapter.h"
#include "crypto/crypto_library.h"
#include "crypto/test_keys.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

const unsigned char kKey[16] = {'4', '8', '2', '1', '0', '9', '3', '3', '7', '7', '1', '6', '0', '2', '5', '4'};
// OpenSSL's SEED-CBC of STX "0123456789ABCDEF" ETX 'A' under kKey and the envelope IV.
const unsigned char kFrame[] = "\x02" "0123456789ABCDEF\x03" "A";
const unsigned char kFrameCipher[32] = {
    0x69, 0x3a, 0xa6, 0x12, 0x98, 0x2e, 0x3f, 0xa5, 0xc4, 0xc6, 0x41, 0xc4, 0xc8, 0x2d, 0x7c, 0x7c,
    0xa1, 0x91, 0x3a, 0x40, 0xea, 0x46, 0x9d, 0x6e, 0x99, 0xbf, 0x91, 0x2f, 0xf6, 0x0d, 0x37, 0x31};

TEST(CryptoAdapter, EnvelopeIvAndEmbeddedKey) {
    EXPECT_EQ(0, std::memcmp(g_envelopeIv, "XJQMFRWLTDKZPV07", 16));
    ASSERT_EQ(138, g_serverPublicKeyLen);
    const unsigned char head[] = {0x30, 0x81, 0x87, 0x02, 0x81, 0x81, 0x00};
    const unsigned char tail[] = {0x02, 0x01, 0x03};
    EXPECT_EQ(0, std::memcmp(g_serverPublicKey, head, sizeof head));
    EXPECT_EQ(0, std::memcmp(g_serverPublicKey + 135, tail, sizeof tail));
    if (kProgramEmbedsTestKey) {
        ASSERT_EQ(kTestPublicDerLen, g_serverPublicKeyLen);
        EXPECT_EQ(0, std::memcmp(g_serverPublicKey, kTestPublicDer, 138));
    }
}

TEST(CryptoAdapter, KeyBlobs) {
    unsigned char blob[400];
    ASSERT_EQ(22, BuildKeyBlob(CL_KEYID_SEED, kKey, 16, blob, sizeof blob));
    const unsigned char seedHead[] = {0x01, 0x00, 0x00, 0x09, 0x00, 0x10};
    EXPECT_EQ(0, std::memcmp(blob, seedHead, 6));
    EXPECT_EQ(0, std::memcmp(blob + 6, kKey, 16));

    ASSERT_EQ(144, BuildKeyBlob(CL_KEYID_RSA, g_serverPublicKey, g_serverPublicKeyLen, blob, sizeof blob));
    const unsigned char rsaHead[] = {0x03, 0x00, 0x00, 0x01, 0x00, 0x8A};
    EXPECT_EQ(0, std::memcmp(blob, rsaHead, 6));
    EXPECT_EQ(0, std::memcmp(blob + 6, g_serverPublicKey, 138));

    // 362 bytes (the most the adapter takes) still fit; one byte more than the room does not.
    std::vector<unsigned char> big(362, 0xAB);
    ASSERT_EQ(368, BuildKeyBlob(CL_KEYID_RSA, big.data(), 362, blob, 368));
    EXPECT_EQ(0x01, blob[4]);
    EXPECT_EQ(0x6A, blob[5]);
    EXPECT_EQ(-1, BuildKeyBlob(CL_KEYID_RSA, big.data(), 362, blob, 367));
    EXPECT_EQ(-1, BuildKeyBlob(CL_KEYID_SEED, kKey, -1, blob, sizeof blob));
}

TEST(CryptoAdapter, ParameterBlocks) {
    unsigned char block[52];
    std::memset(block, 0xCC, sizeof block);
    FillSeedParams(block, g_envelopeIv);
    unsigned char expected[52] = {0, 0, 0, 0, 2, 0, 0, 0};
    std::memcpy(expected + 8, "XJQMFRWLTDKZPV07", 16);
    expected[40] = 16;
    expected[48] = 4;
    EXPECT_EQ(0, std::memcmp(block, expected, 52));

    unsigned char rsa[20];
    std::memset(rsa, 0xCC, sizeof rsa);
    FillRsaParams(rsa);
    const unsigned char rsaExpected[20] = {4, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(rsa, rsaExpected, 20));
}

TEST(CryptoAdapter, SeedMatchesOpenSslAndRoundTrips) {
    unsigned char out[5120], back[5120];
    int outLen = -1, backLen = -1;
    ASSERT_EQ(0, SeedEncrypt(g_envelopeIv, kKey, 16, kFrame, 19, out, &outLen));
    ASSERT_EQ(32, outLen);
    EXPECT_EQ(0, std::memcmp(out, kFrameCipher, 32));
    ASSERT_EQ(0, SeedDecrypt(g_envelopeIv, kKey, 16, out, outLen, back, &backLen));
    ASSERT_EQ(19, backLen);
    EXPECT_EQ(0, std::memcmp(back, kFrame, 19));

    // A 1-byte request and a full 4096-byte burst.
    std::vector<unsigned char> burst(4096);
    for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<unsigned char>(i % 251);
    for (int len : {1, 4096}) {
        ASSERT_EQ(0, SeedEncrypt(g_envelopeIv, kKey, 16, burst.data(), len, out, &outLen));
        EXPECT_EQ((len / 16 + 1) * 16, outLen);
        ASSERT_EQ(0, SeedDecrypt(g_envelopeIv, kKey, 16, out, outLen, back, &backLen));
        ASSERT_EQ(len, backLen);
        EXPECT_EQ(0, std::memcmp(back, burst.data(), static_cast<size_t>(len)));
    }
}

TEST(CryptoAdapter, SeedRefusals) {
    unsigned char out[5200], back[5200];
    int outLen = 0, backLen = 0;
    ASSERT_EQ(0, SeedEncrypt(g_envelopeIv, kKey, 16, kFrame, 19, out, &outLen));

    unsigned char tampered[32];
    std::memcpy(tampered, out, 32);
    tampered[15] ^= 0x04;  // lands in the last block's padding
    EXPECT_NE(0, SeedDecrypt(g_envelopeIv, kKey, 16, tampered, 32, back, &backLen));
    EXPECT_NE(0, SeedDecrypt(g_envelopeIv, kKey, 16, out, 31, back, &backLen));
    EXPECT_NE(0, SeedDecrypt(g_envelopeIv, kKey, 16, out, 0, back, &backLen));
    EXPECT_NE(0, SeedDecrypt(g_envelopeIv, kKey, 16, out, -32, back, &backLen));
    EXPECT_EQ(0, backLen);
    // The wrong session key almost never yields valid padding; this one does not.
    const unsigned char otherKey[16] = {'9', '9', '9', '9', '9', '9', '9', '9', '9', '9', '9', '9', '9', '9', '9', '9'};
    EXPECT_NE(0, SeedDecrypt(g_envelopeIv, otherKey, 16, out, 32, back, &backLen));

    // Key lengths: the library takes 16; the adapter's own limit is 34.
    unsigned char longKey[40];
    std::memset(longKey, '7', sizeof longKey);
    for (int len : {0, 15, 17, 34, 35, -1})
        EXPECT_NE(0, SeedEncrypt(g_envelopeIv, longKey, len, kFrame, 19, out, &outLen)) << len;
    EXPECT_NE(0, SeedEncrypt(nullptr, kKey, 16, kFrame, 19, out, &outLen));
    EXPECT_NE(0, SeedEncrypt(g_envelopeIv, nullptr, 16, kFrame, 19, out, &outLen));

    // Output capacity 5120: 5119 bytes pad to 5120, 5120 bytes would need 5136.
    std::vector<unsigned char> big(5200, 'x');
    EXPECT_EQ(0, SeedEncrypt(g_envelopeIv, kKey, 16, big.data(), 5119, out, &outLen));
    EXPECT_EQ(5120, outLen);
    EXPECT_EQ(0, SeedDecrypt(g_envelopeIv, kKey, 16, out, 5120, back, &backLen));
    EXPECT_EQ(5119, backLen);
    EXPECT_NE(0, SeedEncrypt(g_envelopeIv, kKey, 16, big.data(), 5120, out, &outLen));
    EXPECT_EQ(0, outLen);
}

TEST(CryptoAdapter, FailingCallsGiveTheirHandlesBack) {
    unsigned char out[5120];
    int outLen = 0;
    unsigned char junk[48];
    std::memset(junk, 0x41, sizeof junk);
    unsigned char badDer[138];
    std::memcpy(badDer, kTestPublicDer, 138);
    badDer[0] = 0x31;
    for (int i = 0; i < 10 * CL_KEY_POOL_SIZE; ++i) {
        ASSERT_NE(0, SeedDecrypt(g_envelopeIv, kKey, 16, junk, 48, out, &outLen));       // padding
        ASSERT_NE(0, SeedDecrypt(g_envelopeIv, kKey, 16, junk, 47, out, &outLen));       // length
        ASSERT_NE(0, SeedEncrypt(g_envelopeIv, junk, 17, junk, 16, out, &outLen));       // key length
        ASSERT_NE(0, RsaPublicEncrypt(badDer, 138, kKey, 16, out, &outLen));             // key
        ASSERT_NE(0, RsaPublicEncrypt(kTestPublicDer, 138, junk, 200, out, &outLen));    // length
    }
    std::vector<CL_SecretKey*> secret;
    std::vector<CL_PublicKey*> pub;
    for (int i = 0; i < CL_KEY_POOL_SIZE; ++i) {
        secret.push_back(CL_SecretKey_New());
        pub.push_back(CL_PublicKey_New());
        EXPECT_NE(nullptr, secret.back()) << "a failing call kept a secret-key slot";
        EXPECT_NE(nullptr, pub.back()) << "a failing call kept a public-key slot";
    }
    for (auto* k : secret) CL_SecretKey_Free(k);
    for (auto* k : pub) CL_PublicKey_Free(k);
}

TEST(CryptoAdapter, ConcurrentCallersDoNotDisturbEachOther) {
    const int threads = 4, rounds = 300;
    std::vector<int> failures(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([t, &failures] {
            unsigned char key[16], frame[300], out[5120], back[5120];
            for (int i = 0; i < 16; ++i) key[i] = static_cast<unsigned char>('0' + (t * 7 + i) % 10);
            for (int r = 0; r < rounds; ++r) {
                int len = 1 + (r * 37 + t) % 300, outLen = 0, backLen = 0;
                for (int i = 0; i < len; ++i) frame[i] = static_cast<unsigned char>(r + i + t);
                if (SeedEncrypt(g_envelopeIv, key, 16, frame, len, out, &outLen) != 0 ||
                    SeedDecrypt(g_envelopeIv, key, 16, out, outLen, back, &backLen) != 0 || backLen != len ||
                    std::memcmp(back, frame, static_cast<size_t>(len)) != 0)
                    ++failures[t];
                if (r % 10 == 0 && (RsaPublicEncrypt(kTestPublicDer, kTestPublicDerLen, key, 16, out, &outLen) != 0 ||
                                    outLen != 128))
                    ++failures[t];
            }
        });
    }
    for (auto& th : pool) th.join();
    for (int t = 0; t < threads; ++t) EXPECT_EQ(0, failures[t]) << "thread " << t;
}

}  // namespace
