// Crypto and envelope benchmarks (Google Benchmark): SEED through the adapter and the raw cipher,
// RSA-1024 (e = 3) of a session key, and the whole secure envelope of a 4096-byte request.
#include "core/event_loop.h"
#include "crypto/adapter.h"
#include "crypto/seed.h"
#include "relay/relay.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kOut = 5120;  // every adapter call's output buffer
const unsigned char kKey[16] = {'1', '2', '3', '4', '5', '6', '7', '8',
                                '9', '0', '1', '2', '3', '4', '5', '6'};

std::vector<unsigned char> Bytes(std::size_t n) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 31 + 7);
    return v;
}

// Per request: the adapter builds key blob and parameter block, schedules the key and runs CBC.
void BM_SeedEncrypt(benchmark::State& state) {
    const auto in = Bytes(static_cast<std::size_t>(state.range(0)));
    unsigned char out[kOut];
    int outLen = 0;
    for (auto _ : state) {
        if (SeedEncrypt(g_envelopeIv, kKey, 16, in.data(), static_cast<int>(in.size()), out,
                        &outLen) != 0)
            state.SkipWithError("SeedEncrypt failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SeedEncrypt)->Arg(16)->Arg(256)->Arg(1024)->Arg(4096);

void BM_SeedDecrypt(benchmark::State& state) {
    const auto plain = Bytes(static_cast<std::size_t>(state.range(0)));
    unsigned char cipher[kOut], out[kOut];
    int cipherLen = 0, outLen = 0;
    SeedEncrypt(g_envelopeIv, kKey, 16, plain.data(), static_cast<int>(plain.size()), cipher,
                &cipherLen);
    for (auto _ : state) {
        if (SeedDecrypt(g_envelopeIv, kKey, 16, cipher, cipherLen, out, &outLen) != 0)
            state.SkipWithError("SeedDecrypt failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * cipherLen);
}
BENCHMARK(BM_SeedDecrypt)->Arg(16)->Arg(256)->Arg(1024)->Arg(4096);

// The cipher alone over 16 KiB with the key scheduled once: what `openssl speed` measures.
void BM_SeedCbcEncryptRaw(benchmark::State& state) {
    const auto in = Bytes(static_cast<std::size_t>(state.range(0)));
    std::vector<unsigned char> out(in.size() + 16);
    seed::RoundKeys rk;
    seed::KeySchedule(kKey, &rk);
    for (auto _ : state) {
        benchmark::DoNotOptimize(seed::CbcEncrypt(rk, g_envelopeIv, in.data(),
                                                  static_cast<int>(in.size()), out.data(),
                                                  static_cast<int>(out.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SeedCbcEncryptRaw)->Arg(16384);

void BM_SeedCbcDecryptRaw(benchmark::State& state) {
    const auto plain = Bytes(static_cast<std::size_t>(state.range(0)));
    std::vector<unsigned char> cipher(plain.size() + 16), out(plain.size() + 16);
    seed::RoundKeys rk;
    seed::KeySchedule(kKey, &rk);
    const int c = seed::CbcEncrypt(rk, g_envelopeIv, plain.data(), static_cast<int>(plain.size()),
                                   cipher.data(), static_cast<int>(cipher.size()));
    for (auto _ : state) {
        benchmark::DoNotOptimize(seed::CbcDecrypt(rk, g_envelopeIv, cipher.data(), c, out.data(),
                                                  static_cast<int>(out.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * c);
}
BENCHMARK(BM_SeedCbcDecryptRaw)->Arg(16384);

// One session key (16 digits) under the embedded server key: 1024-bit, e = 3, PKCS#1 v1.5.
void BM_RsaPublicEncrypt(benchmark::State& state) {
    unsigned char out[kOut];
    int outLen = 0;
    for (auto _ : state) {
        if (RsaPublicEncrypt(g_serverPublicKey, g_serverPublicKeyLen, kKey, 16, out, &outLen) != 0)
            state.SkipWithError("RsaPublicEncrypt failed");
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_RsaPublicEncrypt);

// The envelope's cipher work without the relay: RSA of the key and SEED of the request.
void BM_EnvelopeCrypto(benchmark::State& state) {
    const auto request = Bytes(static_cast<std::size_t>(state.range(0)));
    unsigned char rsa[kOut], seedOut[kOut];
    int r = 0, s = 0;
    for (auto _ : state) {
        RsaPublicEncrypt(g_serverPublicKey, g_serverPublicKeyLen, kKey, 16, rsa, &r);
        SeedEncrypt(g_envelopeIv, kKey, 16, request.data(), static_cast<int>(request.size()),
                    seedOut, &s);
        benchmark::DoNotOptimize(seedOut);
    }
}
BENCHMARK(BM_EnvelopeCrypto)->Arg(4096)->Unit(benchmark::kMicrosecond);

// A loopback server that reads and drops everything until the relay closes.
class DrainServer {
public:
    DrainServer() {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m_listener, 1);
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] {
            const int c = accept(m_listener, nullptr, nullptr);
            char buf[16384];
            while (c >= 0 && recv(c, buf, sizeof buf, 0) > 0) {
            }
            if (c >= 0) close(c);
        });
    }
    ~DrainServer() {
        shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        close(m_listener);
    }
    int Port() const { return m_port; }

private:
    int m_listener = -1;
    int m_port = 0;
    std::thread m_thread;
};

// The whole envelope as the secure route builds and sends it: session key from the secure
// random source, RSA, SEED, the length fields and the send on a loopback connection.
void BM_SecureEnvelope(benchmark::State& state) {
    EventLoop loop;
    loop.Adopt();  // this thread is the window thread
    Relay relay(Relay::Ports{&loop, nullptr, nullptr, nullptr});
    DrainServer server;
    const std::string connect = "S127.0.0.1:" + std::to_string(server.Port()) + "E";
    relay.OnTerminalFrame(reinterpret_cast<const unsigned char*>(connect.data()),
                          static_cast<unsigned>(connect.size()));
    if (!relay.Connected()) {
        state.SkipWithError("no connection to the drain server");
        return;
    }
    std::vector<char> request(static_cast<std::size_t>(state.range(0)), 'A');
    request.front() = 0x02;
    request[request.size() - 3] = 0x03;
    for (auto _ : state) {
        if (relay.SendSecureRequest(request.data(), static_cast<int>(request.size())) != 0)
            state.SkipWithError("SendSecureRequest failed");
    }
    relay.Stop();
}
BENCHMARK(BM_SecureEnvelope)->Arg(4096)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
