// brisca-servsim: plays a payment server on loopback. Plain: answers byte for byte (echo or a
// given answer). Secure: opens the request envelope with the test private key and answers in
// the answer envelope. Scripted misbehaviour: pieces, splits, cut answers, damaged length
// fields, close, silence, a server that never reads, refusal, reset, an earlier connection's
// answer replayed. Every request can be recorded as it arrived (hex, one line each).
#include "sim_common.h"

#include "support/envelope_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <vector>
#include <unistd.h>

#ifndef BRISCA_TEST_PRIVATE_KEY_PEM
#define BRISCA_TEST_PRIVATE_KEY_PEM "keys/server-test-private.pem"
#endif

namespace {

const char kUsage[] =
    "Usage: brisca-servsim --listen 127.x.y.z:PORT [options]\n"
    "\n"
    "  --listen A:P          loopback address and port (127.0.0.0/8 only; port 0: any free port)\n"
    "  --secure              requests come in the secure envelope; answers go in the answer envelope\n"
    "  --key PEM             the server's private key (default: the test key, " BRISCA_TEST_PRIVATE_KEY_PEM ")\n"
    "  --answer TEXT         answer every request with TEXT (escapes \\xHH \\r \\n \\t \\0 \\\\);\n"
    "                        default: echo the request\n"
    "  --answer-all          plain: answer every frame, not only those that start with STX\n"
    "  --pieces N            send every answer in N pieces ...\n"
    "  --piece-gap MS        ... this far apart (default 50)\n"
    "  --trickle-after K     send the first K bytes of every answer at once, then the rest one\n"
    "                        byte at a time, --piece-gap apart\n"
    "  --repeat N            the answer (--answer TEXT) is TEXT N times over\n"
    "  --quiet               one line per answer instead of one per piece sent\n"
    "  --split-at K          send every answer in two pieces: its first K bytes, then the rest;\n"
    "                        K = conn: the connection's number (conn 1 after byte 1, ...)\n"
    "  --cut-after N         send only the first N bytes of an answer, then --then\n"
    "  --then WHAT           after a cut answer: silence (default), close or reset\n"
    "  --length-field TEXT   secure: put TEXT (6 bytes) into every answer's length field\n"
    "  --fault-from K        cut and length field apply from the K-th answer of a connection\n"
    "                        (default 1)\n"
    "  --delay MS            wait this long before answering\n"
    "  --close-after-answer  close the connection once an answer is sent\n"
    "  --close-on-ack        close the connection when an ACK arrives\n"
    "  --silent              accept and read, never answer\n"
    "  --never-read          accept and never read: the gateway's sends fill the buffers and stall\n"
    "  --read-after MS       take no byte for MS after the accept, then serve as usual\n"
    "  --reset               reset the connection (SO_LINGER 0) when the first request arrives\n"
    "  --refuse              bind the address without listening: every connect is refused\n"
    "  --connections N       exit after N connections have ended (default: until SIGTERM)\n"
    "  --record FILE         append every request as received (secure: as opened), one line\n"
    "                        each: the connection's number, a space, the bytes in hex\n"
    "  --replay-previous     secure: as soon as a connection is accepted, send the last sealed\n"
    "                        answer of an earlier connection, before any request\n"
    "\n"
    "Prints 'servsim: listening A:P' (or 'servsim: refusing A:P') once ready.\n"
    "Exit status: 0, or 1 when a secure envelope was malformed, 2 on a usage or socket error.\n";

constexpr int kBufferSize = 5120;
constexpr char STX = 0x02, ACK = 0x06;

struct Config {
    std::string host;
    int port = -1;
    bool secure = false;
    std::string keyPath = BRISCA_TEST_PRIVATE_KEY_PEM;
    bool echo = true;
    std::string answer;
    bool answerAll = false;
    int pieces = 1;
    int pieceGapMs = 50;
    int splitAt = 0;          // 0: no split; -1: the connection's number
    int trickleAfter = -1;    // -1: no trickle
    int repeat = 1;
    bool quiet = false;
    int cutAfter = -1;        // -1: whole answers
    std::string then = "silence";
    std::string lengthField;  // empty: the real one
    int faultFrom = 1;
    int delayMs = 0;
    bool closeAfterAnswer = false;
    bool closeOnAck = false;
    bool silent = false;
    bool neverRead = false;
    int readAfterMs = 0;  // takes no byte for this long after the accept
    bool reset = false;
    bool refuse = false;
    int connections = 0;
    std::string recordPath;
    bool replayPrevious = false;
};

int g_sigFd = -1;
bool g_envelopeFailed = false;
std::FILE* g_record = nullptr;
std::string g_lastSealed;  // the last answer envelope sent, for --replay-previous

void Record(int conn, const std::string& request) {
    if (!g_record) return;
    std::fprintf(g_record, "%d ", conn);
    for (unsigned char b : request) std::fprintf(g_record, "%02x", b);
    std::fputc('\n', g_record);
    std::fflush(g_record);
}

// Waits ms for a termination signal; true when one came.
bool SignalWithin(int ms) {
    pollfd p{g_sigFd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

void Say(int conn, const char* format, const std::string& detail = std::string()) {
    std::printf("%s  conn %d  %s%s\n", sim::Stamp().c_str(), conn, format, detail.c_str());
    std::fflush(stdout);
}

enum Outcome { KEEP, CLOSE, RESET, STOP };

// Where the pieces of an answer end: --trickle-after, --split-at, else --pieces of equal size.
std::vector<std::size_t> PieceEnds(const Config& c, int conn, std::size_t size) {
    std::vector<std::size_t> ends;
    if (c.trickleAfter >= 0) {
        std::size_t end = static_cast<std::size_t>(c.trickleAfter) < size ? static_cast<std::size_t>(c.trickleAfter) : size;
        if (end > 0) ends.push_back(end);
        while (end < size) ends.push_back(++end);
        return ends;
    }
    const std::size_t split = c.splitAt < 0 ? static_cast<std::size_t>(conn) : static_cast<std::size_t>(c.splitAt);
    if (split > 0) {
        if (split < size) ends.push_back(split);
        ends.push_back(size);
        return ends;
    }
    const std::size_t pieces = static_cast<std::size_t>(c.pieces);
    for (std::size_t i = 0; i < pieces; ++i) ends.push_back(size * (i + 1) / pieces);
    return ends;
}

// answerNo counts the answers of this connection from 1; the faults apply from --fault-from.
Outcome SendAnswer(const Config& c, int fd, int conn, int answerNo, const std::string& whole) {
    if (c.delayMs > 0 && SignalWithin(c.delayMs)) return STOP;
    const bool cut = c.cutAfter >= 0 && answerNo >= c.faultFrom;
    const std::string bytes = cut ? whole.substr(0, static_cast<std::size_t>(c.cutAfter)) : whole;
    std::size_t sent = 0;
    std::size_t pieces = 0;
    bool first = true;
    for (std::size_t end : PieceEnds(c, conn, bytes.size())) {
        if (end <= sent) continue;
        if (!first && SignalWithin(c.pieceGapMs)) return STOP;
        first = false;
        const std::string piece = bytes.substr(sent, end - sent);
        if (send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(piece.size())) {
            Say(conn, "send failed: ", std::strerror(errno));
            return CLOSE;
        }
        ++pieces;
        if (!c.quiet)
            Say(conn, "-> ", std::to_string(piece.size()) + " bytes  " +
                                 sim::Printable(piece.data(), piece.size()));
        sent = end;
    }
    if (c.quiet) Say(conn, "-> ", std::to_string(sent) + " bytes in " + std::to_string(pieces) + " pieces");
    if (cut) {
        Say(conn, "answer cut after ", std::to_string(bytes.size()) + " of " +
                                           std::to_string(whole.size()) + " bytes, then " + c.then);
        // The bytes sent so far reach the gateway before the connection goes.
        if (c.then != "silence" && SignalWithin(c.pieceGapMs)) return STOP;
        if (c.then == "close") return CLOSE;
        if (c.then == "reset") return RESET;
        return KEEP;
    }
    return c.closeAfterAnswer ? CLOSE : KEEP;
}

int Digits(const std::string& buf, std::size_t at, std::size_t width) {
    int v = 0;
    for (std::size_t i = at; i < at + width; ++i) {
        if (buf[i] < '0' || buf[i] > '9') return -1;
        v = v * 10 + (buf[i] - '0');
    }
    return v;
}

bool EnvelopeFailure(int conn, const std::string& why) {
    Say(conn, "FAIL envelope: ", why);
    g_envelopeFailed = true;
    return false;
}

// Opens one whole envelope (its 4-digit count already checked against the buffer) with the
// server's key. Fills the session key and the request.
bool OpenEnvelope(const Config& c, int conn, const std::string& env, std::string* key,
                  std::string* request) {
    std::string why;
    if (::OpenEnvelope(env, c.keyPath.c_str(), key, request, &why)) return true;
    return EnvelopeFailure(conn, why);
}

// Handles what has gathered in buf; returns what the connection should do next. answers counts
// the answers sent on this connection.
Outcome Process(const Config& c, int fd, int conn, std::string* buf, int* answers) {
    while (!buf->empty()) {
        if (!c.secure) {
            const std::string frame = *buf;
            buf->clear();
            Say(conn, "<- ", std::to_string(frame.size()) + " bytes  " +
                                 sim::Printable(frame.data(), frame.size()));
            if (c.closeOnAck && frame[0] == ACK) return CLOSE;
            const bool request = frame[0] == STX || c.answerAll;
            if (!request) continue;
            Record(conn, frame);
            if (c.reset) return RESET;
            if (c.silent) continue;
            const Outcome o = SendAnswer(c, fd, conn, ++*answers, c.echo ? frame : c.answer);
            if (o != KEEP) return o;
            continue;
        }
        // Secure: an envelope starts with its 4-digit count; anything else (ACK, NAK, frames
        // the gateway forwards as they came) is plain.
        const char first = (*buf)[0];
        if (first < '0' || first > '9') {
            std::size_t n = 0;
            while (n < buf->size() && ((*buf)[n] < '0' || (*buf)[n] > '9')) ++n;
            const std::string plain = buf->substr(0, n);
            buf->erase(0, n);
            Say(conn, "<- plain ", std::to_string(plain.size()) + " bytes  " +
                                       sim::Printable(plain.data(), plain.size()));
            if (c.closeOnAck && plain[0] == ACK) return CLOSE;
            continue;
        }
        if (buf->size() < 4) return KEEP;
        const int count = Digits(*buf, 0, 4);
        if (count < 0) {
            EnvelopeFailure(conn, "count field is not 4 digits");
            return CLOSE;
        }
        if (buf->size() < static_cast<std::size_t>(4 + count)) return KEEP;
        const std::string env = buf->substr(0, static_cast<std::size_t>(4 + count));
        buf->erase(0, env.size());
        std::string key, request;
        if (!OpenEnvelope(c, conn, env, &key, &request)) return CLOSE;
        Say(conn, "<- envelope ", std::to_string(env.size()) + " bytes, session key " + key +
                                      ", request " + std::to_string(request.size()) + " bytes  " +
                                      sim::Printable(request.data(), request.size()));
        Record(conn, request);
        if (c.reset) return RESET;
        if (c.silent) continue;
        std::string sealed = SealAnswer(key, c.echo ? request : c.answer);
        if (sealed.empty()) {
            Say(conn, "cannot seal the answer");
            return CLOSE;
        }
        Say(conn, "answer ", std::to_string(c.echo ? request.size() : c.answer.size()) +
                                 " bytes sealed in " + std::to_string(sealed.size()));
        ++*answers;
        g_lastSealed = sealed;
        if (!c.lengthField.empty() && *answers >= c.faultFrom) {
            sealed.replace(4, 6, c.lengthField);
            Say(conn, "length field ", c.lengthField);
        }
        const Outcome o = SendAnswer(c, fd, conn, *answers, sealed);
        if (o != KEEP) return o;
    }
    return KEEP;
}

// Serves one connection to its end; false when a termination signal came.
bool Serve(const Config& c, int fd, int conn) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // pieces stay pieces
    if (c.neverRead) {
        // Waits for the gateway to close (or for the stop) without taking a byte.
        for (;;) {
            pollfd fds[2] = {{fd, POLLRDHUP, 0}, {g_sigFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            close(fd);
            if (fds[1].revents) return false;
            Say(conn, "closed by the gateway (nothing read)");
            return true;
        }
    }
    if (c.readAfterMs > 0) {
        Say(conn, "reads nothing for ", std::to_string(c.readAfterMs) + " ms");
        if (SignalWithin(c.readAfterMs)) {
            close(fd);
            return false;
        }
        Say(conn, "reads again", "");
    }
    if (c.replayPrevious && !g_lastSealed.empty()) {
        // Sealed with the earlier connection's session key: the gateway must not open it.
        const bool sent = send(fd, g_lastSealed.data(), g_lastSealed.size(), MSG_NOSIGNAL) ==
                          static_cast<ssize_t>(g_lastSealed.size());
        Say(conn, sent ? "replayed an earlier answer: " : "replay failed: ",
            sent ? std::to_string(g_lastSealed.size()) + " bytes" : std::string(std::strerror(errno)));
    }
    std::string buf;
    int answers = 0;
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {g_sigFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (fds[1].revents) {
            close(fd);
            return false;
        }
        char chunk[kBufferSize];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            Say(conn, n == 0 ? "closed by the gateway" : "receive error: ",
                n == 0 ? std::string() : std::string(std::strerror(errno)));
            close(fd);
            return true;
        }
        buf.append(chunk, static_cast<std::size_t>(n));
        const Outcome o = Process(c, fd, conn, &buf, &answers);
        if (o == STOP) {
            close(fd);
            return false;
        }
        if (o == RESET) {
            linger l{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            close(fd);
            Say(conn, "reset");
            return true;
        }
        if (o == CLOSE) {
            close(fd);
            Say(conn, "closed by the server");
            return true;
        }
    }
}

bool Number(const char* text, int* out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < 0 || v > 100000000) return false;
    *out = static_cast<int>(v);
    return true;
}

bool ParseArgs(int argc, char** argv, Config* c) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        auto takes = [&](auto fn) {
            if (!v || !fn(v)) return false;
            ++i;
            return true;
        };
        bool ok = true;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--listen") ok = takes([&](const char* t) { return sim::ParseLoopback(t, &c->host, &c->port); });
        else if (a == "--secure") c->secure = true;
        else if (a == "--key") ok = takes([&](const char* t) { c->keyPath = t; return true; });
        else if (a == "--answer") ok = takes([&](const char* t) { c->echo = false; return sim::Unescape(t, &c->answer) && !c->answer.empty(); });
        else if (a == "--answer-all") c->answerAll = true;
        else if (a == "--pieces") ok = takes([&](const char* t) { return Number(t, &c->pieces) && c->pieces > 0; });
        else if (a == "--piece-gap") ok = takes([&](const char* t) { return Number(t, &c->pieceGapMs); });
        else if (a == "--delay") ok = takes([&](const char* t) { return Number(t, &c->delayMs); });
        else if (a == "--trickle-after") ok = takes([&](const char* t) { return Number(t, &c->trickleAfter); });
        else if (a == "--repeat") ok = takes([&](const char* t) { return Number(t, &c->repeat) && c->repeat > 0; });
        else if (a == "--quiet") c->quiet = true;
        else if (a == "--split-at") ok = takes([&](const char* t) {
            if (std::strcmp(t, "conn") == 0) { c->splitAt = -1; return true; }
            return Number(t, &c->splitAt) && c->splitAt > 0;
        });
        else if (a == "--cut-after") ok = takes([&](const char* t) { return Number(t, &c->cutAfter); });
        else if (a == "--then") ok = takes([&](const char* t) {
            c->then = t;
            return c->then == "silence" || c->then == "close" || c->then == "reset";
        });
        else if (a == "--length-field") ok = takes([&](const char* t) {
            return sim::Unescape(t, &c->lengthField) && c->lengthField.size() == 6;
        });
        else if (a == "--fault-from") ok = takes([&](const char* t) { return Number(t, &c->faultFrom) && c->faultFrom > 0; });
        else if (a == "--close-after-answer") c->closeAfterAnswer = true;
        else if (a == "--close-on-ack") c->closeOnAck = true;
        else if (a == "--silent") c->silent = true;
        else if (a == "--never-read") c->neverRead = true;
        else if (a == "--read-after") ok = takes([&](const char* t) { return Number(t, &c->readAfterMs); });
        else if (a == "--reset") c->reset = true;
        else if (a == "--refuse") c->refuse = true;
        else if (a == "--record") ok = takes([&](const char* t) { c->recordPath = t; return true; });
        else if (a == "--replay-previous") c->replayPrevious = true;
        else if (a == "--connections") ok = takes([&](const char* t) { return Number(t, &c->connections); });
        else ok = false;
        if (!ok) {
            std::fprintf(stderr, "servsim: bad argument %s\n", a.c_str());
            return false;
        }
    }
    if (c->repeat > 1) {
        if (c->echo) return false;  // only a given answer repeats
        const std::string once = c->answer;
        c->answer.reserve(once.size() * static_cast<std::size_t>(c->repeat));
        for (int k = 1; k < c->repeat; ++k) c->answer += once;
    }
    return c->port >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    Config c;
    if (!ParseArgs(argc, argv, &c)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    g_sigFd = sim::TerminationFd();
    if (!c.recordPath.empty() && !(g_record = std::fopen(c.recordPath.c_str(), "a"))) {
        std::fprintf(stderr, "servsim: cannot open %s: %s\n", c.recordPath.c_str(), std::strerror(errno));
        return 2;
    }
    const int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(c.port));
    inet_pton(AF_INET, c.host.c_str(), &addr.sin_addr);
    if (ls < 0 || bind(ls, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (!c.refuse && listen(ls, 8) != 0)) {
        std::fprintf(stderr, "servsim: cannot listen on %s:%d: %s\n", c.host.c_str(), c.port,
                     std::strerror(errno));
        return 2;
    }
    socklen_t len = sizeof addr;
    getsockname(ls, reinterpret_cast<sockaddr*>(&addr), &len);
    // A bound socket that does not listen keeps the port and answers every SYN with a reset.
    std::printf("servsim: %s %s:%d (%s)\n", c.refuse ? "refusing" : "listening", c.host.c_str(),
                ntohs(addr.sin_port), c.secure ? "secure" : "plain");
    std::fflush(stdout);
    if (c.refuse) {
        SignalWithin(-1);
        return 0;
    }
    int served = 0;
    for (;;) {
        pollfd fds[2] = {{ls, POLLIN, 0}, {g_sigFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        sockaddr_in peer{};
        socklen_t plen = sizeof peer;
        const int fd = accept4(ls, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++served;
        char ip[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        Say(served, "accepted from ", std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port)));
        if (!Serve(c, fd, served)) break;
        if (c.connections > 0 && served >= c.connections) break;
    }
    close(ls);
    std::printf("servsim: %d connection(s)%s\n", served,
                !c.secure ? "" : g_envelopeFailed ? ", a malformed envelope" : ", every envelope well-formed");
    std::fflush(stdout);
    return g_envelopeFailed ? 1 : 0;
}
