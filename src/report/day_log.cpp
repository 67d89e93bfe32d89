#include "report/day_log.h"

#include "sys/sys.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace report {

namespace {

constexpr std::size_t kMaxLine = 16384;  // a frame line is at most about 5 KB
constexpr std::size_t kMaxDetail = 120;
constexpr std::size_t kMaxProcesses = 16;
constexpr std::size_t kPieceSize = 1 << 20;

// One name for each outcome, the same in the summary, the page, its tables and its tooltips.
const char* const kOutcomes[OUT_COUNT] = {
    "응답 (answered)",
    "서버가 끊음 (server closed)",
    "시간 초과 (time-out)",
    "접속 거부 (refused)",
    "접속 불가 (unreachable)",
    "잘못된 주소 (bad address)",
    "허용되지 않은 서버 (not allowed)",
    "복호화 오류 (decrypt failure)",
    "응답 잘림 (answer cut short)",
    "잘못된 응답 (bad answer)",
    "송신 오류 (send error)",
    "단말기 쓰기 오류 (terminal write error)",
    "수신 오류 (read error)",
    "응답 전 종료 (ended before an answer)",
    "끝이 기록되지 않음 (unfinished)",
};

const char* const kEventLabels[EV_COUNT] = {
    "프로그램 시작 (start)",
    "프로그램 종료 (stop)",
    "종료 기록 없이 끝남 (ended without stop)",
    "포트 열기 실패 (port open failed)",
    "시리얼 포트 끊김 (port lost)",
    "시리얼 포트 복구 (port back)",
    "로그 용량 제한 (log limit reached)",
    "설정 오류 (settings problem)",
    "접속전문 오류 (bad connect frame)",
    "시작 기록 없음 (no start line)",
};

// The log's texts in code page 949, made once from their UTF-8 form.
struct Marker {
    std::string bytes;
    explicit Marker(const char* utf8) {
        char out[256];
        const long n = sys::Utf8ToCp949(utf8, std::strlen(utf8), out, sizeof out);
        bytes = n >= 0 ? std::string(out, static_cast<std::size_t>(n)) : std::string(utf8);
    }
};

struct Markers {
    Marker prefixArrow{"] ▷ "};
    Marker tevn{"TEVN-> "};
    Marker connect{"서버 접속 : "};
    Marker connectFail{"서버 접속 실패 : "};
    Marker connectEnd{"서버 접속 종료 : "};
    Marker sentField{", 송신 "};
    Marker answersField{", 수신 "};
    Marker firstField{", 첫응답 "};
    Marker spanField{", 접속 "};
    Marker resultField{", 결과 "};
    Marker start{"프로그램 시작 : "};
    Marker startFolder{", 로그 폴더 "};
    Marker stop{"프로그램 종료"};
    Marker portLost{"ERROR : 시리얼 포트 끊김 ("};
    Marker portBack{"시리얼 포트 복구 ("};
    Marker logLimit{"로그 용량 제한("};
    Marker settings{"ERROR : Allowed Servers 설정 오류 ("};
    Marker connectErrno{"ERROR : Connect Error (ERRNO = "};
    Marker frameError{"ERROR : 접속전문 오류 ("};
    Marker error{"ERROR : "};
    Marker request{"[요청전문]["};
    Marker answer{"[응답전문]["};
    Marker receiveSize{"Receive 전문사이즈 Error!"};
    Marker receiveError{"Receive Error["};
    Marker fromTerminal{"[CAT->VAN] ["};
    Marker toTerminal{"[CAT<-VAN] ["};
    Marker tms{"[CAT<-TMS] ["};
    // The trace's text lines, known and placed; the log's own lines say the same with more.
    Marker traceLines[13] = {Marker{"서버접속-->"},          Marker{"서버 접속오류!-->"},
                             Marker{"TIMEOUT 접속해제!-->"}, Marker{"#1 RECV 접속해제!-->"},
                             Marker{"#2 RECV 접속해제!-->"}, Marker{"접속해제!("},
                             Marker{"접속해제("},            Marker{"로그 폴더-->"},
                             Marker{"시리얼 포트 끊김!-->"}, Marker{"시리얼 포트 복구!-->"},
                             Marker{"접속전문 오류!-->"},    Marker{"Allowed Servers 설정 오류!-->"},
                             Marker{"송신 오류!-->접속해제"}};
    Marker openOk{" Open 성공!"};
    Marker openFailed{" Open 실패!"};
    Marker close{" Close"};
};

const Markers& M() {
    static const Markers markers;
    return markers;
}

bool Eat(const char*& p, std::size_t& n, const Marker& m) {
    const std::string& b = m.bytes;
    if (n < b.size() || std::memcmp(p, b.data(), b.size()) != 0) return false;
    p += b.size();
    n -= b.size();
    return true;
}

bool EndsWith(const char* p, std::size_t n, const Marker& m) {
    const std::string& b = m.bytes;
    return n >= b.size() && std::memcmp(p + n - b.size(), b.data(), b.size()) == 0;
}

// The last occurrence of m in p[0..n), or null.
const char* FindLast(const char* p, std::size_t n, const Marker& m) {
    const std::string& b = m.bytes;
    if (n < b.size()) return nullptr;
    for (std::size_t i = n - b.size() + 1; i-- > 0;)
        if (std::memcmp(p + i, b.data(), b.size()) == 0) return p + i;
    return nullptr;
}

const char* Find(const char* p, std::size_t n, const Marker& m) {
    const std::string& b = m.bytes;
    for (std::size_t i = 0; i + b.size() <= n; ++i)
        if (std::memcmp(p + i, b.data(), b.size()) == 0) return p + i;
    return nullptr;
}

// Reads decimal digits (at most 18); false when there are none.
bool Number(const char*& p, std::size_t& n, long long* value) {
    long long v = 0;
    std::size_t k = 0;
    while (k < n && k < 18 && p[k] >= '0' && p[k] <= '9') v = v * 10 + (p[k++] - '0');
    if (k == 0) return false;
    p += k;
    n -= k;
    *value = v;
    return true;
}

bool Char(const char*& p, std::size_t& n, char c) {
    if (n == 0 || *p != c) return false;
    ++p;
    --n;
    return true;
}

// A short UTF-8 text for the report from the log's bytes (code page 949).
std::string Detail(const char* p, std::size_t n) {
    if (n > kMaxDetail) n = kMaxDetail;
    std::string text = sys::Cp949ToUtf8(p, n);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

// The text up to the closing parenthesis of a "(...)" line, or all of it.
std::string DetailInParens(const char* p, std::size_t n) {
    const char* close = static_cast<const char*>(std::memchr(p, ')', n));
    // The last ')' counts: a port's name may hold one.
    for (const char* q = p + n; q-- > p;)
        if (*q == ')') {
            close = q;
            break;
        }
    return Detail(p, close ? static_cast<std::size_t>(close - p) : n);
}

int DaysIn(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

bool RealDate(int y, int m, int d) { return y >= 1 && m >= 1 && m <= 12 && d >= 1 && d <= DaysIn(y, m); }

// Fixed-width digits at p.
bool Digits(const char* p, int count, int* value) {
    int v = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    *value = v;
    return true;
}

}  // namespace

const char* OutcomeLabel(int outcome) { return outcome >= 0 && outcome < OUT_COUNT ? kOutcomes[outcome] : "?"; }

std::vector<Failure> DayReport::LastFailures() const {
    std::vector<Failure> out;
    out.reserve(lastRing.size());
    for (std::size_t i = 0; i < lastRing.size(); ++i)
        out.push_back(lastRing[(lastNext + i) % lastRing.size()]);
    return out;
}
const char* EventLabel(int kind) { return kind >= 0 && kind < EV_COUNT ? kEventLabels[kind] : "?"; }

int AnswerTimes::Bin(long long ms) {
    if (ms < 0) ms = 0;
    if (ms < 1000) return static_cast<int>(ms);
    if (ms < 10000) return 1000 + static_cast<int>((ms - 1000) / 10);
    if (ms < 600000) return 1900 + static_cast<int>((ms - 10000) / 100);
    return kBins - 1;
}

long long AnswerTimes::Upper(int bin) {
    if (bin < 1000) return bin;
    if (bin < 1900) return 1000 + static_cast<long long>(bin - 1000) * 10 + 9;
    if (bin < kBins - 1) return 10000 + static_cast<long long>(bin - 1900) * 100 + 99;
    return -1;  // beyond ten minutes: the maximum says how far
}

void AnswerTimes::Add(long long ms) {
    if (ms < 0) ms = 0;
    ++m_bins[static_cast<std::size_t>(Bin(ms))];
    ++m_count;
    if (ms > m_max) m_max = ms;
}

long long AnswerTimes::Percentile(int p) const {
    if (m_count == 0) return -1;
    const long long rank = (m_count * p + 99) / 100;  // the rank-th smallest, 1-based
    long long seen = 0;
    for (int b = 0; b < kBins; ++b) {
        seen += m_bins[static_cast<std::size_t>(b)];
        if (seen >= (rank < 1 ? 1 : rank)) {
            const long long upper = Upper(b);
            return upper < 0 || upper > m_max ? m_max : upper;
        }
    }
    return m_max;
}

DayReader::DayReader(int year, int month, int day) {
    m_report.year = year;
    m_report.month = month;
    m_report.day = day;
}

void DayReader::SetFailureWindow(int from, int to) {
    m_report.windowFrom = from;
    m_report.windowTo = to;
    m_report.windowed = true;
}

void DayReader::Feed(const char* bytes, std::size_t n) {
    m_report.bytes += static_cast<long long>(n);
    while (n > 0) {
        const char* lf = static_cast<const char*>(std::memchr(bytes, '\n', n));
        const std::size_t take = lf ? static_cast<std::size_t>(lf - bytes) : n;
        if (!m_partial.empty() || m_partialOverlong || !lf) {
            // A line cut by the end of a piece: kept until its end comes, up to a bound.
            if (!m_partialOverlong) {
                if (m_partial.size() + take > kMaxLine) {
                    m_partialOverlong = true;
                    m_partial.clear();
                } else {
                    m_partial.append(bytes, take);
                }
            }
            if (lf) {
                if (m_partialOverlong) {
                    ++m_report.lines;
                    ++m_report.unplaced;
                } else {
                    const std::string line = std::move(m_partial);
                    m_partial.clear();
                    Line(line.data(), line.size());
                }
                m_partial.clear();
                m_partialOverlong = false;
            }
        } else {
            Line(bytes, take);
        }
        if (!lf) break;
        bytes = lf + 1;
        n -= take + 1;
    }
}

const DayReport& DayReader::Finish() {
    if (m_finished) return m_report;
    m_finished = true;
    // A last line without its line end (the log cut short) is read as far as it goes.
    if (m_partialOverlong) {
        ++m_report.lines;
        ++m_report.unplaced;
    } else if (!m_partial.empty()) {
        const std::string line = std::move(m_partial);
        Line(line.data(), line.size());
    }
    m_partial.clear();
    for (Process& proc : m_processes) CloseUnfinished(proc);
    return m_report;
}

DayReader::Process& DayReader::ProcessOf(long long pid) {
    ++m_tick;
    for (Process& proc : m_processes)
        if (proc.pid == pid) {
            proc.used = m_tick;
            return proc;
        }
    if (m_processes.size() >= kMaxProcesses) {
        auto oldest = std::min_element(m_processes.begin(), m_processes.end(),
                                       [](const Process& a, const Process& b) { return a.used < b.used; });
        CloseUnfinished(*oldest);
        m_processes.erase(oldest);
    }
    Process proc;
    proc.pid = pid;
    proc.used = m_tick;
    m_processes.push_back(proc);
    return m_processes.back();
}

void DayReader::CloseUnfinished(Process& proc) {
    if (!proc.open) return;
    proc.open = false;
    AddConnection(proc.openSecond, proc.openRoute, proc.openServer, OUT_UNFINISHED, 0, 0, -1, "");
}

void DayReader::AddEvent(int second, int kind, std::string detail) {
    ++m_report.eventCounts[kind];
    if (m_report.events.size() >= DayReport::kMaxEvents) return;
    // In the order of time: an end without stop is known only at the next start, but happened
    // after its run's last line, which may lie before events logged since.
    auto at = m_report.events.end();
    while (at != m_report.events.begin() && (at - 1)->second > second) --at;
    m_report.events.insert(at, Event{second, kind, std::move(detail)});
}

ServerStats* DayReader::StatsOf(int route, const std::string& server) {
    for (ServerStats& s : m_report.servers)
        if (s.route == route && s.server == server) return &s;
    if (m_report.servers.size() >= DayReport::kMaxServers) return nullptr;
    m_report.servers.emplace_back();
    m_report.servers.back().route = route;
    m_report.servers.back().server = server;
    return &m_report.servers.back();
}

void DayReader::AddConnection(int second, int route, const std::string& server, int outcome,
                              long long sent, long long answers, long long firstAnswerMs,
                              const std::string& detail) {
    DayReport& r = m_report;
    ++r.connections;
    ++r.outcomes[outcome];
    ++r.perHour[second / 3600][outcome];
    ++r.routeOutcomes[route][outcome];
    if (ServerStats* s = StatsOf(route, server)) {
        ++s->connections;
        ++s->outcomes[outcome];
        s->sent += sent;
        s->answers += answers;
        if (outcome == OUT_ANSWERED && firstAnswerMs >= 0) s->times.Add(firstAnswerMs);
    } else {
        ++r.otherServers;
    }
    if (outcome == OUT_ANSWERED && firstAnswerMs >= 0) {
        r.times.Add(firstAnswerMs);
        r.routeTimes[route].Add(firstAnswerMs);
        const int slot = second / 300;
        ++r.slotCount[slot];
        r.slotSumMs[slot] += firstAnswerMs;
        if (firstAnswerMs > r.slotMaxMs[slot]) r.slotMaxMs[slot] = firstAnswerMs;
    }
    if (outcome != OUT_ANSWERED) {
        ++r.failureCount;
        if (second < r.windowFrom || second > r.windowTo) return;
        ++r.windowFailures;
        Failure f{second, route, server, outcome, detail};
        if (r.failures.size() < DayReport::kMaxFailures) {
            r.failures.push_back(std::move(f));
        } else if (r.lastRing.size() < DayReport::kMaxFailures) {
            r.lastRing.push_back(std::move(f));
        } else {
            r.lastRing[r.lastNext] = std::move(f);
            r.lastNext = (r.lastNext + 1) % DayReport::kMaxFailures;
        }
    }
}

void DayReader::Line(const char* p, std::size_t n) {
    ++m_report.lines;
    while (n > 0 && p[n - 1] == '\r') --n;  // CR LF, and the trace's CR CR LF
    // "[YYYY/MM/DD HH:MM:SS][pid] ▷ "
    int y, mo, d, h, mi, s;
    const bool stamped = n >= 23 && p[0] == '[' && Digits(p + 1, 4, &y) && p[5] == '/' &&
                         Digits(p + 6, 2, &mo) && p[8] == '/' && Digits(p + 9, 2, &d) &&
                         p[11] == ' ' && Digits(p + 12, 2, &h) && p[14] == ':' &&
                         Digits(p + 15, 2, &mi) && p[17] == ':' && Digits(p + 18, 2, &s) &&
                         p[20] == ']' && p[21] == '[' && RealDate(y, mo, d) && h < 24 && mi < 60 &&
                         s < 60;
    long long pid = 0;
    const char* q = p + 22;
    std::size_t left = n >= 22 ? n - 22 : 0;
    if (!stamped || !Number(q, left, &pid) || !Eat(q, left, M().prefixArrow)) {
        // The bytes of a frame line may hold a line feed: what follows belongs to that line.
        if (m_inFrame) return;
        ++m_report.unplaced;
        return;
    }
    m_inFrame = false;
    if (m_report.year == 0) {
        m_report.year = y;
        m_report.month = mo;
        m_report.day = d;
    }
    if (y != m_report.year || mo != m_report.month || d != m_report.day) {
        ++m_report.otherDay;
        return;
    }
    const int second = h * 3600 + mi * 60 + s;
    if (m_report.firstSecond < 0) m_report.firstSecond = second;
    if (second > m_report.lastSecond) m_report.lastSecond = second;
    Process& proc = ProcessOf(pid);
    proc.lastSecond = second;
    if (!Body(proc, second, q, left)) ++m_report.unplaced;
}

bool DayReader::Body(Process& proc, int second, const char* p, std::size_t n) {
    const Markers& k = M();
    if (Eat(p, n, k.tevn)) return Tevn(proc, second, p, n);
    long long count = 0;
    if (Eat(p, n, k.fromTerminal)) {
        if (!Number(p, n, &count)) return false;
        ++m_report.fromTerminal;
        return true;
    }
    if (Eat(p, n, k.toTerminal)) {
        if (!Number(p, n, &count)) return false;
        ++m_report.toTerminal;
        return true;
    }
    if (Eat(p, n, k.tms)) return Number(p, n, &count);
    for (const Marker& m : k.traceLines)
        if (Eat(p, n, m)) return true;
    if (EndsWith(p, n, k.openFailed)) {
        AddEvent(second, EV_PORT_OPEN_FAILED, Detail(p, n - k.openFailed.bytes.size()));
        return true;
    }
    return EndsWith(p, n, k.openOk) || EndsWith(p, n, k.close);
}

bool DayReader::Tevn(Process& proc, int second, const char* p, std::size_t n) {
    const Markers& k = M();
    DayReport& r = m_report;
    long long value = 0;
    auto routeAndServer = [&](const char*& at, std::size_t& len, int* route, std::string* server,
                              const char* end) {
        if (len >= 6 && std::memcmp(at, "PLAIN ", 6) == 0) {
            *route = ROUTE_PLAIN;
            at += 6;
            len -= 6;
        } else if (len >= 7 && std::memcmp(at, "SECURE ", 7) == 0) {
            *route = ROUTE_SECURE;
            at += 7;
            len -= 7;
        } else {
            return false;
        }
        const std::size_t take = end ? static_cast<std::size_t>(end - at) : len;
        *server = Detail(at, take);
        at += take;
        len -= take;
        return !server->empty();
    };

    if (Eat(p, n, k.connect)) {
        CloseUnfinished(proc);
        int route;
        std::string server;
        if (!routeAndServer(p, n, &route, &server, nullptr)) return false;
        proc.open = true;
        proc.receiveHint = 0;
        proc.openSecond = second;
        proc.openRoute = route;
        proc.openServer = server;
        return true;
    }
    if (Eat(p, n, k.connectFail)) {
        const char* paren = nullptr;
        for (const char* q = p + n; q-- > p;)
            if (*q == '(') {
                paren = q;
                break;
            }
        if (!paren || paren == p || paren[-1] != ' ') return false;
        const std::string cause = DetailInParens(paren + 1, static_cast<std::size_t>(p + n - paren - 1));
        int route;
        std::string server;
        if (!routeAndServer(p, n, &route, &server, paren - 1)) return false;
        int outcome;
        std::string detail;
        if (cause == "not-allowed") {
            outcome = OUT_NOT_ALLOWED;
        } else if (cause == "connect") {
            // ECONNREFUSED (Linux) and WSAECONNREFUSED (Windows).
            // EINVAL and WSAEINVAL: the host is no address; a port beyond 65535 is none either.
            const int e = proc.lastConnectError;
            const std::size_t colon = server.rfind(':');
            const bool badPort = colon != std::string::npos &&
                                 (server.size() - colon - 1 > 5 || std::atol(server.c_str() + colon + 1) > 65535);
            outcome = e == 22 || e == 10022 || badPort ? OUT_BAD_ADDRESS
                      : e == 111 || e == 10061     ? OUT_REFUSED
                                                   : OUT_UNREACHABLE;
            if (e != 0) detail = "ERRNO = " + std::to_string(e);
        } else {
            return false;
        }
        proc.lastConnectError = 0;
        AddConnection(second, route, server, outcome, 0, 0, -1, detail);
        return true;
    }
    if (Eat(p, n, k.connectEnd)) {
        // "ROUTE HOST:PORT, 송신 N, 수신 M, 첫응답 Xms|-, 접속 Yms, 결과 CAUSE"
        const char* sentAt = FindLast(p, n, k.sentField);
        if (!sentAt) return false;
        int route;
        std::string server;
        if (!routeAndServer(p, n, &route, &server, sentAt)) return false;
        long long sent, answers, first = -1, span;
        if (!Eat(p, n, k.sentField) || !Number(p, n, &sent) || !Eat(p, n, k.answersField) ||
            !Number(p, n, &answers) || !Eat(p, n, k.firstField))
            return false;
        if (!Char(p, n, '-') && !(Number(p, n, &first) && Char(p, n, 'm') && Char(p, n, 's')))
            return false;
        if (!Eat(p, n, k.spanField) || !Number(p, n, &span) || !Char(p, n, 'm') ||
            !Char(p, n, 's') || !Eat(p, n, k.resultField))
            return false;
        const std::string cause(p, n);
        int outcome;
        if (cause == "decrypt-error") outcome = OUT_DECRYPT;
        else if (cause == "receive-error") outcome = proc.receiveHint == 2 ? OUT_BAD_ANSWER : OUT_RECEIVE;
        else if (cause == "send-error") outcome = OUT_SEND;
        else if (cause == "terminal-write-error") outcome = OUT_TERMINAL_WRITE;
        else if (cause == "read-error") outcome = answers > 0 ? OUT_ANSWERED : OUT_READ;
        else if (cause == "timeout") outcome = answers > 0 ? OUT_ANSWERED : OUT_TIMEOUT;
        else if (cause == "server-closed") outcome = answers > 0 ? OUT_ANSWERED : OUT_SERVER_CLOSED;
        else if (cause == "ended") outcome = answers > 0 ? OUT_ANSWERED : OUT_NO_ANSWER;
        else return false;
        int at = second;
        if (proc.open && proc.openRoute == route && proc.openServer == server) at = proc.openSecond;
        proc.open = false;
        proc.receiveHint = 0;
        const std::string detail = "송신 sent " + std::to_string(sent) + ", 수신 answers " +
                                   std::to_string(answers) + ", 접속 open " + std::to_string(span) + " ms";
        AddConnection(at, route, server, outcome, sent, answers, first, detail);
        return true;
    }
    if (Eat(p, n, k.start)) {
        // The runs of the day: a start while another run never logged its stop means that run
        // ended without one (killed, crashed, power lost).
        for (Process& other : m_processes) {
            if (&other == &proc || !other.running) continue;
            other.running = false;
            CloseUnfinished(other);
            // Stamped with that run's last line: the end came some time after it.
            AddEvent(other.lastSecond, EV_UNCLEAN_END, "pid " + std::to_string(other.pid));
        }
        proc.running = true;
        proc.sawStart = true;
        const char* folder = Find(p, n, k.startFolder);
        AddEvent(second, EV_START, Detail(p, folder ? static_cast<std::size_t>(folder - p) : n));
        return true;
    }
    if (Eat(p, n, k.stop)) {
        CloseUnfinished(proc);
        if (!proc.sawStart) AddEvent(second, EV_NO_START, "pid " + std::to_string(proc.pid));
        proc.running = false;
        AddEvent(second, EV_STOP, "");
        return true;
    }
    if (Eat(p, n, k.portBack)) {
        AddEvent(second, EV_PORT_BACK, DetailInParens(p, n));
        return true;
    }
    if (Eat(p, n, k.logLimit)) {
        AddEvent(second, EV_LOG_LIMIT, DetailInParens(p, n));
        return true;
    }
    const bool isRequest = Eat(p, n, k.request);
    if (isRequest || Eat(p, n, k.answer)) {
        if (!Number(p, n, &value)) return false;
        (isRequest ? r.requests : r.answers) += 1;
        (isRequest ? r.requestBytes : r.answerBytes) += value;
        m_inFrame = true;
        return true;
    }
    // What precedes a receive error tells a cut answer from one that was no envelope at all: the
    // length field missing, or a length within the buffer, is a cut; no length (0, negative, or
    // beyond the 5120-byte buffer) means the server spoke something else.
    if (Eat(p, n, k.receiveSize)) {
        proc.receiveHint = 1;
        return true;
    }
    if (Eat(p, n, k.receiveError)) {
        const bool negative = Char(p, n, '-');
        const bool plausible = Number(p, n, &value) && !negative && value > 0 && value <= 5120;
        proc.receiveHint = plausible ? 1 : 2;
        return true;
    }
    const char* errorLine = p;
    std::size_t errorLength = n;
    if (!Eat(errorLine, errorLength, k.error)) return false;
    ++r.errorLines;
    if (Eat(p, n, k.portLost)) {
        AddEvent(second, EV_PORT_LOST, DetailInParens(p, n));
    } else if (Eat(p, n, k.settings)) {
        AddEvent(second, EV_SETTINGS, DetailInParens(p, n));
    } else if (Eat(p, n, k.connectErrno)) {
        if (Number(p, n, &value)) proc.lastConnectError = static_cast<int>(value);
    } else if (Eat(p, n, k.frameError)) {
        AddEvent(second, EV_CONNECT_FRAME, DetailInParens(p, n));
    }
    return true;  // every other error line is known by its head
}

bool ParseClock(const std::string& text, int* second) {
    int h, m, s = 0;
    if ((text.size() != 5 && text.size() != 8) || text[2] != ':' || !Digits(text.data(), 2, &h) ||
        !Digits(text.data() + 3, 2, &m) || h > 23 || m > 59)
        return false;
    if (text.size() == 8 && (text[5] != ':' || !Digits(text.data() + 6, 2, &s) || s > 59)) return false;
    *second = h * 3600 + m * 60 + s;
    return true;
}

bool ParseDay(const std::string& text, int* year, int* month, int* day) {
    std::string digits;
    if (text.size() == 8) {
        digits = text;
    } else if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
        digits = text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
    } else {
        return false;
    }
    int y, m, d;
    if (!Digits(digits.data(), 4, &y) || !Digits(digits.data() + 4, 2, &m) ||
        !Digits(digits.data() + 6, 2, &d) || !RealDate(y, m, d))
        return false;
    *year = y;
    *month = m;
    *day = d;
    return true;
}

std::string DayFileName(int year, int month, int day) {
    char name[32];
    std::snprintf(name, sizeof name, "brisca%04d%02d%02d.log", year, month, day);
    return name;
}

bool ReadDayFile(const std::string& path, DayReader& reader, bool* readError) {
    *readError = false;
    sys::FileReader file;
    if (!file.Open(path.c_str())) return false;
    std::vector<char> piece(kPieceSize);
    for (;;) {
        const long got = file.Read(piece.data(), piece.size());
        if (got < 0) {
            *readError = true;
            break;
        }
        if (got == 0) break;
        reader.Feed(piece.data(), static_cast<std::size_t>(got));
    }
    reader.Finish();
    return true;
}

}  // namespace report
