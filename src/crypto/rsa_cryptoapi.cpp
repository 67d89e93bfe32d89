// RSA public encryption through CryptoAPI: the key goes in as a PUBLICKEYBLOB built from the DER
// numbers; CryptEncrypt pads with PKCS#1 v1.5 and answers little-endian, so the result is reversed.
#include "crypto/rsa_public.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>

bool PlatformRsaEncrypt(const unsigned char*, int, const RsaKeyView& key, const unsigned char* in,
                        int inLen, unsigned char* out, int* outLen) {
    const DWORD k = static_cast<DWORD>(key.modulusLen);
    if (inLen < 0 || static_cast<DWORD>(inLen) + 11 > k) return false;

    // BLOBHEADER, RSAPUBKEY, then the modulus least significant byte first.
    BYTE blob[sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + 512];
    BLOBHEADER header{PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, CALG_RSA_KEYX};
    RSAPUBKEY rsa{0x31415352 /* "RSA1" */, k * 8, 0};
    for (int i = 0; i < key.exponentLen; ++i) rsa.pubexp = rsa.pubexp << 8 | key.exponent[i];
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, &rsa, sizeof rsa);
    BYTE* modulus = blob + sizeof header + sizeof rsa;
    for (DWORD i = 0; i < k; ++i) modulus[i] = key.modulus[k - 1 - i];
    const DWORD blobLen = sizeof header + sizeof rsa + k;

    HCRYPTPROV prov = 0;
    HCRYPTKEY hkey = 0;
    BYTE buffer[512];
    DWORD n = static_cast<DWORD>(inLen);
    bool ok = false;
    if (CryptAcquireContextW(&prov, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        if (CryptImportKey(prov, blob, blobLen, 0, 0, &hkey)) {
            if (inLen > 0) std::memcpy(buffer, in, static_cast<size_t>(inLen));
            if (CryptEncrypt(hkey, 0, TRUE, 0, buffer, &n, k) && n == k) {
                for (DWORD i = 0; i < k; ++i) out[i] = buffer[k - 1 - i];
                *outLen = static_cast<int>(k);
                ok = true;
            }
            CryptDestroyKey(hkey);
        }
        CryptReleaseContext(prov, 0);
    }
    SecureZeroMemory(buffer, sizeof buffer);
    return ok;
}
