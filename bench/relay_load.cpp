// brisca-relay-load: drives a serial-to-TCP relay from both ends at once, the terminal on a pty
// master and the server on a loopback listener, and times every exchange in both directions.
//
// One exchange: the terminal writes a request; the server times its first byte (request path);
// --answer-after-ms after the whole request is in (0: at once) the server writes an answer and
// the terminal times its last byte (answer path). The relay's CPU time (its process CPU clock),
// heap calls (through alloc_count.so), peak RSS and idle CPU are read around the measured part.
// Bounded: every wait has a time-out and the whole run a time limit; loopback only.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: brisca-relay-load --name NAME --out FILE.json [options] -- COMMAND ARG...\n"
    "COMMAND and its arguments may hold {PTY} (the pty slave) and {PORT} (the server's port).\n"
    "  --exchanges N        measured exchanges (default 1000)\n"
    "  --warmup N           exchanges before measuring (default 20)\n"
    "  --request-bytes N    terminal request size (default 150)\n"
    "  --answer-bytes N     server answer size (default 300)\n"
    "  --answer-after-ms N  answer N ms after the request is in; 0: back to back (default 100)\n"
    "  --connect KIND       P or S: the terminal sends a connect frame of that kind first;\n"
    "                       none: the relay connects by itself (default none)\n"
    "  --envelope           the server reads secure envelopes (length field first)\n"
    "  --ready-text TEXT    wait until the relay's output holds TEXT before starting\n"
    "  --no-connection      no server connection and no traffic: only --idle-sec\n"
    "  --idle-sec N         afterwards 2 s to settle, then N seconds without traffic, CPU\n"
    "                       measured (default 0)\n"
    "  --template IN:OUT    write IN to OUT with {PTY} and {PORT} replaced first\n"
    "  --preload LIB        LD_PRELOAD for the relay (the heap-call counter)\n"
    "  --log FILE           the relay's standard output and error (default /dev/null)\n"
    "  --samples FILE       every measured exchange as CSV (request_us,answer_us)\n"
    "  --time-limit SEC     the whole run (default 300)\n";

constexpr int kStepTimeoutMs = 5000;

struct AllocCounters {  // the layout of bench/alloc_count.c
    uint64_t allocations;
    uint64_t frees;
    uint64_t bytes;
};

struct Config {
    std::string name, out, log = "/dev/null", samples, readyText, preload;
    std::string templateIn, templateOut;
    std::vector<std::string> command;
    int exchanges = 1000, warmup = 20, requestBytes = 150, answerBytes = 300;
    int answerAfterMs = 100, idleSec = 0, timeLimitSec = 300;
    char connect = 0;
    bool envelope = false, noConnection = false;
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "relay-load: %s%s%s\n", what, errno ? ": " : "",
                 errno ? std::strerror(errno) : "");
    std::exit(1);
}

int64_t NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

void SleepUntil(int64_t ns) {
    timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// Waits until fd is readable or the deadline (monotonic ns) passes.
bool WaitReadable(int fd, int64_t deadline) {
    for (;;) {
        const int64_t left = deadline - NowNs();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>((left + 999999) / 1000000));
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

// Reads exactly n bytes (fd is non-blocking) before the deadline. firstNs, when given, gets
// the time the first bytes arrived.
bool ReadExact(int fd, char* buf, int n, int64_t deadline, int64_t* firstNs) {
    int got = 0;
    while (got < n) {
        const ssize_t r = read(fd, buf + got, static_cast<std::size_t>(n - got));
        if (r > 0) {
            if (got == 0 && firstNs) *firstNs = NowNs();
            got += static_cast<int>(r);
            continue;
        }
        if (r == 0) return false;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return false;
        if (!WaitReadable(fd, deadline)) return false;
    }
    return true;
}

bool WriteAll(int fd, const char* buf, int n) {
    int done = 0;
    const int64_t deadline = NowNs() + int64_t{kStepTimeoutMs} * 1000000;
    while (done < n) {
        const ssize_t r = write(fd, buf + done, static_cast<std::size_t>(n - done));
        if (r > 0) {
            done += static_cast<int>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) return false;
        pollfd p{fd, POLLOUT, 0};
        if (NowNs() > deadline || poll(&p, 1, 100) < 0) return false;
    }
    return true;
}

// A frame as a terminal or server sends it: STX, kind, sequence number, filler, ETX and the
// LRC as two hex digits. Never a connect frame, version query or DLE DLE DLE.
std::string Frame(const char* kind, int seq, int size) {
    std::string f(1, '\x02');
    char head[32];
    std::snprintf(head, sizeof head, "%s%08d", kind, seq);
    f += head;
    while (static_cast<int>(f.size()) < size - 3) f += static_cast<char>('A' + (f.size() + seq) % 26);
    f.resize(static_cast<std::size_t>(std::max(size - 3, 1)));
    f += '\x03';
    unsigned lrc = 0;
    for (std::size_t i = 1; i < f.size(); ++i) lrc ^= static_cast<unsigned char>(f[i]);
    char tail[3];
    std::snprintf(tail, sizeof tail, "%02x", lrc);
    f += tail;
    return f;
}

// The relay's CPU time (all its threads, ended ones included) in ns.
int64_t ProcessCpuNs(pid_t pid) {
    clockid_t id;
    timespec t{};
    if (clock_getcpuclockid(pid, &id) != 0 || clock_gettime(id, &t) != 0) return -1;
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// utime + stime from /proc/<pid>/stat, in clock ticks.
long ProcessTicks(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::size_t close = all.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i) {  // field 3 is the state
        if (i == 14) utime = std::atol(field.c_str());
        if (i == 15) {
            stime = std::atol(field.c_str());
            return utime + stime;
        }
    }
    return -1;
}

long StatusKb(pid_t pid, const char* key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::size_t len = std::strlen(key);
    while (std::getline(f, line))
        if (line.compare(0, len, key) == 0 && line.size() > len && line[len] == ':')
            return std::atol(line.c_str() + len + 1);
    return -1;
}

// Voluntary and involuntary context switches of all the relay's threads.
long ContextSwitches(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    long sum = 0;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(dir + "/" + e->d_name + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.compare(0, 25, "voluntary_ctxt_switches:\t") == 0 ||
                line.compare(0, 28, "nonvoluntary_ctxt_switches:\t") == 0)
                sum += std::atol(line.c_str() + line.find('\t') + 1);
    }
    closedir(d);
    return sum;
}

struct Stats {
    double p50 = 0, p90 = 0, p99 = 0, max = 0, min = 0, mean = 0;
};

Stats Summarize(std::vector<double> v) {
    Stats s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    auto rank = [&](double q) {  // nearest rank
        std::size_t i = static_cast<std::size_t>(std::ceil(q * v.size()));
        return v[i == 0 ? 0 : i - 1];
    };
    s.p50 = rank(0.50);
    s.p90 = rank(0.90);
    s.p99 = rank(0.99);
    s.min = v.front();
    s.max = v.back();
    double sum = 0;
    for (double x : v) sum += x;
    s.mean = sum / v.size();
    return s;
}

std::string StatsJson(const Stats& s) {
    char b[256];
    std::snprintf(b, sizeof b,
                  "{\"p50\": %.1f, \"p90\": %.1f, \"p99\": %.1f, \"min\": %.1f, \"max\": %.1f, "
                  "\"mean\": %.1f}",
                  s.p50, s.p90, s.p99, s.min, s.max, s.mean);
    return b;
}

std::string JsonText(const std::string& s) {
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') o += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char e[8];
            std::snprintf(e, sizeof e, "\\u%04x", c);
            o += e;
        } else {
            o += c;
        }
    }
    return o + "\"";
}

bool LogHas(const std::string& path, const std::string& text) {
    std::ifstream f(path);
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    return all.find(text) != std::string::npos;
}

// Waits (bounded) for a child to end; pidfd: no polling.
bool WaitExit(pid_t pid, int ms) {
    const int pfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pfd >= 0) {
        pollfd p{pfd, POLLIN, 0};
        poll(&p, 1, ms);
        close(pfd);
    }
    int status;
    return waitpid(pid, &status, WNOHANG) == pid;
}

Config Parse(int argc, char** argv) {
    Config c;
    int i = 1;
    auto value = [&](const char* name) -> std::string {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "relay-load: %s needs a value\n%s", name, kUsage);
            std::exit(2);
        }
        return argv[++i];
    };
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            for (++i; i < argc; ++i) c.command.emplace_back(argv[i]);
            break;
        }
        if (a == "--name") c.name = value("--name");
        else if (a == "--out") c.out = value("--out");
        else if (a == "--log") c.log = value("--log");
        else if (a == "--samples") c.samples = value("--samples");
        else if (a == "--ready-text") c.readyText = value("--ready-text");
        else if (a == "--preload") c.preload = value("--preload");
        else if (a == "--exchanges") c.exchanges = std::atoi(value("--exchanges").c_str());
        else if (a == "--warmup") c.warmup = std::atoi(value("--warmup").c_str());
        else if (a == "--request-bytes") c.requestBytes = std::atoi(value("--request-bytes").c_str());
        else if (a == "--answer-bytes") c.answerBytes = std::atoi(value("--answer-bytes").c_str());
        else if (a == "--answer-after-ms") c.answerAfterMs = std::atoi(value("--answer-after-ms").c_str());
        else if (a == "--idle-sec") c.idleSec = std::atoi(value("--idle-sec").c_str());
        else if (a == "--time-limit") c.timeLimitSec = std::atoi(value("--time-limit").c_str());
        else if (a == "--envelope") c.envelope = true;
        else if (a == "--no-connection") c.noConnection = true;
        else if (a == "--connect") {
            const std::string k = value("--connect");
            c.connect = k == "none" ? 0 : k[0];
        } else if (a == "--template") {
            const std::string t = value("--template");
            const std::size_t colon = t.find(':');
            if (colon == std::string::npos) Fail("--template needs IN:OUT");
            c.templateIn = t.substr(0, colon);
            c.templateOut = t.substr(colon + 1);
        } else {
            std::fprintf(stderr, "relay-load: unknown argument %s\n%s", a.c_str(), kUsage);
            std::exit(2);
        }
    }
    if (c.name.empty() || c.out.empty() || c.command.empty()) {
        std::fputs(kUsage, stderr);
        std::exit(2);
    }
    if (c.requestBytes < 8 || c.requestBytes > 4096 || c.answerBytes < 1 || c.answerBytes > 4096)
        Fail("request 8..4096 bytes, answer 1..4096 bytes");
    if (c.envelope && c.answerBytes > 3)
        Fail("--envelope: the answer must be under 4 bytes (passed on without an envelope)");
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    const Config cfg = Parse(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    const int64_t start = NowNs();
    const int64_t limit = start + int64_t{cfg.timeLimitSec} * 1000000000;
    std::string error;

    // The line: a pty pair, raw from the start so nothing is echoed before the relay sets it.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) Fail("pty");
    const std::string slave = ptsname(master);
    const int slaveFd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);  // keeps the pty alive
    termios t{};
    if (slaveFd < 0 || tcgetattr(slaveFd, &t) != 0) Fail("pty slave");
    cfmakeraw(&t);
    cfsetspeed(&t, B38400);
    tcsetattr(slaveFd, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    // The server: one loopback listener.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &alen) != 0)
        Fail("listener");
    const std::string port = std::to_string(ntohs(addr.sin_port));

    if (!cfg.templateIn.empty()) {
        std::ifstream in(cfg.templateIn);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(cfg.templateOut) << Replace(Replace(text, "{PTY}", slave), "{PORT}", port);
    }

    // The heap-call counter's shared file.
    AllocCounters* counters = nullptr;
    std::string allocFile;
    if (!cfg.preload.empty()) {
        char path[] = "/tmp/brisca-alloc.XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0 || ftruncate(fd, sizeof(AllocCounters)) != 0) Fail("counter file");
        void* p = mmap(nullptr, sizeof(AllocCounters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (p == MAP_FAILED) Fail("counter map");
        counters = static_cast<AllocCounters*>(p);
        allocFile = path;
    }

    std::vector<std::string> args;
    for (const std::string& a : cfg.command) args.push_back(Replace(Replace(a, "{PTY}", slave), "{PORT}", port));
    const pid_t pid = fork();
    if (pid < 0) Fail("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // the relay ends with its driver
        const int logFd = open(cfg.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (logFd >= 0) {
            dup2(logFd, 1);
            dup2(logFd, 2);
        }
        const int nul = open("/dev/null", O_RDONLY);
        if (nul >= 0) dup2(nul, 0);
        if (!cfg.preload.empty()) {
            setenv("LD_PRELOAD", cfg.preload.c_str(), 1);
            setenv("BRISCA_BENCH_ALLOC_FILE", allocFile.c_str(), 1);
        }
        std::vector<char*> av;
        for (std::string& a : args) av.push_back(a.data());
        av.push_back(nullptr);
        execvp(av[0], av.data());
        _exit(127);
    }

    int conn = -1;
    std::vector<double> requestUs, answerUs;
    int64_t cpu0 = 0, cpu1 = 0, idleCpu0 = 0, idleCpu1 = 0;
    long switches0 = 0, switches1 = 0;
    long ticks0 = 0, ticks1 = 0, idleTicks0 = 0, idleTicks1 = 0;
    AllocCounters alloc0{}, alloc1{}, allocEnd{};
    long hwmKb = -1, rssKb = -1, threads = -1;
    double idleWallSec = 0;
    auto snapshot = [&](AllocCounters* a) {
        if (counters) {
            a->allocations = __atomic_load_n(&counters->allocations, __ATOMIC_RELAXED);
            a->frees = __atomic_load_n(&counters->frees, __ATOMIC_RELAXED);
            a->bytes = __atomic_load_n(&counters->bytes, __ATOMIC_RELAXED);
        }
    };

    do {
        // Ready: the relay says so in its output (bounded; start-up only).
        if (!cfg.readyText.empty()) {
            const int64_t deadline = NowNs() + 10000000000LL;
            while (!LogHas(cfg.log, cfg.readyText)) {
                if (NowNs() > deadline || waitpid(pid, nullptr, WNOHANG) == pid) break;
                SleepUntil(NowNs() + 10000000);
            }
            if (!LogHas(cfg.log, cfg.readyText)) {
                error = "the relay never said it was ready";
                break;
            }
        }
        if (cfg.noConnection) break;

        if (cfg.connect) {
            const std::string frame = std::string(1, cfg.connect) + "127.0.0.1:" + port + "E";
            if (!WriteAll(master, frame.data(), static_cast<int>(frame.size()))) {
                error = "writing the connect frame";
                break;
            }
        }
        if (!WaitReadable(listener, NowNs() + 10000000000LL)) {
            error = "the relay never connected";
            break;
        }
        conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (conn < 0) {
            error = "accept";
            break;
        }
        const int one = 1;
        setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

        // The answer path works end to end before anything is timed (ser2net opens the device
        // only after its connection is up).
        {
            // One ACK: the secure route passes a reply under 4 bytes on without an envelope.
            char sync[1];
            if (!WriteAll(conn, "\x06", 1) ||
                !ReadExact(master, sync, 1, NowNs() + 5000000000LL, nullptr)) {
                error = "no first answer through the relay";
                break;
            }
        }

        const int total = cfg.warmup + cfg.exchanges;
        std::vector<char> got(8192);
        for (int i = 0; i < total && error.empty(); ++i) {
            if (NowNs() > limit) {
                error = "time limit reached after " + std::to_string(i) + " exchanges";
                break;
            }
            if (i == cfg.warmup) {
                snapshot(&alloc0);
                cpu0 = ProcessCpuNs(pid);
                ticks0 = ProcessTicks(pid);
                switches0 = ContextSwitches(pid);
            }
            const std::string request = Frame("0200", i, cfg.requestBytes);
            const std::string answer =
                cfg.envelope ? std::string(static_cast<std::size_t>(cfg.answerBytes), '\x06')
                             : Frame("0210", i, cfg.answerBytes);
            // Request path: the terminal's last byte to the server's first byte.
            if (!WriteAll(master, request.data(), static_cast<int>(request.size()))) {
                error = "terminal write";
                break;
            }
            const int64_t sent = NowNs();
            const int64_t deadline = sent + int64_t{kStepTimeoutMs} * 1000000;
            int64_t first = 0;
            if (cfg.envelope) {
                char field[5] = {};
                if (!ReadExact(conn, field, 4, deadline, &first) ||
                    !ReadExact(conn, got.data(), std::atoi(field), deadline, nullptr)) {
                    error = "no envelope at the server (exchange " + std::to_string(i) + ")";
                    break;
                }
            } else if (!ReadExact(conn, got.data(), cfg.requestBytes, deadline, &first) ||
                       std::memcmp(got.data(), request.data(), request.size()) != 0) {
                error = "request not relayed intact (exchange " + std::to_string(i) + ")";
                break;
            }
            // Answer path: the server's write to the terminal's last byte. Paced: the server
            // waits before answering, so the relay's threads have gone to sleep; back to back
            // (0 ms): it answers as soon as the request is in.
            if (cfg.answerAfterMs > 0) SleepUntil(NowNs() + int64_t{cfg.answerAfterMs} * 1000000);
            const int64_t answered = NowNs();
            if (!WriteAll(conn, answer.data(), static_cast<int>(answer.size()))) {
                error = "server write";
                break;
            }
            int64_t last = 0;
            if (!ReadExact(master, got.data(), cfg.answerBytes, answered + int64_t{kStepTimeoutMs} * 1000000,
                           nullptr) ||
                std::memcmp(got.data(), answer.data(), answer.size()) != 0) {
                error = "answer not relayed intact (exchange " + std::to_string(i) + ")";
                break;
            }
            last = NowNs();
            if (i >= cfg.warmup) {
                requestUs.push_back((first - sent) / 1000.0);
                answerUs.push_back((last - answered) / 1000.0);
            }
        }
        if (!error.empty()) break;
        cpu1 = ProcessCpuNs(pid);
        ticks1 = ProcessTicks(pid);
        switches1 = ContextSwitches(pid);
        snapshot(&alloc1);
    } while (false);

    if (error.empty() && cfg.idleSec > 0) {
        // The relay finishes its start-up or last exchange (settings file, autostart entry,
        // trace lines) before the idle time is measured.
        SleepUntil(NowNs() + 2000000000LL);
        const int64_t idleStart = NowNs();
        idleCpu0 = ProcessCpuNs(pid);
        idleTicks0 = ProcessTicks(pid);
        SleepUntil(idleStart + int64_t{cfg.idleSec} * 1000000000);
        idleCpu1 = ProcessCpuNs(pid);
        idleTicks1 = ProcessTicks(pid);
        idleWallSec = (NowNs() - idleStart) / 1e9;
    }
    snapshot(&allocEnd);
    hwmKb = StatusKb(pid, "VmHWM");
    rssKb = StatusKb(pid, "VmRSS");
    threads = StatusKb(pid, "Threads");

    kill(pid, SIGTERM);
    if (!WaitExit(pid, 5000)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (conn >= 0) close(conn);
    if (!allocFile.empty()) unlink(allocFile.c_str());

    const int measured = static_cast<int>(requestUs.size());
    if (!cfg.samples.empty()) {
        std::ofstream s(cfg.samples);
        s << "request_us,answer_us\n";
        for (int i = 0; i < measured; ++i) s << requestUs[i] << "," << answerUs[i] << "\n";
    }
    const long hz = sysconf(_SC_CLK_TCK);
    std::ofstream o(cfg.out);
    o << "{\n  \"name\": " << JsonText(cfg.name) << ",\n";
    o << "  \"error\": " << JsonText(error) << ",\n";
    o << "  \"exchanges\": " << measured << ",\n";
    o << "  \"request_bytes\": " << cfg.requestBytes << ", \"answer_bytes\": " << cfg.answerBytes
      << ", \"answer_after_ms\": " << cfg.answerAfterMs << ",\n";
    o << "  \"request_us\": " << StatsJson(Summarize(requestUs)) << ",\n";
    o << "  \"answer_us\": " << StatsJson(Summarize(answerUs)) << ",\n";
    char b[512];
    std::snprintf(b, sizeof b,
                  "  \"cpu_ms\": %.3f, \"cpu_ticks\": %ld, \"clock_hz\": %ld, "
                  "\"context_switches\": %ld,\n"
                  "  \"allocations\": %llu, \"frees\": %llu, \"alloc_bytes\": %llu, "
                  "\"alloc_counted\": %s, \"allocations_whole_run\": %llu,\n",
                  measured ? (cpu1 - cpu0) / 1e6 : 0.0, measured ? ticks1 - ticks0 : 0L, hz,
                  measured ? switches1 - switches0 : 0L,
                  static_cast<unsigned long long>(alloc1.allocations - alloc0.allocations),
                  static_cast<unsigned long long>(alloc1.frees - alloc0.frees),
                  static_cast<unsigned long long>(alloc1.bytes - alloc0.bytes),
                  counters ? "true" : "false",
                  static_cast<unsigned long long>(allocEnd.allocations));
    o << b;
    std::snprintf(b, sizeof b,
                  "  \"idle_sec\": %.3f, \"idle_cpu_ms\": %.4f, \"idle_ticks\": %ld,\n"
                  "  \"vmhwm_kb\": %ld, \"vmrss_kb\": %ld, \"threads\": %ld\n}\n",
                  idleWallSec, cfg.idleSec > 0 ? (idleCpu1 - idleCpu0) / 1e6 : 0.0,
                  idleTicks1 - idleTicks0, hwmKb, rssKb, threads);
    o << b;
    std::printf("%-12s %4d exchanges  request p50 %.1f us p99 %.1f us  answer p50 %.1f us p99 %.1f us%s%s\n",
                cfg.name.c_str(), measured, Summarize(requestUs).p50, Summarize(requestUs).p99,
                Summarize(answerUs).p50, Summarize(answerUs).p99, error.empty() ? "" : "  ERROR: ",
                error.c_str());
    return error.empty() ? 0 : 1;
}
