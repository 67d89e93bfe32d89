// Which payment server key the program carries, so that a shop's program can be told apart from
// one built with the repository's test key: --version, the about box and the log show it.
#pragma once

// The first 16 hex digits (lowercase) of the SHA-256 of the embedded DER key.
const char* ServerKeyFingerprint();
// True when the embedded key is the repository's test key (keys/server-test-public.der).
bool ServerKeyIsTestKey();
// "server key: 0123456789abcdef", with " (test key)" after it for the test key.
const char* ServerKeyLine();
