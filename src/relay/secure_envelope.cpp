// The secure envelope of a request: a fresh 16-digit session key under the server's RSA public
// key, the request under SEED with that key, both behind decimal length fields.
#include "relay/relay.h"

#include "crypto/adapter.h"
#include "crypto/session_key.h"
#include "diag/log.h"
#include "relay/wiped.h"
#include "sys/sys.h"

#include <cstring>

namespace {

constexpr int kEnvelopeBufferSize = 5120;
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
    const Wiped wipeRequest{request, sizeof request};
    std::memcpy(request, frame, static_cast<std::size_t>(length));

    char key[33] = {};
    const Wiped wipeKey{key, sizeof key};
    if (!MakeSessionKey(key)) {
        // Never send a request under a key that is not secret.
        LogPrintf(bLog, "TEVN-> ERROR : 세션키 생성 오류!\n");
        return -1;
    }

    unsigned char rsa[kEnvelopeBufferSize] = {};
    const Wiped wipeRsa{rsa, sizeof rsa};
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
    const Wiped wipeSeed{seed, sizeof seed};
    int s = 0;
    if (SeedEncrypt(g_envelopeIv, reinterpret_cast<const unsigned char*>(key), kSessionKeyDigits,
                    request, length, seed, &s) != 0 ||
        s < 0 || 16 + r + s > kEnvelopeBufferSize) {
        LogPrintf(bLog, "TEVN-> ERROR : SEED 암호화 오류!\n");
        return -2;
    }

    char envelope[kEnvelopeBufferSize] = {};
    const Wiped wipeEnvelope{envelope, sizeof envelope};
    PutDecimal(envelope, 4, r + s + 12);  // the bytes after this field
    PutDecimal(envelope + 4, 6, r);
    std::memcpy(envelope + 10, rsa, static_cast<std::size_t>(r));
    PutDecimal(envelope + 10 + r, 6, s);
    std::memcpy(envelope + 16 + r, seed, static_cast<std::size_t>(s));

    // The key becomes the connection's as the envelope goes out on it (not when it is dropped).
    bool dropped = false;
    if (!Connected() || !HandToServer(*m_conn, envelope, 16 + r + s,
                                      reinterpret_cast<const unsigned char*>(key), nullptr, &dropped)) {
        LogPrintf(bLog, "TEVN-> ERROR : 요청전문 송신 오류!\n");
        return -3;
    }
    return dropped ? -5 : 0;
}
