// brisca-termsim: plays the card terminal on a serial line. Drives a real port, an existing
// pty, or a pty pair of its own, sending frames with a terminal's pauses and checking answers.
#include "sim_common.h"
#include "support/pty_pair.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char STX = 0x02, ETX = 0x03, ACK = 0x06, NAK = 0x15, DLE = 0x10, EOT = 0x04;

const char kUsage[] =
    "Usage: brisca-termsim (--pty-link PATH | --port DEVICE) [options] STEP...\n"
    "\n"
    "Line:\n"
    "  --pty-link PATH   make a pty pair and link PATH to its slave (the gateway's --port)\n"
    "  --port DEVICE     use an existing serial device or pty slave instead\n"
    "  --rate N          line speed of a real device (default 38400)\n"
    "Timing:\n"
    "  --gap MS          quiet time after every frame, so each is its own burst (default 150)\n"
    "  --timeout MS      how long an expect step waits (default 10000)\n"
    "  --wait-go         print 'ready' and wait for a line on standard input before the steps\n"
    "  --hold            after the steps, keep the line open until standard input closes\n"
    "\n"
    "Steps (sent frames are followed by the gap):\n"
    "  connect=K,HOST,PORT  connect frame: K is S (..E), T (..T) or P (..E)\n"
    "  request=TEXT      STX TEXT ETX and the LRC as two lowercase hex digits\n"
    "  send=TEXT         raw bytes; escapes \\xHH \\r \\n \\t \\e \\0 \\\\\n"
    "  hex=HEX           raw bytes in hex\n"
    "  version           VVV          ack, nak, eot    one byte\n"
    "  ack3, nak3        three bytes  dle              DLE DLE DLE (ends the connection)\n"
    "  pause=MS          wait, printing whatever arrives\n"
    "  go                wait for a line on standard input\n"
    "  expect=TEXT       the next bytes are exactly TEXT (escapes as for send)\n"
    "  expect-echo       the next bytes are the last frame sent\n"
    "  expect-prefix=TEXT  the next answer starts with TEXT (the rest of it is consumed)\n"
    "  expect-len=N      the next N bytes arrive (any content)\n"
    "  expect-any        an answer arrives (consumed up to the next quiet gap)\n"
    "  expect-silence=MS nothing (more) arrives for MS\n"
    "\n"
    "Exit status: 0 every expectation met, 1 one failed, 2 usage or line error, 3 interrupted.\n";

enum StepKind { SEND, PAUSE, GO, EXPECT, EXPECT_ECHO, EXPECT_PREFIX, EXPECT_LEN, EXPECT_ANY,
                EXPECT_SILENCE };

struct Step {
    StepKind kind;
    std::string label;
    std::string bytes;
    int number = 0;
};

struct Config {
    std::string ptyLink;
    std::string device;
    int rate = 38400;
    int gapMs = 150;
    int timeoutMs = 10000;
    bool waitGo = false;
    bool hold = false;
    std::vector<Step> steps;
};

int g_sigFd = -1;
int g_fd = -1;           // the line: pty master or device
int g_slaveFd = -1;      // our own slave fd keeps a pty alive between the gateway's opens
std::string g_linkMade;  // removed at exit
std::string g_pending;   // received, not yet consumed by an expect
std::string g_lastSent;

[[noreturn]] void Exit(int status) {
    if (!g_linkMade.empty()) unlink(g_linkMade.c_str());
    std::fflush(stdout);
    std::_Exit(status);
}

[[noreturn]] void Interrupted() {
    std::printf("termsim: interrupted\n");
    Exit(3);
}

speed_t SpeedConstant(int rate) {
    switch (rate) {
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return 0;
    }
}

bool MakeRaw(int fd, int rate) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    if (speed_t s = SpeedConstant(rate)) cfsetspeed(&t, s);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool OpenLine(const Config& c) {
    if (!c.device.empty()) {
        g_fd = open(c.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (g_fd < 0 || !MakeRaw(g_fd, c.rate)) {
            std::fprintf(stderr, "termsim: cannot open %s: %s\n", c.device.c_str(),
                         std::strerror(errno));
            return false;
        }
        tcflush(g_fd, TCIOFLUSH);
        std::printf("termsim: line %s at %d bit/s\n", c.device.c_str(), c.rate);
        return true;
    }
    static PtyPair pty;  // the slave held, for as long as the program runs
    if (!pty.Ok()) {
        std::fprintf(stderr, "termsim: cannot make a pty: %s\n", std::strerror(errno));
        return false;
    }
    g_fd = pty.master;
    g_slaveFd = pty.slave;
    const char* slave = pty.name.c_str();
    if (g_slaveFd < 0 || !MakeRaw(g_slaveFd, c.rate)) {
        std::fprintf(stderr, "termsim: cannot open the pty slave: %s\n", std::strerror(errno));
        return false;
    }
    fcntl(g_fd, F_SETFL, fcntl(g_fd, F_GETFL) | O_NONBLOCK);
    // Link atomically, replacing a stale link from an earlier run.
    const std::string tmp = c.ptyLink + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(slave, tmp.c_str()) != 0 || rename(tmp.c_str(), c.ptyLink.c_str()) != 0) {
        std::fprintf(stderr, "termsim: cannot link %s: %s\n", c.ptyLink.c_str(),
                     std::strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    g_linkMade = c.ptyLink;
    std::printf("termsim: pty %s linked at %s\n", slave, c.ptyLink.c_str());
    return true;
}

// Waits up to timeoutMs (-1: for ever) for the line; reads what is there into g_pending and
// prints it. Returns false on time-out.
bool ReadOnce(int timeoutMs) {
    pollfd fds[2] = {{g_fd, POLLIN, 0}, {g_sigFd, POLLIN, 0}};
    int r;
    do r = poll(fds, 2, timeoutMs);
    while (r < 0 && errno == EINTR);
    if (r <= 0) return false;
    if (fds[1].revents) Interrupted();
    char buf[4096];
    const ssize_t n = read(g_fd, buf, sizeof buf);
    if (n > 0) {
        g_pending.append(buf, static_cast<std::size_t>(n));
        std::printf("%s  <- %4zd bytes  %s\n", sim::Stamp().c_str(), n,
                    sim::Printable(buf, static_cast<std::size_t>(n)).c_str());
        std::fflush(stdout);
        return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        std::printf("termsim: line closed (%s)\n", n == 0 ? "end of file" : std::strerror(errno));
        Exit(2);
    }
    return true;
}

int Remaining(double deadline) {
    const double left = deadline - sim::ElapsedMs();
    return left <= 0 ? 0 : static_cast<int>(left + 0.999);
}

// Reads until deadline (ms since start).
void DrainUntil(double deadline) {
    while (Remaining(deadline) > 0) ReadOnce(Remaining(deadline));
}

// Reads until nothing arrived for quietMs.
void DrainQuiet(int quietMs) {
    while (ReadOnce(quietMs)) {
    }
}

// Reads until g_pending holds n bytes or the deadline passes.
bool WaitFor(std::size_t n, double deadline) {
    while (g_pending.size() < n) {
        const int left = Remaining(deadline);
        if (left == 0 || !ReadOnce(left)) return g_pending.size() >= n;
    }
    return true;
}

void WriteAll(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = write(g_fd, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) {
            std::printf("termsim: write failed: %s\n", std::strerror(errno));
            Exit(2);
        }
        pollfd p{g_fd, POLLOUT, 0};
        poll(&p, 1, -1);
    }
}

void WaitGo() {
    std::printf("termsim: ready\n");
    std::fflush(stdout);
    pollfd fds[2] = {{0, POLLIN, 0}, {g_sigFd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR) Exit(2);
        if (fds[1].revents) Interrupted();
        if (!fds[0].revents) continue;
        char c;
        const ssize_t n = read(0, &c, 1);
        if (n <= 0) {
            std::printf("termsim: standard input closed before go\n");
            Exit(2);
        }
        if (c == '\n') return;
    }
}

void Hold() {
    std::printf("termsim: holding the line until standard input closes\n");
    std::fflush(stdout);
    pollfd fds[3] = {{0, POLLIN, 0}, {g_sigFd, POLLIN, 0}, {g_fd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 3, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents) return;
        if (fds[2].revents) ReadOnce(0);
        if (fds[0].revents) {
            char buf[256];
            if (read(0, buf, sizeof buf) <= 0) return;
        }
    }
}

bool Fail(const Step& s, const std::string& why) {
    std::printf("%s  FAIL %s: %s; unread: %s\n", sim::Stamp().c_str(), s.label.c_str(),
                why.c_str(), sim::Printable(g_pending.data(), g_pending.size()).c_str());
    return false;
}

bool Ok(const Step& s) {
    std::printf("%s  ok   %s\n", sim::Stamp().c_str(), s.label.c_str());
    return true;
}

bool RunStep(const Config& c, const Step& s) {
    const double deadline = sim::ElapsedMs() + c.timeoutMs;
    switch (s.kind) {
        case SEND:
            WriteAll(s.bytes);
            g_lastSent = s.bytes;
            std::printf("%s  -> %4zu bytes  %s  (%s)\n", sim::Stamp().c_str(), s.bytes.size(),
                        sim::Printable(s.bytes.data(), s.bytes.size()).c_str(), s.label.c_str());
            std::fflush(stdout);
            DrainUntil(sim::ElapsedMs() + c.gapMs);
            return true;
        case PAUSE:
            DrainUntil(sim::ElapsedMs() + s.number);
            return true;
        case GO:
            WaitGo();
            return true;
        case EXPECT:
        case EXPECT_ECHO:
        case EXPECT_PREFIX: {
            const std::string& want = s.kind == EXPECT_ECHO ? g_lastSent : s.bytes;
            if (!WaitFor(want.size(), deadline)) return Fail(s, "time-out");
            if (g_pending.compare(0, want.size(), want) != 0)
                return Fail(s, "expected " + sim::Printable(want.data(), want.size()));
            g_pending.erase(0, want.size());
            if (s.kind == EXPECT_PREFIX) {
                DrainQuiet(c.gapMs);
                g_pending.clear();
            }
            return Ok(s);
        }
        case EXPECT_LEN:
            if (!WaitFor(static_cast<std::size_t>(s.number), deadline)) return Fail(s, "time-out");
            g_pending.erase(0, static_cast<std::size_t>(s.number));
            return Ok(s);
        case EXPECT_ANY:
            if (!WaitFor(1, deadline)) return Fail(s, "time-out");
            DrainQuiet(c.gapMs);
            g_pending.clear();
            return Ok(s);
        case EXPECT_SILENCE:
            DrainUntil(sim::ElapsedMs() + s.number);
            if (!g_pending.empty()) return Fail(s, "bytes arrived");
            return Ok(s);
    }
    return false;
}

std::string Lrc(const std::string& body) {
    unsigned char x = 0;
    for (char ch : body) x ^= static_cast<unsigned char>(ch);
    x ^= static_cast<unsigned char>(ETX);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", x);
    return hex;
}

bool ParseNumber(const std::string& text, int* out) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 0 || v > 100000000) return false;
    *out = static_cast<int>(v);
    return true;
}

bool ParseStep(const std::string& arg, Step* s) {
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
    const bool hasValue = eq != std::string::npos;
    s->label = arg;
    s->kind = SEND;
    if (name == "version" && !hasValue) { s->bytes = "VVV"; return true; }
    if (name == "ack" && !hasValue) { s->bytes = std::string(1, ACK); return true; }
    if (name == "nak" && !hasValue) { s->bytes = std::string(1, NAK); return true; }
    if (name == "eot" && !hasValue) { s->bytes = std::string(1, EOT); return true; }
    if (name == "ack3" && !hasValue) { s->bytes = std::string(3, ACK); return true; }
    if (name == "nak3" && !hasValue) { s->bytes = std::string(3, NAK); return true; }
    if (name == "dle" && !hasValue) { s->bytes = std::string(3, DLE); return true; }
    if (name == "send" && hasValue) return sim::Unescape(value, &s->bytes) && !s->bytes.empty();
    if (name == "hex" && hasValue) return sim::FromHex(value, &s->bytes) && !s->bytes.empty();
    if (name == "request" && hasValue) {
        std::string body;
        if (!sim::Unescape(value, &body)) return false;
        s->bytes = std::string(1, STX) + body + ETX + Lrc(body);
        return true;
    }
    if (name == "connect" && hasValue) {
        const std::size_t c1 = value.find(',');
        const std::size_t c2 = value.find(',', c1 == std::string::npos ? 0 : c1 + 1);
        if (c1 != 1 || c2 == std::string::npos) return false;
        const char k = value[0];
        if (k != 'S' && k != 'T' && k != 'P') return false;
        s->bytes = std::string(1, k) + value.substr(2, c2 - 2) + ':' + value.substr(c2 + 1) +
                   (k == 'T' ? 'T' : 'E');
        return true;
    }
    if (name == "pause" && hasValue) { s->kind = PAUSE; return ParseNumber(value, &s->number); }
    if (name == "go" && !hasValue) { s->kind = GO; return true; }
    if (name == "expect" && hasValue) {
        s->kind = EXPECT;
        return sim::Unescape(value, &s->bytes) && !s->bytes.empty();
    }
    if (name == "expect-echo" && !hasValue) { s->kind = EXPECT_ECHO; return true; }
    if (name == "expect-prefix" && hasValue) {
        s->kind = EXPECT_PREFIX;
        return sim::Unescape(value, &s->bytes) && !s->bytes.empty();
    }
    if (name == "expect-len" && hasValue) {
        s->kind = EXPECT_LEN;
        return ParseNumber(value, &s->number) && s->number > 0;
    }
    if (name == "expect-any" && !hasValue) { s->kind = EXPECT_ANY; return true; }
    if (name == "expect-silence" && hasValue) {
        s->kind = EXPECT_SILENCE;
        return ParseNumber(value, &s->number);
    }
    return false;
}

bool ParseArgs(int argc, char** argv, Config* c) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--pty-link") {
            if (!value(&c->ptyLink)) return false;
        } else if (a == "--port") {
            if (!value(&c->device)) return false;
        } else if (a == "--rate") {
            if (!value(&v) || !ParseNumber(v, &c->rate)) return false;
        } else if (a == "--gap") {
            if (!value(&v) || !ParseNumber(v, &c->gapMs)) return false;
        } else if (a == "--timeout") {
            if (!value(&v) || !ParseNumber(v, &c->timeoutMs)) return false;
        } else if (a == "--wait-go") {
            c->waitGo = true;
        } else if (a == "--hold") {
            c->hold = true;
        } else if (a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "termsim: unknown option %s\n", a.c_str());
            return false;
        } else {
            Step s;
            if (!ParseStep(a, &s)) {
                std::fprintf(stderr, "termsim: bad step '%s'\n", a.c_str());
                return false;
            }
            c->steps.push_back(s);
        }
    }
    return c->ptyLink.empty() != c->device.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Config c;
    if (!ParseArgs(argc, argv, &c)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    g_sigFd = sim::TerminationFd();
    if (!OpenLine(c)) Exit(2);
    std::fflush(stdout);
    int expects = 0, met = 0;
    {
        if (c.waitGo) WaitGo();
        for (const Step& s : c.steps) {
            const bool isExpect = s.kind >= EXPECT;
            expects += isExpect;
            if (!RunStep(c, s)) {
                std::printf("termsim: %d of %d expectations met before the failure\n", met,
                            expects);
                Exit(1);
            }
            met += isExpect;
        }
        std::printf("termsim: %d of %d expectations met\n", met, expects);
        std::fflush(stdout);
        if (c.hold) Hold();
    }
    Exit(0);
}
