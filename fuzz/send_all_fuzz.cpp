// SendAll against a peer that takes the bytes in pieces of the fuzzer's choosing, pausing in
// between and now and then for longer than the time without progress that a send allows, or
// closing early. Whatever the peer does, SendAll is done exactly when the peer got every byte
// in order, and what the peer got is always a prefix of what was sent. The
// connection is a real socketpair with small buffers, so sends go out in part.
#include "fuzz_check.h"
#include "net/transport.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBoundMs = 100;      // the time without progress a send is allowed here
constexpr int kLongPauseMs = 160;  // a pause the bound cannot sit out
constexpr std::size_t kMaxMessage = 1 << 16;

struct Step {
    int piece;    // bytes the peer takes in one receive (0: closes its end)
    int pauseMs;  // then waits this long
};

// The peer's script: pairs of [piece, pause] from the input; at most one long pause, so that
// an input costs one bound at most.
std::vector<Step> Script(const uint8_t* data, std::size_t size) {
    std::vector<Step> steps;
    bool longPause = false;
    for (std::size_t i = 0; i + 1 < size && steps.size() < 64; i += 2) {
        const int piece = data[i] == 0 ? 0 : 1 + (data[i] * 37) % 9000;
        int pause = data[i + 1] % 4;  // 0 to 3 ms
        if (data[i + 1] >= 0xF8 && !longPause) {
            pause = kLongPauseMs;
            longPause = true;
        }
        steps.push_back({piece, pause});
    }
    return steps;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool once = [] {
        SetTransferTimeoutMs(kBoundMs);
        return true;
    }();
    (void)once;
    if (size < 2) return 0;
    const std::size_t length = ((data[0] << 8) | data[1]) % (kMaxMessage + 1);
    std::string message(length, '\0');
    for (std::size_t i = 0; i < length; ++i) message[i] = static_cast<char>(i * 131 + (i >> 9));
    const std::vector<Step> script = Script(data + 2, size - 2);

    int fds[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    const int small = 4096;  // the kernel rounds it up; still far below the message
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

    std::atomic<bool> senderDone{false};
    bool peerClosed = false;
    std::string got;
    std::thread peer([&] {
        std::vector<char> buffer(9000);
        for (const Step& step : script) {
            if (senderDone.load()) break;
            if (step.piece == 0) {
                peerClosed = true;
                shutdown(fds[1], SHUT_RDWR);
                return;
            }
            const ssize_t n = recv(fds[1], buffer.data(), static_cast<std::size_t>(step.piece), 0);
            if (n <= 0) return;
            got.append(buffer.data(), static_cast<std::size_t>(n));
            if (step.pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMs));
        }
        // The script has run out: take the rest as it comes, up to the end.
        for (ssize_t n; (n = recv(fds[1], buffer.data(), buffer.size(), 0)) > 0;)
            got.append(buffer.data(), static_cast<std::size_t>(n));
    });

    ServerLink link;
    FUZZ_CHECK(link.Adopt(fds[0]));
    const NetResult sent = link.SendAll(message.data(), static_cast<int>(message.size()));
    const int result = sent.Ok() ? 1 : -1;
    senderDone.store(true);
    shutdown(fds[0], SHUT_WR);  // the peer's last receive sees the end
    peer.join();
    link.Close();  // closes fds[0]
    close(fds[1]);

    FUZZ_CHECK(sent.count >= 0 && sent.count <= static_cast<int>(message.size()));
    if (sent.Ok()) FUZZ_CHECK(sent.count == static_cast<int>(message.size()));
    FUZZ_CHECK(result == 1 || result == -1);
    FUZZ_CHECK(got.size() <= message.size() && message.compare(0, got.size(), got) == 0);
    if (result == 1) FUZZ_CHECK(peerClosed || got == message);
    // A peer that never pauses for long nor closes is never given up on.
    bool hostile = peerClosed;
    for (const Step& step : script) hostile |= step.pauseMs >= kLongPauseMs || step.piece == 0;
    if (!hostile) FUZZ_CHECK(result == 1);
    return 0;
}
