// The server key is decoded once per run, not once per request: OpenSSL's heap calls, counted
// through its own allocator hooks, stay few per encryption once the key is kept.
#include "crypto/adapter.h"
#include "crypto/test_keys.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_heapCalls{0};

void* CountedMalloc(size_t n, const char*, int) {
    if (g_counting.load()) g_heapCalls.fetch_add(1);
    return std::malloc(n);
}
void* CountedRealloc(void* p, size_t n, const char*, int) {
    if (g_counting.load()) g_heapCalls.fetch_add(1);
    return std::realloc(p, n);
}
void CountedFree(void* p, const char*, int) { std::free(p); }

// Before OpenSSL's first allocation, which is what the hooks require.
const bool g_hooked = CRYPTO_set_mem_functions(CountedMalloc, CountedRealloc, CountedFree) == 1;

TEST(RsaEncrypt, TheKeyIsDecodedOnceNotPerRequest) {
    ASSERT_TRUE(g_hooked) << "OpenSSL allocated before the hooks were set";
    const unsigned char sessionKey[16] = {'1', '2', '3', '4', '5', '6', '7', '8',
                                          '9', '0', '1', '2', '3', '4', '5', '6'};
    unsigned char out[5120];
    int outLen = 0;
    ASSERT_EQ(0, RsaPublicEncrypt(kTestPublicDer, kTestPublicDerLen, sessionKey, 16, out, &outLen));

    constexpr int kRequests = 20;
    g_heapCalls.store(0);
    g_counting.store(true);
    int good = 0;
    for (int i = 0; i < kRequests; ++i)
        good += RsaPublicEncrypt(kTestPublicDer, kTestPublicDerLen, sessionKey, 16, out, &outLen) == 0;
    g_counting.store(false);
    EXPECT_EQ(good, kRequests);
    // Decoding the key and setting up its context took about fifty more a request.
    EXPECT_LE(g_heapCalls.load(), 12L * kRequests);
}

}  // namespace
