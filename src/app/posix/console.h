// The console of the headless gateway: every trace line on standard output, one line each; and
// the tray icon's state, which has no window to show it in. Lines go through a bounded queue
// with a writer of its own, so that an output nobody reads never holds the relay.
#pragma once
#include "core/line_queue.h"
#include "diag/trace.h"
#include "relay/relay.h"

#include <atomic>
#include <memory>

// A file descriptor as a queue's output: waits for room with poll, so that a stop can wake it.
std::unique_ptr<LineOutput> MakeFdOutput(int fd);

class StdoutConsole final : public ConsoleSink {
public:
    explicit StdoutConsole(int fd);
    // Queues the line with its "\r\n" turned into "\n" (any thread; never waits for the reader).
    void Append(const char* line) override;
    // A terminal's scroll-back is not ours to empty.
    void ClearConsole() override {}
    // Writes out what is queued (for a bounded time) and ends the writer.
    void Stop() { m_queue.Stop(); }

private:
    LineQueue m_queue;
};

class JournalEvents;

class HeadlessTrayIcon final : public TrayIconState {
public:
    // With verbose, every change of the icon is a line among the events.
    explicit HeadlessTrayIcon(JournalEvents* verbose) : m_verbose(verbose) {}
    void SetIcon(int iconResource) override;
    int Icon() const { return m_icon.load(); }

private:
    std::atomic<int> m_icon{0};
    JournalEvents* m_verbose;  // null: silent
};
