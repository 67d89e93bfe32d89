// The settings file of the headless gateway, the counterpart of the registry key on Windows:
// UTF-8 "name=value" lines, '#' and ';' comments. The program reads every value through the
// shared settings model and rewrites only its own four values, in place.
#pragma once
#include "gateway/settings_model.h"
#include "gateway/settings_text.h"

#include <cstddef>
#include <string>

constexpr std::size_t kMaxSettingsFile = 65536;  // a longer file is not read (nor rewritten)

// The values the program writes after a successful open.
struct OwnedSettings {
    std::string port;     // "COM Port"
    std::string rate;     // "COM Rate"
    std::string version;  // "Version" (written, never used when read)
    int log = 0;          // "Log Flag"
};

// Reads a file's text into reader, line by line; no I/O. `file` names it in the problems
// ("<file> line <n>: ..."). A damaged line (no '=', not UTF-8, a NUL) is a problem of its own;
// every other line still counts. Empty lines, comments and [section] lines are skipped; a name
// given twice is a problem (see SettingsReader::Value).
void ReadSettingsText(const std::string& file, const char* data, std::size_t size, SettingsReader* reader);

// text with the program's values set: the first line of each of the four names is replaced
// (keeping its line end), a further line of one of them is dropped (a name given twice counts
// for neither), a missing one is added at the end; every other byte stays as it was.
// False when a value cannot be written as one line (a line break or NUL in it).
bool UpdateSettingsText(const std::string& text, const OwnedSettings& values, std::string* out);

// $XDG_CONFIG_HOME (when absolute) else home + "/.config"; empty when neither is known.
std::string ConfigHome(const char* xdgConfigHome, const char* home);
// The same from the environment (falls back to the password database for the home directory).
std::string ConfigHomeFromEnvironment();
// <config home>/brisca/settings.ini
std::string DefaultSettingsPath();

// The settings in force from a file (none when path is empty or the file does not exist).
// adminFile: the service's file, whose values count each on its own; otherwise the program's
// own file, where port, speed and log switch count only beside a "Log Flag" line.
SettingsRead LoadSettingsFile(const std::string& path, bool adminFile);
// Sets the program's values in the file (made with its folders when missing) and replaces it
// atomically. 1 written, 0 not: a file that cannot be read whole is left as it is.
int SaveSettingsFile(const std::string& path, const OwnedSettings& values);
