// Lines for an output that may stall (a standard output nobody reads, a full pipe, a terminal
// stopped with Ctrl-S): callers append to a fixed ring without waiting; a thread of its own
// writes the ring out. A line that finds the ring full is dropped and counted, and the count is
// written once the output has taken everything before it.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class LineOutput {
public:
    virtual ~LineOutput() = default;
    // Writes some of the n bytes (n > 0), waiting while the output takes none; the count
    // written, 0 once the output is gone or Wake() was called.
    virtual std::size_t Write(const char* data, std::size_t n) = 0;
    // Makes a Write that waits, and every later one, return 0 (any thread).
    virtual void Wake() = 0;
};

class LineQueue {
public:
    // Writes the text that says count lines were dropped into buf; its length.
    using DroppedText = std::size_t (*)(char* buf, std::size_t size, std::uint64_t count);

    LineQueue(std::unique_ptr<LineOutput> out, std::size_t capacity, DroppedText dropped);
    LineQueue(const LineQueue&) = delete;
    LineQueue& operator=(const LineQueue&) = delete;
    // Stop().
    ~LineQueue();

    // Appends the line whole, or drops and counts it when the ring has no room (any thread;
    // never waits for the output). False when dropped.
    bool Push(const char* data, std::size_t n);
    // Gives the writer up to drainMs to write what is queued, then ends it. A writer stuck in
    // the output past that is left to the end of the process.
    void Stop(int drainMs = 1000);
    // Lines dropped so far, reported or not.
    std::uint64_t Dropped() const;

private:
    struct State;
    static void WriterLoop(std::shared_ptr<State> s);

    std::shared_ptr<State> m_state;  // shared with the writer, which may outlive a Stop()
    std::thread m_writer;
};
