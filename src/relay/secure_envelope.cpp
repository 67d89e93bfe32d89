// The secure envelope of a request: a fresh 16-digit session key under the server's RSA public
// key, the request under SEED with that key, both behind decimal length fields.
#include "relay/relay.h"

#include "crypto/adapter.h"
#include "diag/log.h"
#include "net/transport.h"
#include "sys/sys.h"

#include <cstring>

namespace {

constexpr int kEnvelopeBufferSize = 5120;
constexpr int kSessionKeyDigits = 16;
constexpr int kSeedPaddingMax = 16;  // a block cipher adds at most one block

// Writes value as width zero-padded decimal digits, without a terminator ("%0*d" for values
// that fit; the envelope's values always do).
void PutDecimal(char* at, int width, int value) {
    for (int i = width - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

}  // namespace

// 16 decimal digits from the secure random source, each drawn without bias: bytes of 250 and
// above are thrown away so that every digit comes from 25 of the 250 kept values. Returns 0 when
// the random source fails; the buffer then holds no key.
int Relay::MakeSessionKey(char* buffer) {
    int digits = 0;
    unsigned char pool[32];
    while (digits < kSessionKeyDigits) {
        if (!sys::SecureRandom(pool, sizeof pool)) return 0;
        for (unsigned char b : pool) {
            if (b >= 250) continue;
            buffer[digits++] = static_cast<char>('0' + b % 10);
            if (digits == kSessionKeyDigits) break;
        }
    }
    buffer[kSessionKeyDigits] = '\0';
    return 1;
}

int Relay::SendSecureRequest(const char* frame, int length) {
    const int bLog = Log();
    if (length < 0) length = 0;
    // The envelope must fit its 5120 bytes whatever the padding adds: refuse before any work
    // when even the length fields and the padding alone would not leave room.
    if (length > kEnvelopeBufferSize - 16 - kSeedPaddingMax) {
        LogPrintf(bLog, "TEVN-> ERROR : 요청전문 크기 초과! (%d바이트)\n", length);
        return -4;
    }
    unsigned char request[kEnvelopeBufferSize] = {};
    std::memcpy(request, frame, static_cast<std::size_t>(length));

    char key[33] = {};
    if (!MakeSessionKey(key)) {
        // Never send a request under a key that is not secret.
        LogPrintf(bLog, "TEVN-> ERROR : 세션키 생성 오류!\n");
        return -1;
    }
    {
        std::lock_guard<std::mutex> g(m_keyLock);
        std::memcpy(m_sessionKey, key, sizeof m_sessionKey);
    }

    unsigned char rsa[kEnvelopeBufferSize] = {};
    int r = 0;
    if (RsaPublicEncrypt(g_serverPublicKey, g_serverPublicKeyLen,
                         reinterpret_cast<const unsigned char*>(key), kSessionKeyDigits, rsa,
                         &r) != 0 ||
        r <= 0 || r > kEnvelopeBufferSize) {
        LogPrintf(bLog, "TEVN-> ERROR : RSA 암호화 오류!\n");
        return -1;
    }
    if (16 + r + length + kSeedPaddingMax > kEnvelopeBufferSize) {
        LogPrintf(bLog, "TEVN-> ERROR : 요청전문 크기 초과! (%d바이트)\n", length);
        return -4;
    }
    unsigned char seed[kEnvelopeBufferSize] = {};
    int s = 0;
    if (SeedEncrypt(g_envelopeIv, reinterpret_cast<const unsigned char*>(key), kSessionKeyDigits,
                    request, length, seed, &s) != 0 ||
        s < 0 || 16 + r + s > kEnvelopeBufferSize) {
        LogPrintf(bLog, "TEVN-> ERROR : SEED 암호화 오류!\n");
        return -2;
    }

    char envelope[kEnvelopeBufferSize] = {};
    PutDecimal(envelope, 4, r + s + 12);  // the bytes after this field
    PutDecimal(envelope + 4, 6, r);
    std::memcpy(envelope + 10, rsa, static_cast<std::size_t>(r));
    PutDecimal(envelope + 10 + r, 6, s);
    std::memcpy(envelope + 16 + r, seed, static_cast<std::size_t>(s));

    const int handle = CurrentSocket();
    if (handle == 0 || SendAll(bLog, handle, envelope, 16 + r + s) == -1) {
        LogPrintf(bLog, "TEVN-> ERROR : 요청전문 송신 오류!\n");
        return -3;
    }
    return 0;
}
