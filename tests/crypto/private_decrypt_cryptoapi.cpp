// Windows: the test private key imported into CryptoAPI, so the RSA output of the program's own
// CryptoAPI path is checked by an independent decryption on the same platform.
#include "crypto/test_keys.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>

int TestPrivateDecrypt(const unsigned char* in, int inLen, unsigned char* out, int outCap) {
    BYTE der[4096], blob[4096], buffer[512];
    DWORD derLen = sizeof der, blobLen = sizeof blob;
    if (inLen <= 0 || inLen > static_cast<int>(sizeof buffer)) return -1;
    if (!CryptStringToBinaryA(kTestPrivatePem, 0, CRYPT_STRING_BASE64HEADER, der, &derLen, nullptr,
                              nullptr) ||
        !CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, der, derLen,
                             0, nullptr, blob, &blobLen))
        return -1;
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    int result = -1;
    if (CryptAcquireContextW(&prov, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        if (CryptImportKey(prov, blob, blobLen, 0, 0, &key)) {
            for (int i = 0; i < inLen; ++i) buffer[i] = in[inLen - 1 - i];  // CryptoAPI is little-endian
            DWORD n = static_cast<DWORD>(inLen);
            if (CryptDecrypt(key, 0, TRUE, 0, buffer, &n) && static_cast<int>(n) <= outCap) {
                std::memcpy(out, buffer, n);
                result = static_cast<int>(n);
            }
            CryptDestroyKey(key);
        }
        CryptReleaseContext(prov, 0);
    }
    return result;
}

bool TestSha256(const unsigned char* in, int inLen, unsigned char digest[32]) {
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    DWORD n = 32;
    bool ok = false;
    if (CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        if (CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) {
            ok = CryptHashData(hash, in, static_cast<DWORD>(inLen), 0) &&
                 CryptGetHashParam(hash, HP_HASHVAL, digest, &n, 0) && n == 32;
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(prov, 0);
    }
    return ok;
}
