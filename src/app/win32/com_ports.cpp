// The port list from the registry's serial device map and the fixed names.
#include "app/win32/com_ports.h"

#include "app/win32/settings_store.h"

#include <algorithm>
#include <cwctype>

const wchar_t kSerialCommKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
const wchar_t kPresentMarker[] = L" *";

namespace {
constexpr int kFixedPorts = 15;  // COM1 ... COM15

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
}  // namespace

bool PortNameLess(const std::wstring& a, const std::wstring& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            // Numbers compare by value: skip leading zeros, then the longer run is larger.
            while (i < a.size() && a[i] == L'0') ++i;
            while (j < b.size() && b[j] == L'0') ++j;
            std::size_t ei = i, ej = j;
            while (ei < a.size() && IsDigit(a[ei])) ++ei;
            while (ej < b.size() && IsDigit(b[ej])) ++ej;
            if (ei - i != ej - j) return ei - i < ej - j;
            const int c = a.compare(i, ei - i, b, j, ej - j);
            if (c != 0) return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        const wint_t x = std::towupper(a[i]), y = std::towupper(b[j]);
        if (x != y) return x < y;
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::wstring> PresentPorts(HKEY root, const wchar_t* keyPath) {
    std::vector<std::wstring> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return ports;
    DWORD count = 0, longestName = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longestName,
                         nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        std::vector<wchar_t> name(longestName + 2);
        for (DWORD i = 0; i < count; ++i) {
            DWORD chars = static_cast<DWORD>(name.size());
            if (RegEnumValueW(key, i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                continue;
            std::wstring port;
            if (!ReadStringValue(key, name.data(), port)) continue;
            port = PortNameFromEntry(port);
            if (port.empty()) continue;
            if (std::none_of(ports.begin(), ports.end(), [&](const std::wstring& p) { return SameName(p, port); }))
                ports.push_back(port);
        }
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), PortNameLess);
    return ports;
}

std::vector<std::wstring> PortListEntries(HKEY root, const wchar_t* keyPath) {
    const std::vector<std::wstring> present = PresentPorts(root, keyPath);
    std::vector<std::wstring> entries;
    entries.reserve(present.size() + kFixedPorts);
    for (const std::wstring& port : present) entries.push_back(port + kPresentMarker);
    for (int n = 1; n <= kFixedPorts; ++n) {
        const std::wstring port = L"COM" + std::to_wstring(n);
        if (std::none_of(present.begin(), present.end(), [&](const std::wstring& p) { return SameName(p, port); }))
            entries.push_back(port);
    }
    return entries;
}

std::wstring PortNameFromEntry(const std::wstring& entry) {
    const std::size_t first = entry.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return std::wstring();
    std::size_t last = entry.find_last_not_of(L" \t");
    // The marker: a star after a space, as the list shows it or as someone typed it after it.
    if (entry[last] == L'*' && last > first && (entry[last - 1] == L' ' || entry[last - 1] == L'\t'))
        last = entry.find_last_not_of(L" \t", last - 1);
    return entry.substr(first, last - first + 1);
}
