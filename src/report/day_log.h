// A day of the gateway's log read back for support staff: every connection with its route,
// server and how it ended, server answer times, and the day's events (start, stop, port lost and
// back, log limit, settings problems). Fed the file's bytes piece by piece (code page 949, CR LF
// and the trace's CR CR LF line ends); what it keeps is bounded whatever the size of the day.
// It never keeps a frame's bytes: only counts, sizes, times and outcomes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace report {

// How a connection ended, as the report names it.
enum Outcome {
    OUT_ANSWERED,        // the server answered (however the connection closed afterwards)
    OUT_SERVER_CLOSED,   // the server closed the connection before any answer
    OUT_TIMEOUT,         // no answer within the silence time
    OUT_REFUSED,         // the server refused the connect
    OUT_UNREACHABLE,     // the connect failed otherwise (no route, no answer)
    OUT_BAD_ADDRESS,     // the connect frame's host is no address, or its port is out of range
    OUT_NOT_ALLOWED,     // the allow-list ("Allowed Servers") refused the server
    OUT_DECRYPT,         // an answer on the secure route could not be decrypted
    OUT_RECEIVE,         // an answer on the secure route did not arrive whole
    OUT_BAD_ANSWER,      // the secure route's answer was no envelope (its length no length)
    OUT_SEND,            // a frame could not be sent to the server
    OUT_TERMINAL_WRITE,  // an answer could not be written to the terminal whole
    OUT_READ,            // reading from the server failed
    OUT_NO_ANSWER,       // the terminal ended the connection before any answer
    OUT_UNFINISHED,      // the log holds no end for it (program ended, log cut or limit)
    OUT_COUNT
};

// One bilingual name for each outcome, Korean first: "응답 (answered)", ...
const char* OutcomeLabel(int outcome);

enum EventKind {
    EV_START,           // "프로그램 시작"
    EV_STOP,            // "프로그램 종료"
    EV_UNCLEAN_END,     // a start with the earlier run never having logged its stop
    EV_PORT_OPEN_FAILED,
    EV_PORT_LOST,
    EV_PORT_BACK,
    EV_LOG_LIMIT,
    EV_SETTINGS,        // settings problems ("Allowed Servers" with a bad item)
    EV_CONNECT_FRAME,   // a connect frame from the terminal that could not be read
    EV_NO_START,        // a stop with no start of that run before it (the log was off at its start)
    EV_COUNT
};
const char* EventLabel(int kind);

enum Route { ROUTE_PLAIN = 0, ROUTE_SECURE = 1 };

struct Event {
    int second = 0;  // of the day
    int kind = 0;
    std::string detail;  // UTF-8, short
};

struct Failure {
    int second = 0;
    int route = 0;
    std::string server;  // "HOST:PORT"
    int outcome = 0;
    std::string detail;
};

// Server answer times (milliseconds) in fixed bins: 1 ms below 1 s, 10 ms below 10 s, 100 ms
// below 10 minutes; p50 and p90 read back to the bin's upper edge.
class AnswerTimes {
public:
    void Add(long long ms);
    long long Count() const { return m_count; }
    long long Max() const { return m_max; }
    long long Percentile(int p) const;  // -1 when empty

private:
    static constexpr int kBins = 1000 + 900 + 5900 + 1;
    static int Bin(long long ms);
    static long long Upper(int bin);
    std::vector<std::uint32_t> m_bins = std::vector<std::uint32_t>(kBins, 0);
    long long m_count = 0;
    long long m_max = -1;
};

struct ServerStats {
    int route = 0;
    std::string server;
    long long connections = 0;
    long long outcomes[OUT_COUNT] = {};
    long long sent = 0, answers = 0;
    AnswerTimes times;
};

struct DayReport {
    int year = 0, month = 0, day = 0;  // the day reported
    long long bytes = 0, lines = 0;
    long long unplaced = 0;   // lines it could not place
    long long otherDay = 0;   // lines of another day
    long long connections = 0;
    long long outcomes[OUT_COUNT] = {};
    long long perHour[24][OUT_COUNT] = {};
    static constexpr int kSlots = 288;  // five minutes each
    long long slotCount[kSlots] = {}, slotSumMs[kSlots] = {}, slotMaxMs[kSlots] = {};
    AnswerTimes times;
    AnswerTimes routeTimes[2];                // by route (plain, secure)
    long long routeOutcomes[2][OUT_COUNT] = {};
    std::vector<ServerStats> servers;  // the first kMaxServers; the rest under "other"
    long long otherServers = 0;
    std::vector<Event> events;  // the first kMaxEvents
    long long eventCounts[EV_COUNT] = {};
    std::vector<Failure> failures;  // the first kMaxFailures (within the window, if one is set)
    long long failureCount = 0;     // of the whole day
    // The failures after the first kMaxFailures: the last kMaxFailures of them, oldest first.
    std::vector<Failure> LastFailures() const;
    long long windowFailures = 0;   // failures within the window (all of them without one)
    int windowFrom = 0, windowTo = 86399;  // seconds of the day whose failures are listed
    bool windowed = false;
    std::vector<Failure> lastRing;  // bounded: kMaxFailures
    std::size_t lastNext = 0;
    // Frames as the trace and the log show them (counts and bytes only).
    long long fromTerminal = 0, toTerminal = 0, requests = 0, requestBytes = 0, answers = 0,
              answerBytes = 0;
    long long errorLines = 0;  // "TEVN-> ERROR" lines of every kind
    int firstSecond = -1, lastSecond = -1;

    static constexpr std::size_t kMaxServers = 64;
    static constexpr std::size_t kMaxEvents = 500;
    static constexpr std::size_t kMaxFailures = 200;
};

class DayReader {
public:
    // The day to report (lines of other days are counted, not placed); 0/0/0 takes the day of
    // the first line that has one.
    DayReader(int year, int month, int day);
    // Lists only the failures from..to (seconds of the day, both included); counts stay whole.
    void SetFailureWindow(int from, int to);
    void Feed(const char* bytes, std::size_t n);
    // Ends the day: connections still open count as unfinished.
    const DayReport& Finish();
    const DayReport& Report() const { return m_report; }

private:
    struct Process {  // what one run of the program (one process id) has open
        long long pid = -1;
        bool running = false;
        bool open = false;
        int openSecond = 0;
        int openRoute = 0;
        std::string openServer;
        int lastConnectError = 0;
        int receiveHint = 0;  // 1: the secure answer came cut short, 2: it was no envelope
        bool sawStart = false;
        int lastSecond = 0;   // the run's last line
        unsigned long long used = 0;
    };

    void Line(const char* p, std::size_t n);
    bool Body(Process& proc, int second, const char* p, std::size_t n);
    bool Tevn(Process& proc, int second, const char* p, std::size_t n);
    Process& ProcessOf(long long pid);
    void AddEvent(int second, int kind, std::string detail);
    void AddConnection(int second, int route, const std::string& server, int outcome,
                       long long sent, long long answers, long long firstAnswerMs,
                       const std::string& detail);
    void CloseUnfinished(Process& proc);
    ServerStats* StatsOf(int route, const std::string& server);

    DayReport m_report;
    std::string m_partial;    // a line cut by the end of a piece (bounded)
    bool m_partialOverlong = false;
    bool m_inFrame = false;   // the last placed line was a frame line, whose bytes may hold LF
    std::vector<Process> m_processes;  // bounded
    unsigned long long m_tick = 0;
    bool m_finished = false;
};

// "HH:MM" (or "HH:MM:SS") as seconds of the day; false otherwise.
bool ParseClock(const std::string& text, int* second);

// "20261207" or "2026-12-07" (a real date); false otherwise.
bool ParseDay(const std::string& text, int* year, int* month, int* day);
// brisca<YYYYMMDD>.log
std::string DayFileName(int year, int month, int day);

// Reads folder/brisca<day>.log (or the file at path) through the system's file seam in pieces of
// a fixed size. False when the file cannot be opened; *readError is set when reading failed part
// way (the report then holds what came before).
bool ReadDayFile(const std::string& path, DayReader& reader, bool* readError);

}  // namespace report
