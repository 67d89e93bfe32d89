// Registry access through the wide calls. Values are written with exactly their characters and
// no terminator, so every read copes with a missing terminator.
#include "app/win32/settings_store.h"

#include "app/win32/wide_text.h"

#include <climits>
#include <cwchar>
#include <utility>
#include <vector>

const wchar_t kSettingsKey[] = L"Software\\(주)Tevo네트웍스\\(주)Tevo네트웍스 Brisca";
const wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

namespace {

LSTATUS WriteString(HKEY key, const wchar_t* name, const std::wstring& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                          static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

// A REG_SZ value as it is, a REG_EXPAND_SZ value with its %VARIABLES% expanded.
bool ReadExpandedString(HKEY key, const wchar_t* name, std::wstring& out) {
    DWORD type = 0;
    std::wstring text;
    if (!ReadStringValue(key, name, text, &type)) return false;
    if (type == REG_EXPAND_SZ) {
        const DWORD need = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        if (need == 0) return false;
        std::vector<wchar_t> buffer(need + 1, L'\0');
        if (ExpandEnvironmentStringsW(text.c_str(), buffer.data(), need + 1) == 0) return false;
        text.assign(buffer.data());
    }
    out = std::move(text);
    return true;
}

const wchar_t* const kOwnNames[] = {L"COM Port", L"COM Rate", L"Version", L"Log Flag"};
const wchar_t* const kAdminNames[] = {L"Log Folder", L"Log Days", L"Log Limit", L"Allowed Servers"};

bool HasValue(HKEY key, const wchar_t* name) {
    return key && RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::string TypeName(DWORD type) {
    switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_DWORD: return "REG_DWORD";
    case REG_QWORD: return "REG_QWORD";
    case REG_BINARY: return "REG_BINARY";
    default: return "type " + std::to_string(type);
    }
}

HKEY OpenSettings(HKEY root) {
    HKEY key = nullptr;
    // Read access is enough for reading: a user without rights on the machine-wide key can still read it.
    if (RegOpenKeyExW(root, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return nullptr;
    return key;
}

ULONGLONG LastWritten(HKEY key) {
    FILETIME t{};
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, &t) != ERROR_SUCCESS)
        return 0;
    return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// The program a Run value starts: the quoted path, or the whole text when it is not quoted.
std::wstring ProgramOfCommand(const std::wstring& command) {
    const std::size_t start = command.find_first_not_of(L" \t");
    if (start == std::wstring::npos) return std::wstring();
    if (command[start] == L'"') {
        const std::size_t close = command.find(L'"', start + 1);
        return command.substr(start + 1, close == std::wstring::npos ? std::wstring::npos : close - start - 1);
    }
    return command.substr(start, command.find_last_not_of(L" \t") - start + 1);
}

// The full, long form of a path (a short 8.3 name or a relative part resolved where possible).
std::wstring FullPath(const std::wstring& path) {
    std::wstring full = path;
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n > 0) {
        std::vector<wchar_t> buffer(n + 1, L'\0');
        if (GetFullPathNameW(path.c_str(), n + 1, buffer.data(), nullptr) > 0) full.assign(buffer.data());
    }
    n = GetLongPathNameW(full.c_str(), nullptr, 0);
    if (n > 0) {
        std::vector<wchar_t> buffer(n + 1, L'\0');
        if (GetLongPathNameW(full.c_str(), buffer.data(), n + 1) > 0) full.assign(buffer.data());
    }
    return full;
}

bool SameProgram(const std::wstring& command, const wchar_t* programPath) {
    const std::wstring program = ProgramOfCommand(command);
    if (program.empty()) return false;
    const std::wstring a = FullPath(program), b = FullPath(programPath);
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// The Run value valueName under root\keyPath names programPath.
bool RunValueNames(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* programPath) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    std::wstring command;
    const bool same = ReadExpandedString(key, valueName, command) && SameProgram(command, programPath);
    RegCloseKey(key);
    return same;
}
}  // namespace

bool ReadStringValue(HKEY key, const wchar_t* name, std::wstring& out, DWORD* typeOut) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    // Room for a terminator that the stored data may lack; the value may grow in between.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
        DWORD got = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
        LSTATUS r = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &got);
        if (r == ERROR_MORE_DATA) {
            size = got;
            continue;
        }
        if (r != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
        buffer[got / sizeof(wchar_t)] = L'\0';
        out.assign(buffer.data());
        if (typeOut) *typeOut = type;
        return true;
    }
    return false;
}

// One value into the reader, named with its key; a value of a type the setting does not take
// is a problem of its own ("Allowed Servers" as REG_MULTI_SZ allows no server).
void CSettingsStore::ReadValue(HKEY key, const std::string& keyName, const wchar_t* name, SettingsReader& reader) {
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) return;
    const std::string n = Narrow(name);
    const std::string where = keyName + "\\" + n;
    const Setting setting = SettingNamed(n);
    const bool count = setting == Setting::LogDays || setting == Setting::LogLimit;
    const bool expand = setting == Setting::LogFolder;
    if (count && type == REG_DWORD) {
        DWORD value = 0, size = sizeof value;
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
            size != sizeof value)
            return reader.Unreadable(where, n, "cannot be read");
        return reader.Value(where, n, std::to_string(value));
    }
    if (type == REG_SZ || (expand && type == REG_EXPAND_SZ)) {
        std::wstring text;
        if (!(expand ? ReadExpandedString(key, name, text) : ReadStringValue(key, name, text)))
            return reader.Unreadable(where, n, "cannot be read");
        return reader.Value(where, n, Narrow(text));
    }
    reader.Unreadable(where, n, "is of type " + TypeName(type) + (count ? ", not REG_DWORD or REG_SZ" : ", not REG_SZ"));
}

SettingsRead CSettingsStore::Load() const {
    struct Key {
        HKEY key;
        std::string name;
    } machine{OpenSettings(m_machineRoot), "HKLM\\" + Narrow(kSettingsKey)},
        user{OpenSettings(m_userRoot), "HKCU\\" + Narrow(kSettingsKey)};
    SettingsReader reader(true);
    // Port, speed and log switch: the per-user copy that the program wrote after the
    // machine-wide key refused it is not to be shadowed by an older machine-wide key; a
    // machine-wide key written later (an installer, an administrator) wins again.
    Key* order[2] = {&machine, &user};
    if (user.key && (!machine.key || LastWritten(user.key) > LastWritten(machine.key))) std::swap(order[0], order[1]);
    Key* own = nullptr;
    for (Key* k : order)
        if (!own && HasValue(k->key, L"Log Flag")) own = k;
    if (!own) own = machine.key ? &machine : (user.key ? &user : nullptr);  // so that a lone port is named
    if (own)
        for (const wchar_t* name : kOwnNames) ReadValue(own->key, own->name, name, reader);
    // The administrator's values: the machine-wide key wherever it holds them.
    for (const wchar_t* name : kAdminNames) {
        if (HasValue(machine.key, name)) ReadValue(machine.key, machine.name, name, reader);
        else if (HasValue(user.key, name)) ReadValue(user.key, user.name, name, reader);
    }
    // A name the program does not know (a misspelt "Allowed Server") is said, never passed over.
    for (Key* k : {&machine, &user}) {
        if (!k->key) continue;
        for (DWORD i = 0;; ++i) {
            wchar_t name[256];
            DWORD length = 256;
            const LSTATUS r = RegEnumValueW(k->key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (r == ERROR_NO_MORE_ITEMS) break;
            if (r != ERROR_SUCCESS || length == 0) continue;
            const std::string n = Narrow(std::wstring(name, length));
            // Value names ignore case: "allowed servers" is the value read above, not a look-alike.
            if (SettingNamedAnyCase(n) == Setting::Unknown) reader.Value(k->name + "\\" + n, n, std::string());
        }
        RegCloseKey(k->key);
    }
    return reader.Finish();
}

int CSettingsStore::SaveTo(HKEY root, const StoredSettings& in, const std::wstring& version) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(root, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, &disposition) != ERROR_SUCCESS)
        return 0;
    WriteString(key, L"COM Port", in.port);
    WriteString(key, L"COM Rate", in.rate);
    WriteString(key, L"Version", version);
    const LSTATUS r = WriteString(key, L"Log Flag", in.bLog ? L"1" : L"0");
    RegCloseKey(key);
    return r == ERROR_SUCCESS ? 1 : 0;
}

int CSettingsStore::Save(const StoredSettings& in, const std::wstring& version) const {
    if (SaveTo(m_machineRoot, in, version)) return 1;
    // No rights on the machine-wide key: keep the settings for this user instead.
    return SaveTo(m_userRoot, in, version);
}

int RegisterAutostart(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* programPath) {
    if (RunValueNames(HKEY_LOCAL_MACHINE, keyPath, valueName, programPath)) {
        // An installer starts this program for every user; a per-user entry would start it twice.
        HKEY key = nullptr;
        if (RunValueNames(HKEY_CURRENT_USER, keyPath, valueName, programPath) &&
            RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            const LSTATUS r = RegDeleteValueW(key, valueName);
            RegCloseKey(key);
            if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) return 1;
        }
        return 0;
    }
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return 1;
    // Quoted, so that a path with spaces is not tried as a shorter program name first.
    const LSTATUS r = WriteString(key, valueName, L"\"" + std::wstring(programPath) + L"\"");
    RegCloseKey(key);
    return r == ERROR_SUCCESS ? 0 : 1;
}
