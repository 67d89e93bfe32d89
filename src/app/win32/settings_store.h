// The settings in the registry: port, speed, version and log flag under the program's key in
// HKEY_LOCAL_MACHINE, or under HKEY_CURRENT_USER where the machine-wide key cannot be written.
#pragma once
#include <windows.h>

#include <string>

extern const wchar_t kSettingsKey[];  // Software\(주)Tevo네트웍스\(주)Tevo네트웍스 Brisca
extern const wchar_t kRunKey[];       // SOFTWARE\Microsoft\Windows\CurrentVersion\Run

struct StoredSettings {
    std::wstring port;   // "COM3"
    std::wstring rate;   // "38400", at most 9 characters
    int bLog = 0;
    // Written only by an installer or by hand, never by the program:
    std::wstring logFolder;       // "Log Folder": empty = the program's own choice
    int logDays = 365;            // "Log Days" (REG_DWORD): daily files kept, 0 = all
    int logLimitMb = 256;         // "Log Limit" (REG_DWORD): MB per day, 0 = no limit
    std::wstring allowedServers;  // "Allowed Servers": IPv4 addresses and CIDR ranges, comma-separated
};

class CSettingsStore {
public:
    // The roots are a seam for tests (a root that refuses writes); the program keeps the defaults.
    explicit CSettingsStore(HKEY machineRoot = HKEY_LOCAL_MACHINE, HKEY userRoot = HKEY_CURRENT_USER)
        : m_machineRoot(machineRoot), m_userRoot(userRoot) {}
    void SetRoots(HKEY machineRoot, HKEY userRoot) {
        m_machineRoot = machineRoot;
        m_userRoot = userRoot;
    }

    // 1 when settings were found, 0 when none. Of the machine-wide and the user's key, the one
    // written more recently is read first (the user's copy is what the program wrote when it
    // could not write the machine-wide key); on a tie the machine-wide key comes first. The
    // values written only by an installer or by hand are filled in either way, each from the
    // first key that has it (kept at its default when neither has it).
    int Load(StoredSettings& out) const;
    // Writes "COM Port", "COM Rate", "Version", "Log Flag"; 1 when "Log Flag" was written.
    int Save(const StoredSettings& in, const std::wstring& version) const;

private:
    static int LoadFrom(HKEY root, StoredSettings& out);
    static int SaveTo(HKEY root, const StoredSettings& in, const std::wstring& version);

    HKEY m_machineRoot;
    HKEY m_userRoot;
};

// The program's autostart under HKEY_CURRENT_USER\keyPath: valueName = "programPath" (REG_SZ, in
// double quotes, no terminator). Nothing is added when HKEY_LOCAL_MACHINE\keyPath already has a
// valueName naming the same program (an installer's machine-wide entry); a per-user value naming
// that program is then removed, so the program starts once. 0 on success, 1 on failure.
int RegisterAutostart(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* programPath);
// Reads a REG_SZ or REG_EXPAND_SZ value whole (unexpanded), stored with or without its
// terminator. False when missing. typeOut, if given, receives the value's type.
bool ReadStringValue(HKEY key, const wchar_t* name, std::wstring& out, DWORD* typeOut = nullptr);
