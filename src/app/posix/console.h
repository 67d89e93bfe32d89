// The console of the headless gateway: every trace line on standard output, one line each,
// flushed at once; and the tray icon's state, which has no window to show it in.
#pragma once
#include "diag/trace.h"
#include "relay/relay.h"

#include <atomic>
#include <cstdio>

class StdoutConsole final : public ConsoleSink {
public:
    explicit StdoutConsole(std::FILE* out) : m_out(out) {}
    // Writes the line with its "\r\n" turned into "\n" and flushes, as one piece of the stream
    // (any thread).
    void Append(const char* line) override;
    // A terminal's scroll-back is not ours to empty.
    void ClearConsole() override {}

private:
    std::FILE* m_out;
};

class HeadlessTrayIcon final : public TrayIconState {
public:
    explicit HeadlessTrayIcon(std::FILE* verboseOut) : m_verboseOut(verboseOut) {}
    void SetIcon(int iconResource) override;
    int Icon() const { return m_icon.load(); }

private:
    std::atomic<int> m_icon{0};
    std::FILE* m_verboseOut;  // null: silent
};
