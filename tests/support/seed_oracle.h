// OpenSSL as the oracle of the secure envelope: SEED-CBC with PKCS#7 padding (from the legacy
// provider, in a library context of its own).
#pragma once
#include <string>

// SEED-CBC of in under the 16-byte key and the envelope IV. False when OpenSSL refuses.
bool SeedOracle(bool encrypt, const std::string& key, const std::string& in, std::string* out);
