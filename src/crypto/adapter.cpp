// The adapter's calls into the library, in the order the library expects; a key handle is freed
// on every path, failures included.
#include "crypto/adapter.h"

#include "crypto/crypto_library.h"
#include "sys/sys.h"

#include <cstring>

const unsigned char g_envelopeIv[16] = {'X', 'J', 'Q', 'M', 'F', 'R', 'W', 'L',
                                        'T', 'D', 'K', 'Z', 'P', 'V', '0', '7'};

namespace {

void PutWordLE(unsigned char* block, int offset, unsigned long value) {
    for (int i = 0; i < 4; ++i) block[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

int SeedRun(bool encrypt, const unsigned char* iv, const unsigned char* key, int keyLen,
            const unsigned char* in, int inLen, unsigned char* out, int* outLen) {
    // Checked before a handle exists: the blob buffer below is sized for the longest key.
    if (outLen) *outLen = 0;
    if (!iv || !key || keyLen < 0 || keyLen > kMaxSeedKeyLen) return CL_ERR_ARGUMENT;

    CL_Initialize();
    CL_SecretKey* handle = CL_SecretKey_New();
    unsigned char block[CL_SEED_PARAMS_SIZE];
    FillSeedParams(block, iv);
    if (CL_GetState() != CL_STATE_READY) CL_ChangeState(CL_STATE_READY);

    unsigned char blob[kMaxSeedKeyLen + 6];
    int blobLen = BuildKeyBlob(CL_KEYID_SEED, key, keyLen, blob, sizeof blob);
    int rc = CL_SecretKey_FromBinary(handle, blob, blobLen);
    if (rc == CL_OK)
        rc = encrypt ? CL_Cipher_Encrypt(out, outLen, in, inLen, handle, CL_ALG_SEED, block)
                     : CL_Cipher_Decrypt(out, outLen, in, inLen, handle, CL_ALG_SEED, block);
    CL_SecretKey_Free(handle);
    sys::SecureZero(blob, sizeof blob);  // it held the session key
    return rc;
}

}  // namespace

int BuildKeyBlob(unsigned long algorithmId, const unsigned char* key, int keyLen, unsigned char* blob,
                 int cap) {
    if (!blob || keyLen < 0 || keyLen > 0xFFFF || (!key && keyLen > 0) || keyLen > cap - 6) return -1;
    for (int i = 0; i < 4; ++i) blob[i] = static_cast<unsigned char>(algorithmId >> (24 - 8 * i));
    blob[4] = static_cast<unsigned char>(keyLen >> 8);
    blob[5] = static_cast<unsigned char>(keyLen);
    if (keyLen > 0) std::memcpy(blob + 6, key, static_cast<size_t>(keyLen));
    return keyLen + 6;
}

void FillSeedParams(unsigned char block[52], const unsigned char iv[16]) {
    std::memset(block, 0, 52);
    PutWordLE(block, 4, 2);
    std::memcpy(block + 8, iv, 16);
    PutWordLE(block, 40, 16);
    PutWordLE(block, 48, 4);
}

void FillRsaParams(unsigned char block[20]) {
    std::memset(block, 0, 20);
    PutWordLE(block, 0, 4);
    PutWordLE(block, 4, 1);
    PutWordLE(block, 8, 1);
}

int SeedEncrypt(const unsigned char* iv, const unsigned char* key, int keyLen,
                const unsigned char* in, int inLen, unsigned char* out, int* outLen) {
    return SeedRun(true, iv, key, keyLen, in, inLen, out, outLen);
}

int SeedDecrypt(const unsigned char* iv, const unsigned char* key, int keyLen,
                const unsigned char* in, int inLen, unsigned char* out, int* outLen) {
    return SeedRun(false, iv, key, keyLen, in, inLen, out, outLen);
}

int RsaPublicEncrypt(const unsigned char* keyDer, int keyLen, const unsigned char* in, int inLen,
                     unsigned char* out, int* outLen) {
    if (outLen) *outLen = 0;
    if (!keyDer || keyLen < 0 || keyLen > kMaxRsaKeyDerLen) return CL_ERR_ARGUMENT;

    CL_Initialize();
    unsigned char block[CL_RSA_PARAMS_SIZE];
    FillRsaParams(block);
    CL_PublicKey* handle = CL_PublicKey_New();
    unsigned char blob[kMaxRsaKeyDerLen + 6];
    int blobLen = BuildKeyBlob(CL_KEYID_RSA, keyDer, keyLen, blob, sizeof blob);
    int rc = CL_PublicKey_FromBinary(handle, blob, blobLen);
    if (rc == CL_OK) rc = CL_PublicKey_Encrypt(out, outLen, in, inLen, CL_ALG_RSA, handle, 0, block);
    CL_PublicKey_Free(handle);
    return rc;
}
