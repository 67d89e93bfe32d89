// Event Log records under the source "Brisca"; the installer registers the source with
// brisca.exe as its message file, so the viewer shows the texts of brisca_events.mc.
#include "app/win32/event_log.h"

#include "app/win32/wide_text.h"
#include "brisca_events.h"
#include "crypto/server_key.h"

#include <string>

namespace {

constexpr WORD kMaxInserts = 8;

}  // namespace

DWORD ProgramEventId(ProgramEvent kind) {
    switch (kind) {
    case ProgramEvent::Start: return BRISCA_EVENT_START;
    case ProgramEvent::StartFailed: return BRISCA_EVENT_START_FAILED;
    case ProgramEvent::Stop: return BRISCA_EVENT_STOP;
    case ProgramEvent::PortLost: return BRISCA_EVENT_PORT_LOST;
    case ProgramEvent::PortBack: return BRISCA_EVENT_PORT_BACK;
    case ProgramEvent::ServerUnreachable: return BRISCA_EVENT_SERVER_UNREACHABLE;
    case ProgramEvent::SettingsError: return BRISCA_EVENT_SETTINGS_ERROR;
    case ProgramEvent::SettingsWarning: return BRISCA_EVENT_SETTINGS_WARNING;
    case ProgramEvent::LogRefused: return BRISCA_EVENT_LOG_REFUSED;
    case ProgramEvent::ServerNotReading: return BRISCA_EVENT_SERVER_NOT_READING;
    }
    return 0;
}

WORD ProgramEventType(ProgramEvent kind) {
    // The two top bits of a message identifier are its severity.
    switch (ProgramEventId(kind) >> 30) {
    case 3: return EVENTLOG_ERROR_TYPE;
    case 2: return EVENTLOG_WARNING_TYPE;
    default: return EVENTLOG_INFORMATION_TYPE;
    }
}

int WriteProgramEvent(ProgramEvent kind, std::initializer_list<const wchar_t*> inserts) {
    if (inserts.size() > kMaxInserts) return 0;
    const wchar_t* strings[kMaxInserts] = {};
    WORD n = 0;
    for (const wchar_t* s : inserts) strings[n++] = s ? s : L"";
    HANDLE source = RegisterEventSourceW(nullptr, L"Brisca");
    if (!source) return 0;
    const BOOL ok = ReportEventW(source, ProgramEventType(kind), 0, ProgramEventId(kind), nullptr, n,
                                 0, n ? strings : nullptr, nullptr);
    DeregisterEventSource(source);
    return ok ? 1 : 0;
}

namespace {
void WriteStart(ProgramEvent kind, const char* version, const char* port, const char* logFolder) {
    const std::wstring v = Widen(version), k = Widen(ServerKeyFingerprint()), p = Widen(port),
                       f = Widen(logFolder);
    WriteProgramEvent(kind, {v.c_str(), k.c_str(), p.c_str(), f.c_str()});
}
}  // namespace

void CEventLogEvents::Started(const char* version, const char* port, const char* logFolder) {
    WriteStart(ProgramEvent::Start, version, port, logFolder);
}

void CEventLogEvents::StartFailed(const char* version, const char* port, const char* logFolder) {
    WriteStart(ProgramEvent::StartFailed, version, port, logFolder);
}

void CEventLogEvents::Stopped() { WriteProgramEvent(ProgramEvent::Stop); }

void CEventLogEvents::PortLost(const char* port) {
    WriteProgramEvent(ProgramEvent::PortLost, {Widen(port).c_str()});
}

void CEventLogEvents::PortBack(const char* port) {
    WriteProgramEvent(ProgramEvent::PortBack, {Widen(port).c_str()});
}

void CEventLogEvents::ServerUnreachable(const char* host, int port) {
    const std::wstring where = Widen(host) + L":" + std::to_wstring(port);
    WriteProgramEvent(ProgramEvent::ServerUnreachable, {where.c_str()});
}

void CEventLogEvents::ServerNotReading(const char* host, int port) {
    const std::wstring where = Widen(host) + L":" + std::to_wstring(port);
    WriteProgramEvent(ProgramEvent::ServerNotReading, {where.c_str()});
}

void CEventLogEvents::SettingsProblem(bool error, const char* text) {
    WriteProgramEvent(error ? ProgramEvent::SettingsError : ProgramEvent::SettingsWarning, {Widen(text).c_str()});
}

void CEventLogEvents::LogRefused(const char* text) {
    WriteProgramEvent(ProgramEvent::LogRefused, {Widen(text).c_str()});
}
