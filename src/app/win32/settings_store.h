// The settings in the registry: port, speed, version and log flag under the program's key in
// HKEY_LOCAL_MACHINE, or under HKEY_CURRENT_USER where the machine-wide key cannot be written.
#pragma once
#include <windows.h>

#include "gateway/settings_model.h"

#include <string>

extern const wchar_t kSettingsKey[];  // Software\(주)Tevo네트웍스\(주)Tevo네트웍스 Brisca
extern const wchar_t kRunKey[];       // SOFTWARE\Microsoft\Windows\CurrentVersion\Run

// The values the program writes.
struct StoredSettings {
    std::wstring port;   // "COM3"
    std::wstring rate;   // "38400", at most 9 characters
    int bLog = 0;
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

    // The settings in force through the shared model. Port, speed and log switch come from the
    // more recently written of the machine-wide and the user's key that has a "Log Flag" (the
    // user's copy is what the program wrote when it could not write the machine-wide key); on
    // a tie the machine-wide key comes first. The administrator's values ("Log Folder", "Log
    // Days", "Log Limit", "Allowed Servers") come from the machine-wide key wherever it holds
    // them, from the user's key only where it does not. A value of the wrong type and a name
    // the program does not know are problems, named with their key.
    SettingsRead Load() const;
    // Writes "COM Port", "COM Rate", "Version", "Log Flag"; 1 when "Log Flag" was written.
    int Save(const StoredSettings& in, const std::wstring& version) const;

private:
    static void ReadValue(HKEY key, const std::string& keyName, const wchar_t* name, SettingsReader& reader);
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
