#include "core/line_queue.h"

#include <chrono>
#include <cstring>
#include <vector>

struct LineQueue::State {
    explicit State(std::unique_ptr<LineOutput> o, std::size_t capacity, DroppedText d)
        : out(std::move(o)), ring(capacity), dropped(d) {}

    std::unique_ptr<LineOutput> out;
    std::vector<char> ring;  // allocated once
    DroppedText dropped;

    std::mutex lock;
    std::condition_variable wake;     // the writer waits here for lines
    std::condition_variable drained;  // Stop waits here for the writer
    std::size_t head = 0;             // first queued byte
    std::size_t used = 0;             // queued bytes
    std::uint64_t droppedTotal = 0;
    std::uint64_t droppedUnsaid = 0;  // dropped lines not yet reported
    bool stopping = false;
    bool finished = false;  // the writer has left
};

LineQueue::LineQueue(std::unique_ptr<LineOutput> out, std::size_t capacity, DroppedText dropped)
    : m_state(std::make_shared<State>(std::move(out), capacity, dropped)) {
    m_writer = std::thread(WriterLoop, m_state);
}

LineQueue::~LineQueue() { Stop(); }

bool LineQueue::Push(const char* data, std::size_t n) {
    State& s = *m_state;
    std::unique_lock<std::mutex> lk(s.lock);
    const std::size_t cap = s.ring.size();
    // After a drop, lines are dropped until the ring has drained and the count is written, so
    // that the count stands where the lines are missing.
    if (s.stopping || s.droppedUnsaid > 0 || n > cap - s.used) {
        ++s.droppedTotal;
        const bool first = s.droppedUnsaid++ == 0;
        lk.unlock();
        if (first) s.wake.notify_one();  // an idle writer reports the drop
        return false;
    }
    std::size_t tail = (s.head + s.used) % cap;
    const std::size_t first = n < cap - tail ? n : cap - tail;
    std::memcpy(s.ring.data() + tail, data, first);
    std::memcpy(s.ring.data(), data + first, n - first);
    const bool wasEmpty = s.used == 0;
    s.used += n;
    lk.unlock();
    if (wasEmpty) s.wake.notify_one();
    return true;
}

void LineQueue::WriterLoop(std::shared_ptr<State> sp) {
    State& s = *sp;
    std::unique_lock<std::mutex> lk(s.lock);
    for (;;) {
        s.wake.wait(lk, [&] { return s.used > 0 || s.droppedUnsaid > 0 || s.stopping; });
        if (s.used == 0 && s.droppedUnsaid > 0) {
            // Everything before the drop is out: say how many lines went missing.
            char text[160];
            const std::size_t len = s.dropped(text, sizeof text, s.droppedUnsaid);
            s.droppedUnsaid = 0;
            lk.unlock();
            std::size_t done = 0;
            while (done < len) {
                const std::size_t w = s.out->Write(text + done, len - done);
                if (w == 0) break;
                done += w;
            }
            lk.lock();
            if (done < len) break;
            continue;
        }
        if (s.used == 0) break;  // stopping, all written
        const std::size_t cap = s.ring.size();
        const std::size_t chunk = s.used < cap - s.head ? s.used : cap - s.head;
        const char* from = s.ring.data() + s.head;
        // Producers write only outside [head, head + used): the bytes stay put while unlocked.
        lk.unlock();
        const std::size_t w = s.out->Write(from, chunk);
        lk.lock();
        if (w == 0) break;  // the output is gone or the stop came
        s.head = (s.head + w) % cap;
        s.used -= w;
        if (s.used == 0) s.head = 0;
    }
    s.finished = true;
    s.used = 0;
    lk.unlock();
    s.drained.notify_all();
}

void LineQueue::Stop(int drainMs) {
    if (!m_writer.joinable()) return;
    State& s = *m_state;
    {
        std::unique_lock<std::mutex> lk(s.lock);
        s.stopping = true;
        s.wake.notify_one();
        s.drained.wait_for(lk, std::chrono::milliseconds(drainMs), [&] { return s.finished; });
        if (!s.finished) {
            lk.unlock();
            s.out->Wake();
            lk.lock();
            // A write that does not return when woken (a terminal held with Ctrl-S) keeps the
            // writer; it holds its own share of the state and ends with the process.
            s.drained.wait_for(lk, std::chrono::milliseconds(drainMs), [&] { return s.finished; });
        }
        if (!s.finished) {
            lk.unlock();
            m_writer.detach();
            return;
        }
    }
    m_writer.join();
}

std::uint64_t LineQueue::Dropped() const {
    std::lock_guard<std::mutex> lk(m_state->lock);
    return m_state->droppedTotal;
}
