// The server's side of the secure envelope, for the tests, the fuzz targets and the server
// simulator: OpenSSL opens what the relay sends and seals what the server answers, so that the
// relay's own SEED and RSA code is never its own judge.
//
// A request: "CCCC" (4 digits: the bytes after them), "000128", the RSA block of the session key,
// "SSSSSS" (6 digits), the SEED block of the request. An answer: "CCCC" (S + 6), "SSSSSS", the
// SEED block of the answer under the session key of the latest request.
#pragma once
#include <string>

// Opens one whole request envelope with the RSA private key in the PEM file. Fills the session
// key (16 digits) and the request; false with the reason in *why when a length field, the
// session key or a block is wrong.
bool OpenEnvelope(const std::string& whole, const char* pemPath, std::string* key,
                  std::string* request, std::string* why);
// The same with the repository's test key.
bool OpenEnvelope(const std::string& whole, std::string* key, std::string* request,
                  std::string* why = nullptr);

// An enveloped answer; empty when OpenSSL refuses (a key that is not 16 bytes).
std::string SealAnswer(const std::string& key, const std::string& answer);
