// Registry access through the wide calls. Values are written with exactly their characters and
// no terminator, so every read copes with a missing terminator.
#include "app/win32/settings_store.h"

#include <climits>
#include <cwchar>
#include <utility>
#include <vector>

const wchar_t kSettingsKey[] = L"Software\\(주)Tevo네트웍스\\(주)Tevo네트웍스 Brisca";
const wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

namespace {
constexpr std::size_t kRateChars = 9;  // the speed is read into a 10-character buffer

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

// A count stored as REG_DWORD or as decimal digits in a REG_SZ (spaces around them allowed);
// anything else counts as missing. Values past INT_MAX are INT_MAX.
bool ReadCount(HKEY key, const wchar_t* name, int& out) {
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) return false;
    if (type == REG_DWORD) {
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
            size != sizeof value)
            return false;
        out = value > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(value);
        return true;
    }
    std::wstring text;
    if (!ReadStringValue(key, name, text)) return false;
    std::size_t i = text.find_first_not_of(L' ');
    const std::size_t end = text.find_last_not_of(L' ');
    if (i == std::wstring::npos) return false;
    long long n = 0;
    for (; i <= end; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        n = n * 10 + (text[i] - L'0');
        if (n > INT_MAX) n = INT_MAX;
    }
    out = static_cast<int>(n);
    return true;
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

int CSettingsStore::LoadFrom(HKEY key, StoredSettings& out) {
    std::wstring port, rate, flag;
    ReadStringValue(key, L"COM Port", port);
    ReadStringValue(key, L"COM Rate", rate);
    if (!ReadStringValue(key, L"Log Flag", flag)) return 0;
    if (rate.size() > kRateChars) rate.resize(kRateChars);
    out.port = port;
    out.rate = rate;
    out.bLog = (!flag.empty() && flag[0] == L'1') ? 1 : 0;
    return 1;
}

int CSettingsStore::Load(StoredSettings& out) const {
    HKEY keys[2] = {OpenSettings(m_machineRoot), OpenSettings(m_userRoot)};
    // The per-user copy that the program wrote after the machine-wide key refused it is not to
    // be shadowed by an older machine-wide key; a machine-wide key written later (an installer,
    // an administrator) wins again.
    if (keys[1] && (!keys[0] || LastWritten(keys[1]) > LastWritten(keys[0]))) std::swap(keys[0], keys[1]);
    int found = 0;
    for (HKEY key : keys)
        if (key && !found) found = LoadFrom(key, out);
    // The values that only an installer or an administrator writes: each from the first key that
    // has it, so that the per-user copy (which never holds them) does not hide them.
    bool folder = false, days = false, limit = false, servers = false;
    for (HKEY key : keys) {
        if (!key) continue;
        if (!folder) folder = ReadExpandedString(key, L"Log Folder", out.logFolder);
        if (!days) days = ReadCount(key, L"Log Days", out.logDays);
        if (!limit) limit = ReadCount(key, L"Log Limit", out.logLimitMb);
        if (!servers) servers = ReadStringValue(key, L"Allowed Servers", out.allowedServers);
        RegCloseKey(key);
    }
    return found;
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
