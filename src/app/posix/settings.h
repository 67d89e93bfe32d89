// The settings file of the headless gateway, the counterpart of the registry key on Windows:
// "COM Port", "COM Rate", "Version" and "Log Flag" as UTF-8 "name=value" lines.
#pragma once
#include "gateway/settings_text.h"

#include <cstddef>
#include <string>

constexpr std::size_t kMaxSettingsFile = 4096;  // a bigger file is refused as over-long
constexpr std::size_t kMaxVersionText = 63;

struct StoredSettings {
    std::string port;     // "COM Port"
    std::string rate;     // "COM Rate"
    std::string version;  // "Version" (written, never used when read)
    int log = 0;          // "Log Flag": 1 when its first byte is '1'
    // Read, never written by the program (set by hand or by a package):
    std::string logFolder;       // "Log Folder": empty = gate_log under the working directory
    int logDays = 365;           // "Log Days": daily files kept, 0 = all
    int logLimitMb = 256;        // "Log Limit": MB per day, 0 = no limit
    std::string allowedServers;  // "Allowed Servers": IPv4 addresses and CIDR ranges, comma-separated
};

// Where the reading stopped when a file is refused.
struct SettingsProblem {
    int line = 0;         // 1-based; 0 for the file as a whole
    std::string reason;
};

// Reads a whole settings file from memory; no I/O. Returns 1 when settings are stored (the file
// has a "Log Flag" line), 0 when none are (out untouched), -1 when the text is damaged or too
// long (out untouched, problem filled). Unknown names, empty lines, '#' and ';' comments and
// [section] lines are skipped; a later line wins over an earlier one of the same name.
int ParseSettings(const char* data, std::size_t size, StoredSettings* out, SettingsProblem* problem);

// The file text for the four values, in the registry's writing order, followed by the values the
// program only reads when they differ from their defaults (so that saving keeps them). False
// when a value cannot be written as one line (a line break or NUL in it).
bool FormatSettings(const StoredSettings& s, std::string* text);

// $XDG_CONFIG_HOME (when absolute) else home + "/.config"; empty when neither is known.
std::string ConfigHome(const char* xdgConfigHome, const char* home);
// The same from the environment (falls back to the password database for the home directory).
std::string ConfigHomeFromEnvironment();
// <config home>/brisca/settings.ini
std::string DefaultSettingsPath();

// LoadSettings: 1 settings found, 0 none (no file, no "Log Flag"), -1 the file cannot be read
// or is damaged (problem says why; out untouched).
int LoadSettingsFile(const std::string& path, StoredSettings* out, SettingsProblem* problem);
// SaveSettings: creates the folder if needed and replaces the file atomically. 1 written, 0 not.
int SaveSettingsFile(const std::string& path, const StoredSettings& s);
