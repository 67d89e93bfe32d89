// The CL_ library: its state, the key pools, and the checks of key blobs and parameter blocks.
// SEED (seed.cpp) and the platform's RSA (rsa_public.h) do the cipher work.
#include "crypto/crypto_library.h"

#include "crypto/rsa_key_der.h"
#include "crypto/rsa_public.h"
#include "crypto/seed.h"
#include "sys/sys.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// A slot is taken with one atomic exchange, so the window thread and a receive worker can
// both hold keys at the same moment without a lock and without touching the heap.
struct CL_SecretKey {
    std::atomic<bool> inUse{false};
    bool loaded = false;
    seed::RoundKeys roundKeys{};
};

struct CL_PublicKey {
    std::atomic<bool> inUse{false};
    bool loaded = false;
    unsigned char der[CL_MAX_PUBLIC_KEY_DER] = {};
    int derLen = 0;
    RsaKeyView view{};  // points into der
};

namespace {

std::atomic<int> g_state{CL_STATE_UNINITIALISED};
CL_SecretKey g_secretKeys[CL_KEY_POOL_SIZE];
CL_PublicKey g_publicKeys[CL_KEY_POOL_SIZE];

// The stores must survive even though the slot is not read again soon.
void Wipe(void* p, std::size_t n) { sys::SecureZero(p, n); }

template <class Slot>
Slot* Acquire(Slot (&pool)[CL_KEY_POOL_SIZE]) {
    for (Slot& s : pool) {
        bool expected = false;
        if (s.inUse.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
            s.loaded = false;
            return &s;
        }
    }
    return nullptr;
}

// Only addresses of the pool count; anything else (a stray pointer, a freed slot) is refused.
template <class Slot>
bool IsLive(Slot (&pool)[CL_KEY_POOL_SIZE], const Slot* key) {
    for (Slot& s : pool)
        if (&s == key) return s.inUse.load(std::memory_order_acquire);
    return false;
}

template <class Slot>
int Release(Slot (&pool)[CL_KEY_POOL_SIZE], Slot* key) {
    if (!key) return CL_OK;
    if (!IsLive(pool, key)) return CL_ERR_HANDLE;
    key->loaded = false;
    if constexpr (std::is_same_v<Slot, CL_SecretKey>) {
        Wipe(&key->roundKeys, sizeof key->roundKeys);
    } else {
        Wipe(key->der, sizeof key->der);
        key->derLen = 0;
        key->view = RsaKeyView{};
    }
    key->inUse.store(false, std::memory_order_release);
    return CL_OK;
}

std::uint32_t WordLE(const unsigned char* p, int offset) {
    p += offset;
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// Key blob: algorithm identifier and key length big-endian, then exactly that many key bytes.
int ParseBlob(const unsigned char* blob, int blobLen, unsigned long keyId, const unsigned char** key,
              int* keyLen) {
    if (!blob || blobLen < 0) return CL_ERR_ARGUMENT;
    if (blobLen < 6) return CL_ERR_KEY_BLOB;
    unsigned long id = (unsigned long)blob[0] << 24 | (unsigned long)blob[1] << 16 |
                       (unsigned long)blob[2] << 8 | blob[3];
    int n = blob[4] << 8 | blob[5];
    if (id != keyId || n != blobLen - 6) return CL_ERR_KEY_BLOB;
    *key = blob + 6;
    *keyLen = n;
    return CL_OK;
}

const unsigned char* SeedIv(const unsigned char* params) {
    if (!params) return nullptr;
    if (WordLE(params, 0) != 0 || WordLE(params, 4) != CL_MODE_CBC ||
        WordLE(params, 40) != CL_SEED_IV_SIZE || WordLE(params, 44) != 0 ||
        WordLE(params, 48) != CL_PAD_PKCS)
        return nullptr;
    for (int i = 8 + CL_SEED_IV_SIZE; i < 40; ++i)
        if (params[i]) return nullptr;
    return params + 8;
}

bool RsaParamsValid(const unsigned char* params) {
    return params && WordLE(params, 0) == CL_PAD_PKCS && WordLE(params, 4) == CL_OP_ENCRYPT &&
           WordLE(params, 8) == CL_ORDER_BIG_ENDIAN && WordLE(params, 12) == 0 && WordLE(params, 16) == 0;
}

// RFC 4269 test vector: key 00 01 .. 0F, plaintext zero.
bool SelfTest() {
    unsigned char key[16], zero[16] = {}, block[16];
    static const unsigned char expected[16] = {0xC1, 0x1F, 0x22, 0xF2, 0x01, 0x40, 0x50, 0x50,
                                               0x84, 0x48, 0x35, 0x97, 0xE4, 0x37, 0x0F, 0x43};
    for (int i = 0; i < 16; ++i) key[i] = static_cast<unsigned char>(i);
    seed::RoundKeys rk;
    seed::KeySchedule(key, &rk);
    seed::EncryptBlock(rk, zero, block);
    if (std::memcmp(block, expected, 16) != 0) return false;
    seed::DecryptBlock(rk, block, block);
    return std::memcmp(block, zero, 16) == 0;
}

int SeedCipher(bool encrypt, unsigned char* out, int* outLen, const unsigned char* in, int inLen,
               CL_SecretKey* key, int algorithm, const unsigned char* params) {
    if (outLen) *outLen = 0;
    if (!out || !outLen || inLen < 0 || (!in && inLen > 0)) return CL_ERR_ARGUMENT;
    if (g_state.load() != CL_STATE_READY) return CL_ERR_STATE;
    if (!IsLive(g_secretKeys, key)) return CL_ERR_HANDLE;
    if (!key->loaded) return CL_ERR_NO_KEY;
    if (algorithm != CL_ALG_SEED) return CL_ERR_ALGORITHM;
    const unsigned char* iv = SeedIv(params);
    if (!iv) return CL_ERR_PARAMS;
    int n = encrypt ? seed::CbcEncrypt(key->roundKeys, iv, in, inLen, out, CL_OUTPUT_CAPACITY)
                    : seed::CbcDecrypt(key->roundKeys, iv, in, inLen, out, CL_OUTPUT_CAPACITY);
    if (n == seed::kErrPadding) return CL_ERR_PADDING;
    if (n < 0) return CL_ERR_LENGTH;
    *outLen = n;
    return CL_OK;
}

}  // namespace

extern "C" {

int CL_Initialize(void) {
    if (g_state.load() == CL_STATE_UNINITIALISED) {
        int expected = CL_STATE_UNINITIALISED;
        // Never moves a READY library back: another thread may be ciphering right now.
        g_state.compare_exchange_strong(expected, SelfTest() ? CL_STATE_INITIALISED : CL_STATE_ERROR);
    }
    return g_state.load();
}

int CL_GetState(void) { return g_state.load(); }

int CL_ChangeState(int state) {
    if (state != CL_STATE_READY) return CL_ERR_STATE;
    int expected = CL_STATE_INITIALISED;
    if (g_state.compare_exchange_strong(expected, CL_STATE_READY) || expected == CL_STATE_READY)
        return CL_OK;
    return CL_ERR_STATE;
}

CL_SecretKey* CL_SecretKey_New(void) { return Acquire(g_secretKeys); }

int CL_SecretKey_FromBinary(CL_SecretKey* key, const unsigned char* blob, int blobLen) {
    if (!IsLive(g_secretKeys, key)) return CL_ERR_HANDLE;
    const unsigned char* bytes;
    int n;
    if (int rc = ParseBlob(blob, blobLen, CL_KEYID_SEED, &bytes, &n); rc != CL_OK) return rc;
    if (n != CL_SEED_KEY_SIZE) return CL_ERR_KEY;
    seed::KeySchedule(bytes, &key->roundKeys);
    key->loaded = true;
    return CL_OK;
}

int CL_Cipher_Encrypt(unsigned char* out, int* outLen, const unsigned char* in, int inLen,
                      CL_SecretKey* key, int algorithm, const unsigned char* params) {
    return SeedCipher(true, out, outLen, in, inLen, key, algorithm, params);
}

int CL_Cipher_Decrypt(unsigned char* out, int* outLen, const unsigned char* in, int inLen,
                      CL_SecretKey* key, int algorithm, const unsigned char* params) {
    return SeedCipher(false, out, outLen, in, inLen, key, algorithm, params);
}

int CL_SecretKey_Free(CL_SecretKey* key) { return Release(g_secretKeys, key); }

CL_PublicKey* CL_PublicKey_New(void) { return Acquire(g_publicKeys); }

int CL_PublicKey_FromBinary(CL_PublicKey* key, const unsigned char* blob, int blobLen) {
    if (!IsLive(g_publicKeys, key)) return CL_ERR_HANDLE;
    const unsigned char* bytes;
    int n;
    if (int rc = ParseBlob(blob, blobLen, CL_KEYID_RSA, &bytes, &n); rc != CL_OK) return rc;
    if (n > CL_MAX_PUBLIC_KEY_DER) return CL_ERR_KEY;
    key->loaded = false;
    std::memcpy(key->der, bytes, static_cast<std::size_t>(n));
    key->derLen = n;
    if (!ParseRsaPublicKeyDer(key->der, n, &key->view)) return CL_ERR_KEY;
    key->loaded = true;
    return CL_OK;
}

int CL_PublicKey_Encrypt(unsigned char* out, int* outLen, const unsigned char* in, int inLen,
                         int algorithm, CL_PublicKey* key, int flags, const unsigned char* params) {
    if (outLen) *outLen = 0;
    if (!out || !outLen || inLen < 0 || (!in && inLen > 0)) return CL_ERR_ARGUMENT;
    int state = g_state.load();
    if (state != CL_STATE_INITIALISED && state != CL_STATE_READY) return CL_ERR_STATE;
    if (!IsLive(g_publicKeys, key)) return CL_ERR_HANDLE;
    if (!key->loaded) return CL_ERR_NO_KEY;
    if (algorithm != CL_ALG_RSA) return CL_ERR_ALGORITHM;
    if (flags != 0 || !RsaParamsValid(params)) return CL_ERR_PARAMS;
    const int k = key->view.modulusLen;
    if (inLen > k - 11 || k > CL_OUTPUT_CAPACITY) return CL_ERR_LENGTH;
    int n = 0;
    if (!PlatformRsaEncrypt(key->der, key->derLen, key->view, in, inLen, out, &n) || n != k)
        return CL_ERR_PROVIDER;
    *outLen = n;
    return CL_OK;
}

int CL_PublicKey_Free(CL_PublicKey* key) { return Release(g_publicKeys, key); }

}  // extern "C"
