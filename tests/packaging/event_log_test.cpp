// The Event Log records of brisca.exe: every event has a message in the program's message table
// that takes its inserts, a record type that matches its severity, and a record can be written
// under the source "Brisca" the way the installer registers it.
#include "app/win32/event_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
    ProgramEvent kind;
    std::vector<const wchar_t*> inserts;
    WORD type;
};

const Case kCases[] = {
    {ProgramEvent::Start, {L"1, 0, 0, 5", L"0123456789abcdef", L"COM5", L"C:\\ProgramData\\Brisca\\gate_log"},
     EVENTLOG_INFORMATION_TYPE},
    {ProgramEvent::Stop, {}, EVENTLOG_INFORMATION_TYPE},
    {ProgramEvent::PortLost, {L"COM7"}, EVENTLOG_WARNING_TYPE},
    {ProgramEvent::PortBack, {L"COM7"}, EVENTLOG_INFORMATION_TYPE},
    {ProgramEvent::ServerUnreachable, {L"10.1.2.3:9100"}, EVENTLOG_ERROR_TYPE},
    {ProgramEvent::SettingsError, {L"Allowed Servers is of type REG_MULTI_SZ"}, EVENTLOG_ERROR_TYPE},
    {ProgramEvent::SettingsWarning, {L"unknown name Allowed Server"}, EVENTLOG_WARNING_TYPE},
    {ProgramEvent::LogRefused, {L"C:\\logs: access denied"}, EVENTLOG_ERROR_TYPE},
    {ProgramEvent::ServerNotReading, {L"10.1.2.3:9100"}, EVENTLOG_WARNING_TYPE},
};

// The text the event viewer shows for the record: the message of the id with the inserts.
std::wstring Render(DWORD id, const std::vector<const wchar_t*>& inserts) {
    wchar_t text[1024] = {};
    std::vector<DWORD_PTR> args;
    for (const wchar_t* insert : inserts) args.push_back(reinterpret_cast<DWORD_PTR>(insert));
    args.push_back(0);
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   GetModuleHandleW(nullptr), id, 0, text, 1024,
                                   reinterpret_cast<va_list*>(args.data()));
    return std::wstring(text, n);
}

TEST(EventLog, EveryEventHasItsMessageWithItsInsertsAndItsType) {
    std::vector<DWORD> ids;
    for (const Case& c : kCases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        const DWORD id = ProgramEventId(c.kind);
        const std::wstring text = Render(id, c.inserts);
        ASSERT_FALSE(text.empty()) << "no message " << std::hex << id << " in the message table";
        for (const wchar_t* insert : c.inserts) EXPECT_NE(text.find(insert), std::wstring::npos) << insert;
        EXPECT_EQ(text.find(L'%'), std::wstring::npos);
        EXPECT_EQ(ProgramEventType(c.kind), c.type);
        for (DWORD other : ids) EXPECT_NE(other & 0xFFFF, id & 0xFFFF) << "two events share an id";
        ids.push_back(id);
    }
}

TEST(EventLog, WritesUnderTheRegisteredSource) {
    // The installer's registration, with this test program as the message file.
    const wchar_t key[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Brisca";
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(k, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(self),
                   static_cast<DWORD>((wcslen(self) + 1) * sizeof(wchar_t)));
    const DWORD types = 7;
    RegSetValueExW(k, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(k);

    if (!WriteProgramEvent(ProgramEvent::Start, {L"1, 0, 0, 5", L"0123456789abcdef", L"COM5", L"C:\\logs"}))
        GTEST_SKIP() << "this system has no event log to write to";
    EXPECT_EQ(WriteProgramEvent(ProgramEvent::Stop), 1);
    // More inserts than any message takes: refused, nothing written.
    EXPECT_EQ(WriteProgramEvent(ProgramEvent::PortLost, {L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8", L"9"}), 0);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
}

}  // namespace
