#include "support/envelope_server.h"

#include "support/seed_oracle.h"
#include "support/server_crypto.h"

#include <cstdio>

namespace {

// The value of width digits at `at`, or -1.
int Digits(const std::string& s, std::size_t at, std::size_t width) {
    if (at + width > s.size()) return -1;
    int v = 0;
    for (std::size_t i = at; i < at + width; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

bool Refuse(std::string* why, const std::string& reason) {
    if (why) *why = reason;
    return false;
}

}  // namespace

bool OpenEnvelope(const std::string& whole, const char* pemPath, std::string* key,
                  std::string* request, std::string* why) {
    constexpr int r = 128;
    const int count = Digits(whole, 0, 4);
    if (whole.size() < 10) return Refuse(why, "shorter than 10 bytes");
    if (whole.compare(4, 6, "000128") != 0)
        return Refuse(why, "RSA length field is not 000128: " + whole.substr(4, 6));
    if (whole.size() < static_cast<std::size_t>(16 + r)) return Refuse(why, "too short for the RSA block");
    const int s = Digits(whole, 10 + r, 6);
    if (s < 0) return Refuse(why, "SEED length field is not 6 digits");
    if (count != r + s + 12)
        return Refuse(why, "count " + std::to_string(count) + " is not R + S + 12 = " +
                               std::to_string(r + s + 12));
    if (whole.size() != static_cast<std::size_t>(16 + r + s))
        return Refuse(why, "size does not match the length fields");

    unsigned char plain[r];
    int n = 0;
    if (RsaPrivateDecryptPem(pemPath, reinterpret_cast<const unsigned char*>(whole.data() + 10), r,
                             plain, &n) != 0)
        return Refuse(why, std::string("RSA block does not decrypt with ") + pemPath);
    key->assign(reinterpret_cast<const char*>(plain), static_cast<std::size_t>(n));
    if (key->size() != 16 || key->find_first_not_of("0123456789") != std::string::npos)
        return Refuse(why, "session key is not 16 digits");
    if (!SeedOracle(false, *key, whole.substr(16 + r), request))
        return Refuse(why, "SEED block does not decrypt");
    return true;
}

bool OpenEnvelope(const std::string& whole, std::string* key, std::string* request, std::string* why) {
    return OpenEnvelope(whole, BRISCA_TEST_PRIVATE_KEY_PEM, key, request, why);
}

std::string SealAnswer(const std::string& key, const std::string& answer) {
    std::string cipher;
    if (!SeedOracle(true, key, answer, &cipher)) return std::string();
    char head[16];
    std::snprintf(head, sizeof head, "%04d%06d", static_cast<int>(cipher.size() + 6) % 10000,
                  static_cast<int>(cipher.size()));
    return std::string(head, 10) + cipher;
}
