// CRelayApp::InitInstance and GetProductVersion.
#include "app/win32/relay_app.h"

#include "app/win32/main_dlg.h"
#include "app/win32/startup_env.h"

#include <commctrl.h>

#include <cstring>
#include <cwchar>
#include <vector>

namespace {
// VerQueryValueW from System32's version.dll: that DLL is not one the system always takes from
// System32, so it is not imported (the program's folder would be searched for it first).
using VerQueryValueFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
VerQueryValueFn VerQueryValueFromSystem() {
    HMODULE version = LoadSystemLibrary(L"version.dll");
    return version ? reinterpret_cast<VerQueryValueFn>(
                         reinterpret_cast<void*>(GetProcAddress(version, "VerQueryValueW")))
                   : nullptr;
}
}  // namespace

std::wstring GetProductVersion(HMODULE module, std::wstring* queryPath) {
    std::wstring result;
    static const VerQueryValueFn verQueryValue = VerQueryValueFromSystem();
    if (!verQueryValue) return result;
    if (!module) module = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */);
    if (!info) return result;
    HGLOBAL loaded = LoadResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = SizeofResource(module, info);
    if (!data || size == 0) return result;
    // VerQueryValue may write into the block it reads: give it a copy, never the mapped resource.
    std::vector<BYTE> block(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size);
    block.resize(size * 2);

    wchar_t path[64];
    void* value = nullptr;
    UINT len = 0;
    if (verQueryValue(block.data(), L"\\VarFileInfo\\Translation", &value, &len) && len == 4) {
        DWORD t;
        std::memcpy(&t, value, 4);
        swprintf(path, 64, L"\\StringFileInfo\\%02X%02X%02X%02X\\ProductVersion", (t >> 8) & 0xFF,
                 t & 0xFF, (t >> 24) & 0xFF, (t >> 16) & 0xFF);
    } else {
        swprintf(path, 64, L"\\StringFileInfo\\%04X04B0\\ProductVersion", GetUserDefaultLangID());
    }
    if (queryPath) *queryPath = path;
    if (verQueryValue(block.data(), path, &value, &len) && value && len > 0)
        result.assign(static_cast<const wchar_t*>(value), wcsnlen(static_cast<const wchar_t*>(value), len));
    return result;
}

BOOL CRelayApp::InitInstance() {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);

    const std::wstring version = GetProductVersion();
    CMainDlg dlg(nullptr, version);  // nothing of the window exists yet

    m_hMutex = CreateMutexW(nullptr, TRUE, kProductTitle);
    const DWORD error = GetLastError();
    if (m_hMutex) ReleaseMutex(m_hMutex);  // the open handle keeps the name; ownership is not needed
    if (error == ERROR_ALREADY_EXISTS) {
        MessageBoxW(nullptr, L"프로그램이 실행중입니다!", kProductTitle, MB_OK);
        return FALSE;
    }
    dlg.DoModal();
    return FALSE;
}
