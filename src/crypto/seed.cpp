// SEED-128 after RFC 4269. The S-boxes are computed at compile time from their definition
// (an affine map of a power in GF(2^8)) so that no 4 KB table has to be trusted by eye.
#include "crypto/seed.h"

#include "sys/sys.h"

#include <cstring>

namespace seed {
namespace {

using u32 = std::uint32_t;

// GF(2^8) modulo x^8 + x^6 + x^5 + x + 1.
constexpr unsigned GfMul(unsigned a, unsigned b) {
    unsigned r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a <<= 1;
        if (a & 0x100) a ^= 0x163;
        b >>= 1;
    }
    return r;
}

constexpr unsigned GfPow(unsigned a, unsigned e) {
    unsigned r = 1;
    while (e) {
        if (e & 1) r = GfMul(r, a);
        a = GfMul(a, a);
        e >>= 1;
    }
    return r;
}

// S(x) = A * x^e + c, with A given by the images of the eight unit vectors (bit 0 first).
struct SboxDef {
    unsigned char columns[8];
    unsigned exponent;
    unsigned constant;
};
constexpr SboxDef kS1{{0x2c, 0xd0, 0x69, 0xc2, 0x41, 0x44, 0x58, 0xe2}, 247, 169};
constexpr SboxDef kS2{{0xd0, 0x2a, 0xe1, 0x2c, 0x21, 0x30, 0xa2, 0x6c}, 251, 56};

constexpr unsigned Sbox(const SboxDef& s, unsigned x) {
    unsigned y = GfPow(x, s.exponent), r = s.constant;
    for (int i = 0; i < 8; ++i)
        if (y >> i & 1) r ^= s.columns[i];
    return r;
}

// The G function as four lookups: SS[j][x] is byte j's share of G with the other bytes zero.
struct GTables {
    u32 ss[4][256];
};

constexpr GTables MakeGTables() {
    constexpr unsigned m0 = 0xfc, m1 = 0xf3, m2 = 0xcf, m3 = 0x3f;
    GTables t{};
    for (unsigned x = 0; x < 256; ++x) {
        u32 y1 = Sbox(kS1, x), y2 = Sbox(kS2, x);
        t.ss[0][x] = (y1 & m3) << 24 | (y1 & m2) << 16 | (y1 & m1) << 8 | (y1 & m0);
        t.ss[1][x] = (y2 & m0) << 24 | (y2 & m3) << 16 | (y2 & m2) << 8 | (y2 & m1);
        t.ss[2][x] = (y1 & m1) << 24 | (y1 & m0) << 16 | (y1 & m3) << 8 | (y1 & m2);
        t.ss[3][x] = (y2 & m2) << 24 | (y2 & m1) << 16 | (y2 & m0) << 8 | (y2 & m3);
    }
    return t;
}

constexpr GTables kG = MakeGTables();
static_assert(Sbox(kS1, 0) == 0xa9 && Sbox(kS2, 0) == 0x38);

inline u32 G(u32 x) {
    return kG.ss[0][x & 0xff] ^ kG.ss[1][x >> 8 & 0xff] ^ kG.ss[2][x >> 16 & 0xff] ^ kG.ss[3][x >> 24];
}

inline u32 Load(const unsigned char* p) {
    return u32(p[0]) << 24 | u32(p[1]) << 16 | u32(p[2]) << 8 | u32(p[3]);
}

inline void Store(u32 v, unsigned char* p) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// Round constants: the golden ratio word rotated left by the round index.
constexpr u32 KC(int i) {
    constexpr u32 kc0 = 0x9e3779b9u;
    return i == 0 ? kc0 : (kc0 << i | kc0 >> (32 - i));
}

// Sixteen Feistel rounds; rk walks forwards (encrypt) or backwards (decrypt).
void Rounds(const RoundKeys& rk, bool decrypt, const unsigned char in[16], unsigned char out[16]) {
    u32 l0 = Load(in), l1 = Load(in + 4), r0 = Load(in + 8), r1 = Load(in + 12);
    for (int i = 0; i < 16; ++i) {
        int round = decrypt ? 15 - i : i;
        u32 t0 = r0 ^ rk.k[2 * round], t1 = r1 ^ rk.k[2 * round + 1];
        t1 = G(t1 ^ t0);
        t0 = G(t0 + t1);
        t1 = G(t1 + t0);
        t0 += t1;
        l0 ^= t0;
        l1 ^= t1;
        if (i != 15) {
            u32 s0 = l0, s1 = l1;
            l0 = r0, l1 = r1, r0 = s0, r1 = s1;
        }
    }
    Store(l0, out), Store(l1, out + 4), Store(r0, out + 8), Store(r1, out + 12);
}

inline void Xor16(unsigned char* dst, const unsigned char* a, const unsigned char* b) {
    for (int i = 0; i < 16; ++i) dst[i] = a[i] ^ b[i];
}

}  // namespace

void KeySchedule(const unsigned char key[kKeySize], RoundKeys* rk) {
    u32 a = Load(key), b = Load(key + 4), c = Load(key + 8), d = Load(key + 12);
    for (int i = 0; i < 16; ++i) {
        rk->k[2 * i] = G(a + c - KC(i));
        rk->k[2 * i + 1] = G(b - d + KC(i));
        if (i % 2 == 0) {  // A||B rotated right by 8 bits
            u32 t = a;
            a = a >> 8 | b << 24;
            b = b >> 8 | t << 24;
        } else {           // C||D rotated left by 8 bits
            u32 t = c;
            c = c << 8 | d >> 24;
            d = d << 8 | t >> 24;
        }
    }
}

void EncryptBlock(const RoundKeys& rk, const unsigned char in[kBlockSize], unsigned char out[kBlockSize]) {
    Rounds(rk, false, in, out);
}

void DecryptBlock(const RoundKeys& rk, const unsigned char in[kBlockSize], unsigned char out[kBlockSize]) {
    Rounds(rk, true, in, out);
}

int CbcEncrypt(const RoundKeys& rk, const unsigned char iv[kBlockSize], const unsigned char* in,
               int inLen, unsigned char* out, int outCap) {
    if (inLen < 0) return kErrLength;
    const int full = inLen / 16, rest = inLen % 16;
    if (full + 1 > outCap / 16) return kErrLength;
    unsigned char prev[16], block[16];
    std::memcpy(prev, iv, 16);
    for (int i = 0; i < full; ++i) {
        Xor16(block, in + 16 * i, prev);
        EncryptBlock(rk, block, prev);
        std::memcpy(out + 16 * i, prev, 16);
    }
    const unsigned char pad = static_cast<unsigned char>(16 - rest);
    for (int j = 0; j < 16; ++j) block[j] = (j < rest ? in[16 * full + j] : pad) ^ prev[j];
    EncryptBlock(rk, block, out + 16 * full);
    sys::SecureZero(block, sizeof block);  // it held plaintext
    return 16 * (full + 1);
}

int CbcDecrypt(const RoundKeys& rk, const unsigned char iv[kBlockSize], const unsigned char* in,
               int inLen, unsigned char* out, int outCap) {
    if (inLen <= 0 || inLen % 16 != 0) return kErrLength;
    const int blocks = inLen / 16;
    // The last block first: its padding decides the length before anything is written.
    unsigned char last[16];
    DecryptBlock(rk, in + inLen - 16, last);
    Xor16(last, last, blocks > 1 ? in + inLen - 32 : iv);
    const int pad = last[15];
    unsigned bad = pad < 1 || pad > 16 ? 1u : 0u;
    if (!bad)
        for (int j = 16 - pad; j < 16; ++j) bad |= last[j] ^ static_cast<unsigned>(pad);
    const int plainLen = inLen - pad;
    if (bad || plainLen > outCap) {
        sys::SecureZero(last, sizeof last);  // it held plaintext
        return bad ? kErrPadding : kErrLength;
    }

    unsigned char prev[16], cipher[16], block[16];
    std::memcpy(prev, iv, 16);
    for (int i = 0; i + 1 < blocks; ++i) {
        std::memcpy(cipher, in + 16 * i, 16);  // kept before out may overwrite it
        DecryptBlock(rk, cipher, block);
        Xor16(out + 16 * i, block, prev);
        std::memcpy(prev, cipher, 16);
    }
    std::memcpy(out + 16 * (blocks - 1), last, 16 - pad);
    // last and block held plaintext.
    sys::SecureZero(last, sizeof last);
    sys::SecureZero(block, sizeof block);
    return plainLen;
}

}  // namespace seed
