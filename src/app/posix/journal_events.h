// The gateway's events for the shop's monitoring on Linux: one line each on standard error with
// the priority prefix that systemd's journal reads ("<6>" notice, "<4>" warning, "<3>" error).
#pragma once
#include "gateway/gateway.h"

#include <cstdio>

class JournalEvents final : public GatewayEvents {
public:
    explicit JournalEvents(std::FILE* out) : m_out(out) {}
    void Started(const char* version, const char* port, const char* logFolder) override;
    void StartFailed(const char* version, const char* port, const char* logFolder) override;
    void Stopped() override;
    void PortLost(const char* port) override;
    void PortBack(const char* port) override;
    void ServerUnreachable(const char* host, int port) override;
    void SettingsProblem(bool error, const char* text) override;
    void LogRefused(const char* text) override;

private:
    void Line(const char* priority, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;
    std::FILE* m_out;
};
