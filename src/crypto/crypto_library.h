// The cryptographic library the adapter drives: plain C calls with the CL_ prefix, key handles
// from fixed pools, SEED-128 in CBC with PKCS#7 padding and RSA PKCS#1 v1.5 public encryption.
#pragma once

extern "C" {

// Key handles are opaque; each names one slot of a fixed pool (no allocation per call).
struct CL_SecretKey;
struct CL_PublicKey;

enum {
    CL_OK = 0,
    CL_ERR_ARGUMENT = 101,   // null pointer or negative length
    CL_ERR_STATE = 102,      // library not in the state the call needs
    CL_ERR_HANDLE = 103,     // not a live handle of this library (or the pool ran dry)
    CL_ERR_KEY_BLOB = 104,   // wrong algorithm identifier or length field in a key blob
    CL_ERR_KEY = 105,        // key bytes unusable: wrong SEED key length, malformed RSA key
    CL_ERR_NO_KEY = 106,     // handle holds no key yet
    CL_ERR_ALGORITHM = 107,  // algorithm number does not fit the call
    CL_ERR_PARAMS = 108,     // parameter block holds unsupported or inconsistent values
    CL_ERR_LENGTH = 109,     // input length wrong for the operation, or output over capacity
    CL_ERR_PADDING = 110,    // decrypted padding is not valid PKCS#7
    CL_ERR_PROVIDER = 111,   // the platform's RSA code failed
};

enum {
    CL_STATE_UNINITIALISED = 0,
    CL_STATE_INITIALISED = 1,  // self-test passed; public-key operations allowed
    CL_STATE_READY = 5,        // symmetric ciphers allowed as well
    CL_STATE_ERROR = 9,        // self-test failed; nothing is allowed
};

enum {
    CL_ALG_RSA = 3,
    CL_ALG_SEED = 9,
};

// Key blob: 4-byte algorithm identifier and 2-byte key length, both big-endian, then the key.
enum : unsigned long {
    CL_KEYID_SEED = 0x01000009UL,
    CL_KEYID_RSA = 0x03000001UL,
};

// SEED parameter block: 13 little-endian 32-bit words.
//   offset  0  reserved, 0
//   offset  4  mode: CL_MODE_CBC
//   offset  8  IV field, 32 bytes: the IV, then zeros
//   offset 40  IV length: 16
//   offset 44  reserved, 0
//   offset 48  padding: CL_PAD_PKCS
// RSA parameter block: 5 little-endian 32-bit words: padding CL_PAD_PKCS, operation
// CL_OP_ENCRYPT, byte order CL_ORDER_BIG_ENDIAN, then two reserved zeros.
enum {
    CL_SEED_PARAMS_SIZE = 52,
    CL_RSA_PARAMS_SIZE = 20,
    CL_MODE_CBC = 2,
    CL_PAD_PKCS = 4,  // PKCS#7 for SEED, PKCS#1 v1.5 type 2 for RSA
    CL_OP_ENCRYPT = 1,
    CL_ORDER_BIG_ENDIAN = 1,
};

enum {
    CL_SEED_KEY_SIZE = 16,
    CL_SEED_IV_SIZE = 16,
    CL_MAX_PUBLIC_KEY_DER = 362,  // a DER RSAPublicKey of up to 4096 bits
    CL_OUTPUT_CAPACITY = 5120,    // every caller's output buffer; longer output is refused
    CL_KEY_POOL_SIZE = 16,        // live handles of each kind at one time
};

// Runs the self-test once and moves the library from UNINITIALISED to INITIALISED; later calls
// change nothing (a READY library stays READY). Returns the state.
int CL_Initialize(void);
int CL_GetState(void);
// Only CL_STATE_READY may be asked for, and only once initialised.
int CL_ChangeState(int state);

// A free slot, or null when all CL_KEY_POOL_SIZE are in use (later calls on null fail).
CL_SecretKey* CL_SecretKey_New(void);
int CL_SecretKey_FromBinary(CL_SecretKey* key, const unsigned char* blob, int blobLen);
// out holds CL_OUTPUT_CAPACITY bytes; *outLen receives the output length (0 on failure).
int CL_Cipher_Encrypt(unsigned char* out, int* outLen, const unsigned char* in, int inLen,
                      CL_SecretKey* key, int algorithm, const unsigned char* params);
int CL_Cipher_Decrypt(unsigned char* out, int* outLen, const unsigned char* in, int inLen,
                      CL_SecretKey* key, int algorithm, const unsigned char* params);
// Wipes and returns the slot. Null is accepted (result CL_OK); anything else not live fails.
int CL_SecretKey_Free(CL_SecretKey* key);

CL_PublicKey* CL_PublicKey_New(void);
int CL_PublicKey_FromBinary(CL_PublicKey* key, const unsigned char* blob, int blobLen);
// flags must be 0. out receives the modulus size in bytes, most significant byte first.
int CL_PublicKey_Encrypt(unsigned char* out, int* outLen, const unsigned char* in, int inLen,
                         int algorithm, CL_PublicKey* key, int flags, const unsigned char* params);
int CL_PublicKey_Free(CL_PublicKey* key);

}  // extern "C"
