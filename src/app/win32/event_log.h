// Records for the shop's monitoring in the Windows Event Log (Application log, source "Brisca"):
// start, stop, port lost and back, server unreachable. The texts come from the message table.
#pragma once

#include <windows.h>

#include <initializer_list>

#include "gateway/gateway.h"

enum class ProgramEvent {
    Start, StartFailed, Stop, PortLost, PortBack, ServerUnreachable, SettingsError, SettingsWarning, LogRefused,
    ServerNotReading
};

// The message-table identifier (with its severity bits) and the record type of each event.
DWORD ProgramEventId(ProgramEvent kind);
WORD ProgramEventType(ProgramEvent kind);

// Writes one record whose inserts fill %1, %2, ... of the event's message:
//   Start, StartFailed: version, server key fingerprint, serial port, log folder;  Stop: none;
//   PortLost, PortBack: the port;  ServerUnreachable, ServerNotReading: "host:port";
//   SettingsError, SettingsWarning, LogRefused: the problem's text.
// Returns 1 when the record was written, 0 otherwise (no event log service, no right to it).
// The caller never passes card data.
int WriteProgramEvent(ProgramEvent kind, std::initializer_list<const wchar_t*> inserts = {});

// The gateway's events as Event Log records.
class CEventLogEvents final : public GatewayEvents {
public:
    void Started(const char* version, const char* port, const char* logFolder) override;
    void StartFailed(const char* version, const char* port, const char* logFolder) override;
    void Stopped() override;
    void PortLost(const char* port) override;
    void PortBack(const char* port) override;
    void ServerUnreachable(const char* host, int port) override;
    void ServerNotReading(const char* host, int port) override;
    void SettingsProblem(bool error, const char* text) override;
    void LogRefused(const char* text) override;
};
