// Registry access through the wide calls. Values are written with exactly their characters and
// no terminator, so every read copes with a missing terminator.
#include "app/win32/settings_store.h"

#include <cwchar>
#include <vector>

const wchar_t kSettingsKey[] = L"Software\\(주)Tevo네트웍스\\(주)Tevo네트웍스 Brisca";
const wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

namespace {
constexpr std::size_t kRateChars = 9;  // the speed is read into a 10-character buffer

LSTATUS WriteString(HKEY key, const wchar_t* name, const std::wstring& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                          static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}
}  // namespace

bool ReadStringValue(HKEY key, const wchar_t* name, std::wstring& out) {
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
        if (r != ERROR_SUCCESS) return false;
        buffer[got / sizeof(wchar_t)] = L'\0';
        out.assign(buffer.data());
        return true;
    }
    return false;
}

int CSettingsStore::LoadFrom(HKEY root, StoredSettings& out) {
    HKEY key = nullptr;
    // Read access is enough for reading: a user without rights on the machine-wide key can still read it.
    if (RegOpenKeyExW(root, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    std::wstring port, rate, flag;
    ReadStringValue(key, L"COM Port", port);
    ReadStringValue(key, L"COM Rate", rate);
    const bool haveFlag = ReadStringValue(key, L"Log Flag", flag);
    RegCloseKey(key);
    if (!haveFlag) return 0;
    if (rate.size() > kRateChars) rate.resize(kRateChars);
    out.port = port;
    out.rate = rate;
    out.bLog = (!flag.empty() && flag[0] == L'1') ? 1 : 0;
    return 1;
}

int CSettingsStore::Load(StoredSettings& out) const {
    if (LoadFrom(m_machineRoot, out)) return 1;
    return LoadFrom(m_userRoot, out);
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

int RegisterAutostart(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* data) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return 1;
    const LSTATUS r = RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                                     static_cast<DWORD>(std::wcslen(data) * sizeof(wchar_t)));
    RegCloseKey(key);
    return r == ERROR_SUCCESS ? 0 : 1;
}
