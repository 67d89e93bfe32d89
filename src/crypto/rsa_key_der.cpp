// DER walking for the RSAPublicKey: definite lengths in minimal form, positive minimal INTEGERs.
#include "crypto/rsa_key_der.h"

namespace {

// Reads one tag-length header at der[*pos]; on success *pos is the content start.
bool ReadHeader(const unsigned char* der, int len, int* pos, unsigned char tag, int* contentLen) {
    int p = *pos;
    if (p + 2 > len || der[p] != tag) return false;
    int first = der[p + 1];
    p += 2;
    long n;
    if (first < 0x80) {
        n = first;
    } else if (first == 0x81) {
        if (p + 1 > len || der[p] < 0x80) return false;  // short form would have done
        n = der[p];
        p += 1;
    } else if (first == 0x82) {
        if (p + 2 > len || der[p] == 0) return false;
        n = long(der[p]) << 8 | der[p + 1];
        if (n < 0x100) return false;
        p += 2;
    } else {
        return false;  // longer than any key this library takes
    }
    if (n > len - p) return false;
    *pos = p;
    *contentLen = static_cast<int>(n);
    return true;
}

// A positive INTEGER; returns its magnitude without the sign byte.
bool ReadPositiveInteger(const unsigned char* der, int len, int* pos, const unsigned char** value,
                         int* valueLen) {
    int n;
    if (!ReadHeader(der, len, pos, 0x02, &n) || n == 0) return false;
    const unsigned char* v = der + *pos;
    if (v[0] & 0x80) return false;                          // negative
    if (v[0] == 0 && (n == 1 || !(v[1] & 0x80))) return false;  // zero or not minimal
    *pos += n;
    if (v[0] == 0) ++v, --n;
    *value = v;
    *valueLen = n;
    return true;
}

}  // namespace

bool ParseRsaPublicKeyDer(const unsigned char* der, int len, RsaKeyView* view) {
    if (!der || !view || len <= 0) return false;
    int pos = 0, seqLen;
    if (!ReadHeader(der, len, &pos, 0x30, &seqLen) || pos + seqLen != len) return false;
    RsaKeyView v{};
    if (!ReadPositiveInteger(der, len, &pos, &v.modulus, &v.modulusLen)) return false;
    if (!ReadPositiveInteger(der, len, &pos, &v.exponent, &v.exponentLen)) return false;
    if (pos != len) return false;
    if (v.modulusLen < 64 || v.modulusLen > 512 || !(v.modulus[v.modulusLen - 1] & 1)) return false;
    if (v.exponentLen > 4 || !(v.exponent[v.exponentLen - 1] & 1)) return false;
    if (v.exponentLen == 1 && v.exponent[0] < 3) return false;
    *view = v;
    return true;
}
