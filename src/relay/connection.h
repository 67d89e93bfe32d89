// One server connection: its link, the worker that reads the server's answers, the session key
// of its latest request, the frames that wait for the server to take them, and the figures of its
// closing log line. The relay holds the open one; its worker ends it.
#pragma once
#include "net/transport.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

enum RelayMode { RELAY_NONE = 0, RELAY_PLAIN = 1, RELAY_SECURE = 2 };

class Connection {
public:
    // Bytes and frames that may wait for a server that does not read: a few requests, and always
    // one whole envelope (5120 bytes) when nothing waits.
    static constexpr int kQueueBytes = 16384;
    static constexpr int kQueueFrames = 16;

    Connection(RelayMode route, const char* host, const char* hostShown, int port);
    ~Connection();  // joins the worker; wipes the key and what waits
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    RelayMode Route() const { return m_route; }
    ServerLink& Link() { return m_link; }

    // What became of a frame handed to the connection.
    enum class Handed {
        kSent,     // the server took every byte
        kQueued,   // the rest waits (the server's buffers are full); the worker sends it
        kDropped,  // too much waits already: nothing of it went out
        kFailed,   // the send failed (*failure says how); the connection is to end
    };
    // Window thread. key (16 bytes, or null) becomes the connection's session key before the
    // first byte goes, unless the frame is dropped. Until the worker has connected, frames wait.
    Handed Send(const char* bytes, int n, const unsigned char* key, NetResult* failure);
    // The worker, once connected: what waits goes out from now on, and so do later frames.
    void MarkConnected();
    // The worker: sends what waits, as far as the server takes it now. Not Ok: the send failed.
    NetResult Flush();
    bool Pending() const { return m_pendingBytes.load() > 0; }
    // What is left of the bound of the bytes that wait: the server must take some within
    // TransferTimeoutMs() of the last progress.
    int SendBoundLeftMs() const;
    // The connection ends: the socket is shut and closed (under the send lock, so that the window
    // thread never sends on a closed handle) and what waited is wiped. How many frames and bytes
    // never went out, for the log.
    void Finish(int* framesDropped, int* bytesDropped);
    // Any thread, any number of times: ends the connection's waits (its connect's included);
    // its worker then ends it.
    void Close() {
        m_closed.store(true);
        m_link.Cancel();
    }
    bool Closed() const { return m_closed.load(); }

    // The session key of the latest request, for the worker that opens its answer.
    bool KeyOf(unsigned char key[16]);

    template <class F> void StartWorker(F&& f) {
        m_workerDone.store(false);
        m_worker = std::thread(std::forward<F>(f));
    }
    void WorkerDone() { m_workerDone.store(true); }
    bool WorkerEnded() const { return m_workerDone.load(); }
    void Join() {
        if (m_worker.joinable()) m_worker.join();
    }

    // The server as the terminal named it, and as logs and traces show it (card data masked).
    char host[21] = {};
    char hostShown[21] = {};
    const int port;
    // The figures of the closing log line: its route and server, frames sent, first answer.
    char text[128] = {};
    long long startMs = 0;
    std::atomic<long long> firstSendMs{0};  // 0: nothing sent yet
    std::atomic<int> sent{0};
    std::atomic<int> fault{0};  // 1 a send failed, 2 a terminal write failed
    std::atomic<bool> stallReported{false};  // the monitoring heard that the server stopped reading

private:
    void Consume(int n);  // n bytes of what waits went out

    const RelayMode m_route;
    ServerLink m_link;
    std::thread m_worker;
    std::atomic<bool> m_workerDone{true};

    std::mutex m_keyLock;
    unsigned char m_key[16] = {};
    bool m_hasKey = false;

    std::atomic<bool> m_closed{false};
    mutable std::mutex m_sendLock;
    bool m_connected = false;
    bool m_finished = false;
    std::atomic<int> m_pendingBytes{0};
    int m_head = 0;  // first byte that waits in m_queue
    int m_frames = 0;
    int m_firstFrame = 0;                // ring of the waiting frames' bytes left
    int m_frameLeft[kQueueFrames] = {};
    std::chrono::steady_clock::time_point m_progress;  // last byte taken, or the first queued
    char m_queue[kQueueBytes] = {};
};
