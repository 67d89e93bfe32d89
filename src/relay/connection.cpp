#include "relay/connection.h"

#include "sys/sys.h"

#include <cstdio>
#include <cstring>

Connection::Connection(RelayMode route, const char* hostText, const char* shown, int serverPort)
    : port(serverPort), m_route(route) {
    std::snprintf(host, sizeof host, "%s", hostText);
    std::snprintf(hostShown, sizeof hostShown, "%s", shown);
}

Connection::~Connection() {
    Close();
    Join();
    int frames, bytes;
    Finish(&frames, &bytes);
    sys::SecureZero(m_key, sizeof m_key);
}

Connection::Handed Connection::Send(const char* bytes, int n, const unsigned char* key,
                                    NetResult* failure) {
    std::lock_guard<std::mutex> g(m_sendLock);
    if (m_finished || n < 0) {
        *failure = NetResult{NetStatus::kCancelled, 0, 0};
        return Handed::kFailed;
    }
    if (n > kQueueBytes) return Handed::kDropped;  // never: a frame is at most 5120 bytes
    const int waiting = m_pendingBytes.load();
    if (waiting > 0 && (m_head + waiting + n > kQueueBytes || m_frames == kQueueFrames)) {
        // Compact first: the bytes that went out left room at the front.
        if (waiting + n > kQueueBytes || m_frames == kQueueFrames) return Handed::kDropped;
        std::memmove(m_queue, m_queue + m_head, static_cast<std::size_t>(waiting));
        sys::SecureZero(m_queue + waiting, static_cast<std::size_t>(m_head));
        m_head = 0;
    }
    if (key) {
        std::lock_guard<std::mutex> k(m_keyLock);
        std::memcpy(m_key, key, sizeof m_key);
        m_hasKey = true;
    }
    int taken = 0;
    if (waiting == 0 && !m_connected) {
        m_head = 0;
    } else if (waiting == 0) {
        // Nothing waits: straight to the server, and only what it cannot take now is kept.
        const NetResult r = m_link.SendNow(bytes, n);
        if (!r.Ok()) {
            *failure = r;
            return Handed::kFailed;
        }
        taken = r.count;
        if (taken == n) return Handed::kSent;
        m_head = 0;
        m_progress = std::chrono::steady_clock::now();
    }
    std::memcpy(m_queue + m_head + waiting, bytes + taken, static_cast<std::size_t>(n - taken));
    m_frameLeft[(m_firstFrame + m_frames) % kQueueFrames] = n - taken;
    ++m_frames;
    m_pendingBytes.store(waiting + n - taken);
    m_link.Wake();  // the worker now waits for room as well
    return Handed::kQueued;
}

void Connection::MarkConnected() {
    std::lock_guard<std::mutex> g(m_sendLock);
    m_connected = true;
    m_progress = std::chrono::steady_clock::now();
}

void Connection::Consume(int n) {
    sys::SecureZero(m_queue + m_head, static_cast<std::size_t>(n));
    m_head += n;
    m_pendingBytes.store(m_pendingBytes.load() - n);
    m_progress = std::chrono::steady_clock::now();
    while (n > 0 && m_frames > 0) {
        int& left = m_frameLeft[m_firstFrame];
        const int part = n < left ? n : left;
        left -= part;
        n -= part;
        if (left == 0) {
            m_firstFrame = (m_firstFrame + 1) % kQueueFrames;
            --m_frames;
        }
    }
    if (m_pendingBytes.load() == 0) m_head = 0;
}

NetResult Connection::Flush() {
    std::lock_guard<std::mutex> g(m_sendLock);
    while (m_connected && !m_finished && m_pendingBytes.load() > 0) {
        const NetResult r = m_link.SendNow(m_queue + m_head, m_pendingBytes.load());
        if (!r.Ok()) return r;
        if (r.count == 0) break;  // no room yet
        Consume(r.count);
    }
    return NetResult{};
}

int Connection::SendBoundLeftMs() const {
    std::lock_guard<std::mutex> g(m_sendLock);
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - m_progress)
                           .count();
    const long long left = TransferTimeoutMs() - spent;
    return left < 0 ? 0 : static_cast<int>(left);
}

void Connection::Finish(int* framesDropped, int* bytesDropped) {
    std::lock_guard<std::mutex> g(m_sendLock);
    *framesDropped = m_frames;
    *bytesDropped = m_pendingBytes.load();
    if (m_finished) return;
    m_finished = true;
    m_closed.store(true);
    m_link.Cancel();
    m_link.Close();
    sys::SecureZero(m_queue, sizeof m_queue);
    m_pendingBytes.store(0);
    m_frames = 0;
    m_head = 0;
}

bool Connection::KeyOf(unsigned char key[16]) {
    std::lock_guard<std::mutex> g(m_keyLock);
    if (!m_hasKey) return false;
    std::memcpy(key, m_key, sizeof m_key);
    return true;
}
