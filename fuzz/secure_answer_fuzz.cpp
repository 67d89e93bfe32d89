// The secure route's answer reader (length field, body, decryption, short replies) against a
// hostile server: the real relay connects to a loopback listener here, the fuzzer plays the
// server and sends its whole byte stream, then ends it. Whatever the stream, the worker ends
// with 0 (end of data) or 4 (a damaged answer), never hands more than 5120 bytes to the
// terminal, and well-formed answers reach the terminal exactly as they were sealed.
#include "crypto/adapter.h"
#include "fuzz_check.h"
#include "fuzz_relay_rig.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kMaxAnswer = 5120;

// The relay's session key before any request is sent: 16 zero bytes.
const unsigned char kKeyBeforeAnyRequest[16] = {};

std::string Seal(const std::string& plain) {
    unsigned char cipher[kMaxAnswer];
    int s = 0;
    FUZZ_CHECK(SeedEncrypt(g_envelopeIv, kKeyBeforeAnyRequest, 16,
                           reinterpret_cast<const unsigned char*>(plain.data()),
                           static_cast<int>(plain.size()), cipher, &s) == 0);
    char head[16];
    std::snprintf(head, sizeof head, "%04d%06d", (s + 6) % 10000, s);
    return std::string(head, 10) + std::string(reinterpret_cast<char*>(cipher), static_cast<std::size_t>(s));
}

// Reads the input as a server's stream. Mode 0: the bytes as they are. Mode 1: answers, each
// [length low, length high, flags] then its plain text; flags bit 0 puts six input bytes in
// place of its length field, bit 1 makes it a short reply of 1 to 3 bytes that ends the
// stream. Fills the answers that must reach the terminal as they were.
std::string Stream(const uint8_t* data, std::size_t size, std::vector<std::string>* expected,
                   bool* allIntact) {
    *allIntact = false;
    if (size == 0) return std::string();
    if ((data[0] & 1) == 0) return std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string stream;
    bool intact = true;  // every answer so far is well-formed
    std::size_t at = 1;
    while (at + 3 <= size) {
        const std::size_t wanted = (data[at] | (data[at + 1] << 8)) % kMaxAnswer;  // below 5120
        const uint8_t flags = data[at + 2];
        at += 3;
        const std::size_t take = wanted < size - at ? wanted : size - at;
        std::string plain(reinterpret_cast<const char*>(data + at), take);
        at += take;
        if (flags & 2) {
            const std::string shortReply = plain.substr(0, plain.empty() ? 0 : plain.size() % 3 + 1);
            if (!shortReply.empty()) {
                stream += shortReply;
                if (intact) expected->push_back(shortReply);
            }
            break;
        }
        std::string sealed = Seal(plain);
        if ((flags & 1) && at + 6 <= size) {
            sealed.replace(4, 6, reinterpret_cast<const char*>(data + at), 6);
            at += 6;
            intact = false;
        }
        if (intact) expected->push_back(plain);
        stream += sealed;
    }
    *allIntact = intact;
    return stream;
}

bool SendAllBytes(int fd, const std::string& bytes) {
    std::size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;  // the worker may have ended and closed before the end
        off += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static Listener server("127.0.0.1");
    FuzzRelayRig& rig = FuzzRelayRig::Get();
    std::vector<std::string> expected;
    bool allIntact = false;
    const std::string stream = Stream(data, size, &expected, &allIntact);

    rig.recorder.Take();
    // A connect frame on the secure route; it also ends the previous input's connection.
    rig.Burst(ConnectFrameFor('S', "127.0.0.1", server.port, 'E'));
    const int fd = AcceptOne(server.fd, std::chrono::seconds(10));
    FUZZ_CHECK(fd >= 0);
    SendAllBytes(fd, stream);
    shutdown(fd, SHUT_WR);  // the end of the stream: the worker never waits for more
    FUZZ_CHECK(rig.recorder.WaitText("쓰레드종료", std::chrono::seconds(30)));
    close(fd);
    const std::vector<RigEvent> events = rig.recorder.Take();

    std::vector<std::string> answers;
    int connects = 0, ends = 0, v = -99;
    for (const RigEvent& e : events) {
        if (e.kind == TRACE_TO_TERMINAL) {
            FUZZ_CHECK(e.count <= static_cast<unsigned>(kMaxAnswer));
            answers.push_back(e.bytes);
            if (e.count > kTraceRawSize) answers.back() += "(longer)";
        } else if (e.kind == TRACE_TEXT) {
            connects += e.bytes.rfind("서버접속-->", 0) == 0;
            if (std::sscanf(e.bytes.c_str(), "접속해제!(%d)-->쓰레드종료", &v) == 1) ++ends;
            FUZZ_CHECK(e.bytes.find("TIMEOUT") == std::string::npos);
        }
    }
    FUZZ_CHECK(connects == 1 && ends == 1);
    FUZZ_CHECK(events.back().kind == TRACE_TEXT && events.back().bytes.find("쓰레드종료") != std::string::npos);
    // End of data after whole answers, or a damaged one; a reset never happens here.
    FUZZ_CHECK(v == 0 || v == 4);
    FUZZ_CHECK(answers.size() >= expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        std::string want = expected[i];
        if (want.size() > kTraceRawSize) want = want.substr(0, kTraceRawSize) + "(longer)";
        FUZZ_CHECK(answers[i] == want);
    }
    // A stream of well-formed answers only is read to its end, and nothing else arrives.
    if (allIntact) FUZZ_CHECK(v == 0 && answers.size() == expected.size());
    rig.TrimLog();
    return 0;
}
