// The secure route's answer reader (length field, body, decryption, short replies) against a
// hostile or slow server, with the terminal's requests interleaved: the real relay connects to
// a loopback listener here and the fuzzer plays the server. It sends answers whole or in pieces
// with pauses, one of which may outlast the time one answer may take (shortened for the run),
// and between answers the terminal may send a request, whose envelope the server opens with the
// test key and whose session key seals the answers after it. Whatever happens, the worker ends
// with 0 (end of data) or 4 (a damaged or timed-out answer), never hands more than 5120 bytes
// to the terminal, and the answers before the first fault reach the terminal as they were
// sealed.
#include "support/envelope_server.h"
#include "fuzz_check.h"
#include "fuzz_relay_rig.h"
#include "net/transport.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kMaxAnswer = 5120;
// One answer's time here (17 s in the program): well above the short pauses of one input in
// all (64 x 1 ms), well below the pause that is to outlast it, and far below the 30 s silence.
constexpr int kAnswerBoundMs = 250;
constexpr int kLongPauseMs = kAnswerBoundMs + 350;  // margin for a worker slow to start reading
constexpr int kMaxPieces = 64;

// What the server seals with before any request on a connection: 16 zero bytes (the relay has
// no key then and cannot open it).
const std::string kKeyBeforeAnyRequest(16, '\0');

std::string Seal(const std::string& key, const std::string& plain) {
    std::string sealed = SealAnswer(key, plain);
    FUZZ_CHECK(!sealed.empty());
    return sealed;
}

// One answer of the server as the input describes it.
struct Unit {
    std::string plain;
    std::string lengthPatch;  // six bytes in place of the length field (damaged), or empty
    bool shortReply = false;  // 1 to 3 bytes that end the stream
    bool requestBefore = false;
    int piece = 0;            // bytes per send after the first (0: the rest at once)
    int pauseMs = 0;          // after every send of this answer
};

// Input: byte 0 chooses raw bytes (bit 0 clear: the rest of the input goes out as it is) or
// answers, each [length low, length high, flags] then its plain text. Flags: bit 0 puts six
// input bytes in place of its length field; bit 1 makes it a short reply that ends the stream;
// bit 2 lets the terminal send a request first; bits 3-4 the piece size; bits 5-7 the pause.
std::vector<Unit> Units(const uint8_t* data, std::size_t size) {
    std::vector<Unit> units;
    bool longPause = false;
    std::size_t at = 1;
    while (at + 3 <= size) {
        Unit u;
        const std::size_t wanted = (data[at] | (data[at + 1] << 8)) % kMaxAnswer;
        const uint8_t flags = data[at + 2];
        at += 3;
        const std::size_t take = wanted < size - at ? wanted : size - at;
        u.plain.assign(reinterpret_cast<const char*>(data + at), take);
        at += take;
        u.requestBefore = flags & 4;
        static const int kPieces[4] = {0, 1, 7, 300};
        u.piece = kPieces[(flags >> 3) & 3];
        const int pause = flags >> 5;
        u.pauseMs = pause >= 4 && pause < 7 ? 1 : 0;
        if (pause == 7 && !longPause) {
            u.pauseMs = kLongPauseMs;
            longPause = true;
        }
        if (flags & 2) {
            u.shortReply = true;
            u.plain = u.plain.substr(0, u.plain.empty() ? 0 : u.plain.size() % 3 + 1);
            units.push_back(u);
            break;
        }
        if ((flags & 1) && at + 6 <= size) {
            u.lengthPatch.assign(reinterpret_cast<const char*>(data + at), 6);
            at += 6;
        }
        units.push_back(u);
    }
    return units;
}

// The server's side of a request: reads the envelope, checks its length fields, opens it with
// the test key and checks the request it holds. Returns the session key.
std::string OpenRequest(int fd, const std::string& request) {
    std::string whole = ReadBytes(fd, 4, std::chrono::seconds(10));
    FUZZ_CHECK(whole.size() == 4 && whole.find_first_not_of("0123456789") == std::string::npos);
    const std::size_t count = static_cast<std::size_t>(std::atoi(whole.c_str()));
    whole += ReadBytes(fd, count, std::chrono::seconds(10));
    FUZZ_CHECK(whole.size() == count + 4);
    std::string key, opened;
    FUZZ_CHECK(OpenEnvelope(whole, &key, &opened));
    FUZZ_CHECK(opened == request);
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static TestServer server("127.0.0.1");
    static const bool shortened = [] {
        SetTransferTimeoutMs(kAnswerBoundMs);
        return true;
    }();
    (void)shortened;
    if (size == 0) return 0;
    FuzzRelayRig& rig = FuzzRelayRig::Get();
    const bool structured = data[0] & 1;
    const std::vector<Unit> units = structured ? Units(data, size) : std::vector<Unit>();

    rig.recorder.Take();
    // A connect frame on the secure route; it also ends the previous input's connection.
    rig.Burst(ConnectFrame('S', "127.0.0.1", server.Port(), 'E'));
    const int fd = AcceptOne(server.Fd(), std::chrono::seconds(10));
    FUZZ_CHECK(fd >= 0);

    std::vector<std::string> expected;  // what must reach the terminal, in order
    bool intact = true;                 // no fault so far: the worker reads every answer
    bool timedOut = false;              // an answer stalled beyond its time (then v is 4)
    // Each connection starts without a key: an answer before the first request on it cannot be
    // opened and ends the worker like a damaged one.
    std::string key = kKeyBeforeAnyRequest;
    bool keyed = false;
    int pieces = 0, requests = 0;
    if (!structured) SendBytes(fd, std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    for (const Unit& u : units) {
        if (u.requestBefore && intact) {
            // Only once the terminal has every answer so far: the worker decrypts with the key
            // of the latest request, so an answer still on its way would meet the new key.
            FUZZ_CHECK(rig.recorder.WaitFor(
                [&](const std::vector<Seen>& seen) {
                    return static_cast<std::size_t>(std::count_if(seen.begin(), seen.end(), [](const Seen& e) {
                               return e.kind == TRACE_TO_TERMINAL;
                           })) >= expected.size();
                },
                std::chrono::seconds(10)));
            const std::string request = "\x02" "0200 request " + std::to_string(++requests) + "\x03" "zz";
            rig.Burst(request);
            key = OpenRequest(fd, request);
            keyed = true;
        }
        std::string bytes = u.shortReply ? u.plain : Seal(key, u.plain);
        if (!u.lengthPatch.empty()) bytes.replace(4, 6, u.lengthPatch);
        // The first send holds at least the 4-byte field the worker reads first, so that a piece
        // of an envelope is never taken for a short reply.
        std::size_t off = 0;
        bool sent = true;
        while (sent && off < bytes.size()) {
            std::size_t n = bytes.size() - off;
            if (u.piece > 0 && pieces < kMaxPieces) n = std::min(n, off == 0 ? std::max<std::size_t>(4, u.piece) : u.piece);
            sent = SendBytes(fd, bytes.substr(off, n));
            off += n;
            ++pieces;
            const bool longPause = u.pauseMs >= kLongPauseMs && off == n;  // once, after the first send
            if ((u.pauseMs > 0 && !(u.pauseMs >= kLongPauseMs) && pieces <= kMaxPieces) || longPause) {
                // A stall inside a well-formed answer: the worker is in the middle of reading it.
                if (longPause && off < bytes.size() && intact && u.lengthPatch.empty()) timedOut = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(u.pauseMs));  // the slow server
            }
        }
        if (intact && !timedOut) {
            const bool unopenable = !u.shortReply && !keyed;
            if (u.lengthPatch.empty() && !unopenable && (!u.shortReply || !u.plain.empty()))
                expected.push_back(u.plain);
            if (!u.lengthPatch.empty() || unopenable) intact = false;
        }
        if (timedOut) intact = false;
        if (!sent || u.shortReply) break;
    }
    shutdown(fd, SHUT_WR);  // the end of the stream: the worker never waits for more
    FUZZ_CHECK(rig.recorder.WaitEvent(
                   0, [](const Seen& e) { return e.kind == TRACE_TEXT && e.text.find("쓰레드종료") != std::string::npos; },
                   std::chrono::seconds(30)) >= 0);
    close(fd);
    const std::vector<Seen> seen = rig.recorder.Take();

    std::vector<std::string> answers;
    int connects = 0, ends = 0, v = -99;
    for (const Seen& e : seen) {
        if (e.kind == TRACE_TO_TERMINAL) {
            FUZZ_CHECK(e.count <= static_cast<unsigned>(kMaxAnswer));
            answers.push_back(e.raw);
            if (e.count > kTraceRawSize) answers.back() += "(longer)";
        } else if (e.kind == TRACE_TEXT) {
            connects += e.text.rfind("서버접속-->", 0) == 0;
            if (std::sscanf(e.text.c_str(), "접속해제!(%d)-->쓰레드종료", &v) == 1) ++ends;
            FUZZ_CHECK(e.text.find("TIMEOUT") == std::string::npos);
        }
    }
    FUZZ_CHECK(connects == 1 && ends == 1);
    FUZZ_CHECK(seen.back().kind == TRACE_TEXT && seen.back().text.find("쓰레드종료") != std::string::npos);
    // End of data after whole answers, or a damaged or stalled one; a reset never happens here.
    FUZZ_CHECK(v == 0 || v == 4);
    if (timedOut) FUZZ_CHECK(v == 4);
    FUZZ_CHECK(answers.size() >= expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        std::string want = expected[i];
        if (want.size() > kTraceRawSize) want = want.substr(0, kTraceRawSize) + "(longer)";
        FUZZ_CHECK(answers[i] == want);
    }
    // A stream of well-formed answers only is read to its end, and nothing else arrives.
    if (structured && intact) FUZZ_CHECK(v == 0 && answers.size() == expected.size());
    rig.TrimLog();
    return 0;
}
