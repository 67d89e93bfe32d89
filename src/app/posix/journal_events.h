// The gateway's events for the shop's monitoring on Linux: one line each on standard error with
// the priority prefix that systemd's journal reads ("<6>" notice, "<4>" warning, "<3>" error).
// Lines go through a bounded queue, so that a journal that does not read never holds the relay.
#pragma once
#include "core/line_queue.h"
#include "gateway/gateway.h"

class JournalEvents final : public GatewayEvents {
public:
    explicit JournalEvents(int fd);
    void Started(const char* version, const char* port, const char* logFolder) override;
    void StartFailed(const char* version, const char* port, const char* logFolder) override;
    void Stopped() override;
    void PortLost(const char* port) override;
    void PortBack(const char* port) override;
    void ServerUnreachable(const char* host, int port) override;
    void ServerNotReading(const char* host, int port) override;
    void SettingsProblem(bool error, const char* text) override;
    void LogRefused(const char* text) override;
    // A line without priority (the tray icon's changes with --verbose).
    void Plain(const char* text);
    // Writes out what is queued (for a bounded time) and ends the writer.
    void Stop() { m_queue.Stop(); }

private:
    void Line(const char* priority, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;
    LineQueue m_queue;
};
