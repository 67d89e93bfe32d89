// Start-up environment: DLL search, working directory, log folder.
#include "app/win32/startup_env.h"

#include <shlobj.h>

#include <vector>

bool RestrictDllSearchToSystem32() {
    // Looked up at run time: a Windows 7 without its loader update lacks it, and a static import
    // would keep the program from starting there at all.
    using SetDirs = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto set = kernel ? reinterpret_cast<SetDirs>(
                            reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")))
                      : nullptr;
    return set && set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

std::wstring ProgramPath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        if (buffer.size() >= 32768) return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring ProgramFolder() {
    const std::wstring path = ProgramPath();
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool UseProgramFolderAsWorkingDirectory() {
    std::wstring folder = ProgramFolder();
    if (folder.empty()) return false;
    if (folder.size() == 2 && folder[1] == L':') folder += L'\\';  // "C:" alone is a drive's current folder
    return SetCurrentDirectoryW(folder.c_str()) != FALSE;
}

bool IsFolderWritable(const std::wstring& folder) {
    // Tried, not read from the folder's rights: virtualisation, shares and policies decide too.
    wchar_t name[MAX_PATH + 16];
    if (folder.empty() || folder.size() > MAX_PATH - 14) return false;
    if (!GetTempFileNameW(folder.c_str(), L"brs", 0, name)) return false;  // makes the file
    DeleteFileW(name);
    return true;
}

std::wstring DefaultLogFolder(const std::wstring& programFolder) {
    if (!programFolder.empty()) {
        const std::wstring beside = programFolder + L"\\gate_log";
        const DWORD attr = GetFileAttributesW(beside.c_str());
        const bool exists = attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
        if (IsFolderWritable(exists ? beside : programFolder)) return beside;
    }
    PWSTR local = nullptr;
    std::wstring result;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &local)) && local) {
        const std::wstring parent = std::wstring(local) + L"\\Brisca";
        CreateDirectoryW(parent.c_str(), nullptr);  // the log writer makes only the last level
        result = parent + L"\\gate_log";
    }
    CoTaskMemFree(local);
    return result;
}

std::wstring DefaultLogFolder() { return DefaultLogFolder(ProgramFolder()); }
