// SEED block cipher against RFC 4269's test vectors, and CBC with PKCS#7 against answers
// computed by OpenSSL's SEED-CBC (so these checks also hold on Windows, where OpenSSL is absent).
#include "crypto/seed.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct BlockVector {
    unsigned char key[16], plain[16], cipher[16];
};

// RFC 4269, Appendix B.
const BlockVector kRfcVectors[] = {
    {{0},
     {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F},
     {0x5E, 0xBA, 0xC6, 0xE0, 0x05, 0x4E, 0x16, 0x68, 0x19, 0xAF, 0xF1, 0xCC, 0x6D, 0x34, 0x6C, 0xDB}},
    {{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F},
     {0},
     {0xC1, 0x1F, 0x22, 0xF2, 0x01, 0x40, 0x50, 0x50, 0x84, 0x48, 0x35, 0x97, 0xE4, 0x37, 0x0F, 0x43}},
    {{0x47, 0x06, 0x48, 0x08, 0x51, 0xE6, 0x1B, 0xE8, 0x5D, 0x74, 0xBF, 0xB3, 0xFD, 0x95, 0x61, 0x85},
     {0x83, 0xA2, 0xF8, 0xA2, 0x88, 0x64, 0x1F, 0xB9, 0xA4, 0xE9, 0xA5, 0xCC, 0x2F, 0x13, 0x1C, 0x7D},
     {0xEE, 0x54, 0xD1, 0x3E, 0xBC, 0xAE, 0x70, 0x6D, 0x22, 0x6B, 0xC3, 0x14, 0x2C, 0xD4, 0x0D, 0x4A}},
    {{0x28, 0xDB, 0xC3, 0xBC, 0x49, 0xFF, 0xD8, 0x7D, 0xCF, 0xA5, 0x09, 0xB1, 0x1D, 0x42, 0x2B, 0xE7},
     {0xB4, 0x1E, 0x6B, 0xE2, 0xEB, 0xA8, 0x4A, 0x14, 0x8E, 0x2E, 0xED, 0x84, 0x59, 0x3C, 0x5E, 0xC7},
     {0x9B, 0x9B, 0x7B, 0xFC, 0xD1, 0x81, 0x3C, 0xB9, 0x5D, 0x0B, 0x36, 0x18, 0xF4, 0x0F, 0x51, 0x22}},
};

const unsigned char kIv[16] = {'X', 'J', 'Q', 'M', 'F', 'R', 'W', 'L', 'T', 'D', 'K', 'Z', 'P', 'V', '0', '7'};
const unsigned char kKey[16] = {'4', '8', '2', '1', '0', '9', '3', '3', '7', '7', '1', '6', '0', '2', '5', '4'};

// openssl enc -seed-cbc with kKey and kIv over STX "0123456789ABCDEF" ETX 'A' (19 bytes)...
const unsigned char kFrame[] = "\x02" "0123456789ABCDEF\x03" "A";
const unsigned char kFrameCipher[32] = {
    0x69, 0x3a, 0xa6, 0x12, 0x98, 0x2e, 0x3f, 0xa5, 0xc4, 0xc6, 0x41, 0xc4, 0xc8, 0x2d, 0x7c, 0x7c,
    0xa1, 0x91, 0x3a, 0x40, 0xea, 0x46, 0x9d, 0x6e, 0x99, 0xbf, 0x91, 0x2f, 0xf6, 0x0d, 0x37, 0x31};
// ... and over "SEED-CBC-PKCS#7!" (one whole block: a full block of padding follows).
const unsigned char kBlockCipher[32] = {
    0xed, 0x57, 0x49, 0x74, 0x20, 0xd2, 0xd3, 0x38, 0x7a, 0x7f, 0x5f, 0x45, 0x1b, 0x0d, 0x39, 0xd4,
    0xf1, 0xf9, 0x51, 0xca, 0x1f, 0xf7, 0x2b, 0x61, 0xda, 0x24, 0x78, 0xa1, 0x42, 0x29, 0x86, 0x81};

seed::RoundKeys Keys(const unsigned char* key) {
    seed::RoundKeys rk;
    seed::KeySchedule(key, &rk);
    return rk;
}

TEST(SeedBlock, RfcVectorsEncryptAndDecrypt) {
    for (const BlockVector& v : kRfcVectors) {
        seed::RoundKeys rk = Keys(v.key);
        unsigned char out[16], back[16];
        seed::EncryptBlock(rk, v.plain, out);
        EXPECT_EQ(0, std::memcmp(out, v.cipher, 16));
        seed::DecryptBlock(rk, v.cipher, back);
        EXPECT_EQ(0, std::memcmp(back, v.plain, 16));
    }
}

TEST(SeedCbc, MatchesOpenSslAnswers) {
    seed::RoundKeys rk = Keys(kKey);
    unsigned char out[64];
    ASSERT_EQ(32, seed::CbcEncrypt(rk, kIv, kFrame, 19, out, sizeof out));
    EXPECT_EQ(0, std::memcmp(out, kFrameCipher, 32));
    ASSERT_EQ(32, seed::CbcEncrypt(rk, kIv, reinterpret_cast<const unsigned char*>("SEED-CBC-PKCS#7!"), 16,
                                   out, sizeof out));
    EXPECT_EQ(0, std::memcmp(out, kBlockCipher, 32));

    unsigned char plain[64];
    ASSERT_EQ(19, seed::CbcDecrypt(rk, kIv, kFrameCipher, 32, plain, sizeof plain));
    EXPECT_EQ(0, std::memcmp(plain, kFrame, 19));
    ASSERT_EQ(16, seed::CbcDecrypt(rk, kIv, kBlockCipher, 32, plain, sizeof plain));
    EXPECT_EQ(0, std::memcmp(plain, "SEED-CBC-PKCS#7!", 16));
}

TEST(SeedCbc, RoundTripsEveryLengthAndWorksInPlace) {
    seed::RoundKeys rk = Keys(kKey);
    std::vector<unsigned char> data(600), buf(700), back(700);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 3);
    for (int len = 0; len <= 530; ++len) {
        int n = seed::CbcEncrypt(rk, kIv, data.data(), len, buf.data(), static_cast<int>(buf.size()));
        ASSERT_EQ((len / 16 + 1) * 16, n) << len;
        ASSERT_EQ(len, seed::CbcDecrypt(rk, kIv, buf.data(), n, back.data(), static_cast<int>(back.size())));
        ASSERT_EQ(0, std::memcmp(back.data(), data.data(), static_cast<size_t>(len))) << len;

        // In place: the same buffer in and out, both ways.
        std::memcpy(back.data(), data.data(), static_cast<size_t>(len));
        ASSERT_EQ(n, seed::CbcEncrypt(rk, kIv, back.data(), len, back.data(), static_cast<int>(back.size())));
        ASSERT_EQ(0, std::memcmp(back.data(), buf.data(), static_cast<size_t>(n))) << len;
        ASSERT_EQ(len, seed::CbcDecrypt(rk, kIv, back.data(), n, back.data(), static_cast<int>(back.size())));
        ASSERT_EQ(0, std::memcmp(back.data(), data.data(), static_cast<size_t>(len))) << len;
    }
}

TEST(SeedCbc, OutputCapacityIsNeverPassed) {
    seed::RoundKeys rk = Keys(kKey);
    std::vector<unsigned char> in(5200, 0x5A), out(5300, 0xEE);
    // 5119 bytes pad to exactly 5120; 5120 bytes would need 5136.
    EXPECT_EQ(5120, seed::CbcEncrypt(rk, kIv, in.data(), 5119, out.data(), 5120));
    std::fill(out.begin(), out.end(), 0xEE);
    EXPECT_EQ(seed::kErrLength, seed::CbcEncrypt(rk, kIv, in.data(), 5120, out.data(), 5120));
    EXPECT_EQ(0xEE, out[0]) << "nothing written on failure";

    // A plaintext of 40 bytes decrypted into room for 39: refused, and nothing written.
    unsigned char cipher[48], plain[64];
    ASSERT_EQ(48, seed::CbcEncrypt(rk, kIv, in.data(), 40, cipher, sizeof cipher));
    std::memset(plain, 0xEE, sizeof plain);
    EXPECT_EQ(seed::kErrLength, seed::CbcDecrypt(rk, kIv, cipher, 48, plain, 39));
    EXPECT_EQ(0xEE, plain[0]);
    // With exact room it fits, and the padding is not written past the plaintext.
    EXPECT_EQ(40, seed::CbcDecrypt(rk, kIv, cipher, 48, plain, 40));
    EXPECT_EQ(0xEE, plain[40]);
}

TEST(SeedCbc, DecryptRejectsBadLengthsAndPadding) {
    seed::RoundKeys rk = Keys(kKey);
    unsigned char plain[64];
    EXPECT_EQ(seed::kErrLength, seed::CbcDecrypt(rk, kIv, kFrameCipher, 0, plain, sizeof plain));
    EXPECT_EQ(seed::kErrLength, seed::CbcDecrypt(rk, kIv, kFrameCipher, 31, plain, sizeof plain));
    EXPECT_EQ(seed::kErrLength, seed::CbcDecrypt(rk, kIv, kFrameCipher, 17, plain, sizeof plain));
    EXPECT_EQ(seed::kErrLength, seed::CbcDecrypt(rk, kIv, kFrameCipher, -16, plain, sizeof plain));

    // Encrypt chosen final blocks (the padding the decryptor will see) with no padding of our own:
    // CBC over whole blocks is encrypt-block of (plain XOR previous).
    auto finalBlockWith = [&](const unsigned char tail[16], unsigned char cipher[16]) {
        unsigned char x[16];
        for (int i = 0; i < 16; ++i) x[i] = tail[i] ^ kIv[i];
        seed::EncryptBlock(rk, x, cipher);
    };
    unsigned char tail[16], cipher[16];
    const struct { int last; int alsoAt; unsigned char alsoValue; } bad[] = {
        {0, -1, 0},      // pad length 0
        {17, -1, 0},     // longer than a block
        {0xFF, -1, 0},
        {3, 14, 0x02},   // the pad bytes disagree
        {16, 0, 0x00},   // a full pad block with one wrong byte
    };
    for (const auto& b : bad) {
        std::memset(tail, b.last, 16);
        if (b.alsoAt >= 0) tail[b.alsoAt] = b.alsoValue;
        tail[15] = static_cast<unsigned char>(b.last);
        finalBlockWith(tail, cipher);
        std::memset(plain, 0xEE, sizeof plain);
        EXPECT_EQ(seed::kErrPadding, seed::CbcDecrypt(rk, kIv, cipher, 16, plain, sizeof plain)) << b.last;
        EXPECT_EQ(0xEE, plain[0]) << "nothing written on failure";
    }
    // The same construction with good padding decrypts: the check above is about the padding.
    std::memset(tail, 'a', 16);
    tail[14] = tail[15] = 2;
    finalBlockWith(tail, cipher);
    EXPECT_EQ(14, seed::CbcDecrypt(rk, kIv, cipher, 16, plain, sizeof plain));

    // Tampering with the last byte of the next-to-last block flips the last padding byte.
    unsigned char tampered[32];
    std::memcpy(tampered, kFrameCipher, 32);
    tampered[15] ^= 0x01;
    EXPECT_EQ(seed::kErrPadding, seed::CbcDecrypt(rk, kIv, tampered, 32, plain, sizeof plain));
}

}  // namespace
