// RSA public encryption through CryptoAPI: the key goes in as a PUBLICKEYBLOB built from the DER
// numbers; CryptEncrypt pads with PKCS#1 v1.5 and answers little-endian, so the result is reversed.
// The server key is the same for the whole run: it is imported once and kept with its provider.
#include "crypto/rsa_public.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <mutex>

namespace {

constexpr DWORD kMaxModulus = 512;
constexpr DWORD kBlobCap = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + kMaxModulus;

// One kept key; a request on another key (tests use several) replaces it. The lock keeps two
// threads from encrypting with the one handle at once.
struct KeptKey {
    std::mutex lock;
    BYTE blob[kBlobCap] = {};
    DWORD blobLen = 0;
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
};

// Never released: it lives as long as the process.
KeptKey g_kept;

// BLOBHEADER, RSAPUBKEY, then the modulus least significant byte first.
DWORD BuildBlob(const RsaKeyView& key, BYTE* blob) {
    const DWORD k = static_cast<DWORD>(key.modulusLen);
    BLOBHEADER header{PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, CALG_RSA_KEYX};
    RSAPUBKEY rsa{0x31415352 /* "RSA1" */, k * 8, 0};
    for (int i = 0; i < key.exponentLen; ++i) rsa.pubexp = rsa.pubexp << 8 | key.exponent[i];
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, &rsa, sizeof rsa);
    BYTE* modulus = blob + sizeof header + sizeof rsa;
    for (DWORD i = 0; i < k; ++i) modulus[i] = key.modulus[k - 1 - i];
    return sizeof header + sizeof rsa + k;
}

// Imports the blob into a provider of its own; on success it becomes the kept key.
bool Keep(const BYTE* blob, DWORD blobLen) {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    if (!CryptAcquireContextW(&prov, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return false;
    if (!CryptImportKey(prov, blob, blobLen, 0, 0, &key)) {
        CryptReleaseContext(prov, 0);
        return false;
    }
    if (g_kept.key) CryptDestroyKey(g_kept.key);
    if (g_kept.prov) CryptReleaseContext(g_kept.prov, 0);
    g_kept.prov = prov;
    g_kept.key = key;
    std::memcpy(g_kept.blob, blob, blobLen);
    g_kept.blobLen = blobLen;
    return true;
}

}  // namespace

bool PlatformRsaEncrypt(const unsigned char*, int, const RsaKeyView& key, const unsigned char* in,
                        int inLen, unsigned char* out, int* outLen) {
    const DWORD k = static_cast<DWORD>(key.modulusLen);
    if (k > kMaxModulus || inLen < 0 || static_cast<DWORD>(inLen) + 11 > k) return false;

    BYTE blob[kBlobCap];
    const DWORD blobLen = BuildBlob(key, blob);
    BYTE buffer[kMaxModulus];
    DWORD n = static_cast<DWORD>(inLen);
    bool ok = false;
    {
        std::lock_guard<std::mutex> guard(g_kept.lock);
        const bool kept = g_kept.key && blobLen == g_kept.blobLen &&
                          std::memcmp(blob, g_kept.blob, blobLen) == 0;
        if (kept || Keep(blob, blobLen)) {
            if (inLen > 0) std::memcpy(buffer, in, static_cast<size_t>(inLen));
            ok = CryptEncrypt(g_kept.key, 0, TRUE, 0, buffer, &n, k) && n == k;
        }
    }
    if (ok) {
        for (DWORD i = 0; i < k; ++i) out[i] = buffer[k - 1 - i];
        *outLen = static_cast<int>(k);
    }
    SecureZeroMemory(buffer, sizeof buffer);
    return ok;
}
