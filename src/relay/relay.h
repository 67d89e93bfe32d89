// The relay: takes every burst from the terminal, answers the version query, runs the server
// connection on the plain or the secure route and writes the server's answers to the terminal.
// Platform-free; the gateway (src/gateway) owns one for either program. It writes to the terminal
// through a TerminalWriter and never sees the serial port itself.
#pragma once
#include "core/server_filter.h"
#include "core/terminal.h"
#include "diag/trace.h"
#include "relay/connection.h"
#include "relay/frame_text.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>

class WindowThread;

enum { ICON_IDLE = 142, ICON_ANSWER = 143 };  // tray icon resources

class TrayIconState {
public:
    virtual ~TrayIconState() = default;
    virtual void SetIcon(int iconResource) = 0;  // any thread
};

// Told of every server the relay could not reach (refused, silent, or not on the allow-list):
// the shop's monitoring. Window thread; host is the connect frame's text.
class ServerWatch {
public:
    virtual ~ServerWatch() = default;
    virtual void OnServerUnreachable(const char* host, int port) = 0;
    // The server took nothing for a while: the terminal's frames were dropped (once a
    // connection).
    virtual void OnServerNotReading(const char* host, int port) = 0;
};

class Relay final : public TerminalSink {
public:
    struct Ports {
        WindowThread* window;      // where bursts, sends and trace rendering run
        TerminalWriter* terminal;  // Write() sends to the terminal
        TrayIconState* tray;
        TraceTarget* trace;        // the debug window's OnTraceEvent
    };
    // Silences that end a connection; the program keeps the real values, tests shorten them.
    struct Timeouts {
        int plainSilenceSec = 100;
        int secureSilenceSec = 30;
    };

    explicit Relay(const Ports& ports);
    ~Relay() override;  // calls Stop()
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    void SetLog(int bLog) { m_bLog.store(bLog); }
    int Log() const { return m_bLog.load(); }
    void SetVersionText(const char* text);  // "1, 0, 0, 5"
    void SetRateText(const char* text);     // the speed text of the settings, e.g. "38400"
    // The servers the terminal may name; null allows every server. Any thread; the filter must
    // outlive its use (the relay asks it on the window thread).
    void SetServerFilter(const ServerFilter* filter) { m_filter.store(filter); }
    void SetServerWatch(ServerWatch* watch) { m_watch.store(watch); }
    void SetTimeouts(const Timeouts& t) {
        m_plainSilenceSec.store(t.plainSilenceSec);
        m_secureSilenceSec.store(t.secureSilenceSec);
    }

    // WM_TERMINAL_FRAME: on the window thread, bytes read in place from the port's buffer.
    void OnTerminalFrame(const unsigned char* bytes, unsigned n) override;
    void OnPortLost(const char* portName) override;

    // The one way bytes reach the terminal: trace kind 2, icon 143, serial write. Any thread.
    // False when the terminal did not take every byte within the write's bound (logged).
    bool SendToTerminal(const void* bytes, unsigned n);
    // Formats a text or TMS event and has it rendered. Any thread.
    void PostTrace(TraceKind kind, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;

    // Closes the connection and waits (serving the window thread) until its worker has ended.
    // Runs on the window thread; from another thread it hands itself over, which needs the
    // window thread running while a connection is open or a worker runs.
    void Stop();

    // The secure envelope of one request on the open connection (window thread): 0 sent (or
    // waiting for the server to take it), -1 no session key or RSA failure, -2 SEED failure,
    // -3 send failure, -4 envelope over 5120 bytes, -5 dropped (too much waits for the server).
    // The session key it makes belongs to the open connection.
    int SendSecureRequest(const char* frame, int length);

    // State, for the shells and tests (read on the window thread).
    RelayMode Mode() const { return m_relayMode; }
    const char* Host() const { return m_host; }
    const char* PortText() const { return m_portText; }
    bool Connected() const { return m_conn && !m_conn->Closed(); }
    bool WorkerRunning() const { return !m_workerDone.load(); }

private:
    using Clock = std::chrono::steady_clock;

    // Intake and routes (window thread), relay_intake.cpp and relay_routes.cpp.
    // frame: the burst's n bytes followed by zeros; kind: its class, computed once at intake;
    // untraced: the event of a frame that goes out before it is traced (see HandToServer).
    void RelayPlain(const char* frame, FrameKind kind, int n, const TraceEvent* untraced);
    void RelaySecure(const char* frame, FrameKind kind, int n);
    void ConnectStep(RelayMode route, const char* frame, int n);
    bool StoreServer(const char* frame, int n);  // false: the frame was reported and dropped
    bool Refused(RelayMode route, int port);     // the server filter said no; reported
    // Trace, icon and monitoring of a connect that failed (any thread).
    void Unreachable(RelayMode route, const char* hostShown, int port);
    void SendVersionReply();
    // One frame log line with card data masked in a copy; the bytes shown stop at the first NUL.
    void LogMaskedFrame(const char* head, const void* bytes, int n);
    // The secure route's request: logged masked, enveloped, handed to the connection.
    void SendRequest(const char* frame, int n);
    // The secure route: a burst that starts a request without ending it, and the bursts that
    // continue it, are joined into one request (true: the burst was taken). Nothing of such a
    // request goes to the server unless it is whole and enveloped.
    bool JoinRequestPieces(const char* frame, FrameKind kind, int n);
    void DropHeldRequest();

    // Window thread: ends the open connection's waits; its worker ends it.
    void CloseConnection();
    // Window thread: closes the connection, serves until its worker has ended, joins it.
    void EndWorker();

    // The connection's worker: connects, then runs its route's receive loop.
    void RunConnection(Connection& conn, int silenceSec);
    // Receive workers, relay_workers.cpp. Each ends its connection once at its end.
    void PlainRecvWorker(Connection& conn, int silenceSec);
    void SecureRecvWorker(Connection& conn, int silenceSec);
    // What a worker saw of its connection, for the connection's closing log line.
    struct Tally {
        int answers = 0;               // answers written to the terminal
        long long firstAnswerMs = -1;  // from the first frame sent to the first answer
        const char* cause = "ended";   // how the worker's loop ended
    };
    void NoteAnswer(Connection& conn, Tally& tally);
    static void NoteSent(Connection& conn);  // window thread: a frame goes to the server
    static long long NowMs();
    // Waits for the server's next bytes while sending what waits for it. True: something (or
    // the end of the stream) is there to read. False: the worker is to end with *v.
    bool AwaitServer(Connection& conn, Clock::time_point heard, int silenceSec, Tally& tally, int* v);
    // The first read of a cycle failed (mark "#1" secure, "#2" plain): its trace line and how
    // the worker's loop ended; the v to end with.
    int ReadFailed(const char* mark, const NetResult& r, Tally& tally);
    // A send the server did not take: logged and traced; the connection is to end.
    void SendFailed(Connection& conn, const NetResult& r);
    // The monitoring hears once a connection that its server stopped taking frames (any thread).
    void ServerNotReading(Connection& conn);
    // Hands a frame to the connection (window thread): false when the connection is to end.
    bool HandToServer(Connection& conn, const char* bytes, int n, const unsigned char* key,
                      const TraceEvent* untraced, bool* dropped);
    // 0: answered, next cycle; otherwise the v to end with.
    int SecureAnswer(Connection& conn, Tally& tally, Clock::time_point begun);
    void EndSteps(Connection& conn, int v, const Tally& tally);
    // The log line of a connect that failed ("connect" or "not-allowed").
    void LogConnectFailure(RelayMode route, const char* hostShown, int port, const char* cause);

    void Render(unsigned count, const TraceEvent& event);
    void VPostTrace(TraceKind kind, const char* format, va_list args);
    void SetIcon(int icon);

    Ports m_ports;
    std::atomic<int> m_bLog{0};
    std::atomic<bool> m_workerDone{true};
    std::atomic<int> m_plainSilenceSec{100};
    std::atomic<int> m_secureSilenceSec{30};

    // The open connection (window thread); its worker has its own reference until it ends.
    std::unique_ptr<Connection> m_conn;

    // One event at a time, whichever thread produced it: the trace line, its log line and the
    // event count stay in the order the events happened. The target never waits for another
    // thread while it is held (the console takes finished lines without waiting).
    std::mutex m_traceLock;

    std::atomic<const ServerFilter*> m_filter{nullptr};
    std::atomic<ServerWatch*> m_watch{nullptr};

    std::mutex m_textLock;      // version and speed texts may be set from any thread
    char m_versionText[48] = {};
    char m_rateText[16] = {};

    // Window thread only.
    RelayMode m_relayMode = RELAY_NONE;
    char m_host[21] = {};
    // The host as logs, traces and events show it: the terminal's text with card data masked
    // (a card number typed where the host belongs), of the same length.
    char m_hostShown[21] = {};
    char m_portText[10] = {};
    // The pieces of a secure request longer than one burst (what the envelope can hold).
    static constexpr int kHeldRequestSize = 5088;
    char m_heldRequest[kHeldRequestSize + 1] = {};
    int m_heldLength = 0;
    bool m_discarding = false;  // the rest of a request refused for its size
};
