// UTF-8 <-> UTF-16 conversion through MultiByteToWideChar / WideCharToMultiByte (CP_UTF8).
#include "app/win32/wide_text.h"

#include <windows.h>

#include <climits>
#include <cstring>

std::wstring Widen(const char* utf8, std::size_t n) {
    std::wstring out;
    if (!utf8 || n == 0 || n > INT_MAX) return out;
    int len = MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(n), nullptr, 0);
    if (len <= 0) return out;
    out.resize(static_cast<std::size_t>(len));
    MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(n), out.data(), len);
    return out;
}

std::wstring Widen(const char* utf8) { return utf8 ? Widen(utf8, std::strlen(utf8)) : std::wstring(); }

std::string Narrow(const std::wstring& utf16) {
    std::string out;
    if (utf16.empty() || utf16.size() > INT_MAX) return out;
    int n = static_cast<int>(utf16.size());
    int len = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), n, nullptr, 0, nullptr, nullptr);
    if (len <= 0) return out;
    out.resize(static_cast<std::size_t>(len));
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), n, out.data(), len, nullptr, nullptr);
    return out;
}

std::string Narrow(const wchar_t* utf16) { return utf16 ? Narrow(std::wstring(utf16)) : std::string(); }
