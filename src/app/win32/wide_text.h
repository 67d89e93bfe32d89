// UTF-8 <-> UTF-16 conversion for the window system's wide calls. Sources and the portable core
// use UTF-8; every text that reaches a window, the registry or a kernel name goes through here.
#pragma once
#include <string>

std::wstring Widen(const char* utf8);
std::wstring Widen(const char* utf8, std::size_t n);
std::string Narrow(const wchar_t* utf16);
std::string Narrow(const std::wstring& utf16);
