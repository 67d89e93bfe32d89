// OpenSSL as the oracle of the secure envelope: SEED-CBC with PKCS#7 padding (from the legacy
// provider, in a library context of its own) and the server's RSA private key.
#pragma once
#include <string>

// SEED-CBC of in under the 16-byte key and the envelope IV. False when OpenSSL refuses.
bool SeedOracle(bool encrypt, const std::string& key, const std::string& in, std::string* out);

// The session key in an RSA block, opened with the test server's private key.
bool OpenSessionKey(const std::string& rsaBlock, std::string* key);
