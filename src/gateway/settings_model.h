// The settings both programs share: their names, defaults and rules, which value counts, and the
// problems a store has, named so that an administrator can mend them. A shell only reads its
// store (a settings file, the registry) value by value into a SettingsReader and writes back the
// program's own four values.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

constexpr char kPortSetting[] = "COM Port";
constexpr char kRateSetting[] = "COM Rate";
constexpr char kVersionSetting[] = "Version";
constexpr char kLogFlagSetting[] = "Log Flag";
constexpr char kLogFolderSetting[] = "Log Folder";
constexpr char kLogDaysSetting[] = "Log Days";
constexpr char kLogLimitSetting[] = "Log Limit";
constexpr char kAllowedSetting[] = "Allowed Servers";

// The line speed when none is stored: the first entry of the Windows program's speed list.
constexpr char kDefaultRateText[] = "57600";
constexpr int kDefaultLogDays = 365;
constexpr int kDefaultLogLimitMb = 256;

// The values in force, UTF-8. The program writes the first three (and "Version"); the
// administrator owns the rest.
struct GatewaySettings {
    std::string port;            // "COM Port"
    std::string rate;            // "COM Rate"
    int log = 0;                 // "Log Flag"
    std::string logFolder;       // "Log Folder": empty = the shell's default folder
    int logDays = kDefaultLogDays;       // "Log Days": daily files kept, 0 = all
    int logLimitMb = kDefaultLogLimitMb;  // "Log Limit": MB per day, 0 = no limit
    std::string allowedServers;  // "Allowed Servers": empty = every server
    bool allowNone = false;      // "Allowed Servers" could not be read: no server is allowed
};

enum class Setting { Port, Rate, Version, LogFlag, LogFolder, LogDays, LogLimit, AllowedServers, Unknown };
Setting SettingNamed(const std::string& name);
// One of "COM Port", "COM Rate", "Version", "Log Flag": the values the program writes.
bool ProgramOwns(Setting s);

struct SettingsIssue {
    bool error;        // false: a warning (an unknown name)
    std::string text;  // "<where>: <what is wrong>; <what is in force instead>"
};

struct SettingsRead {
    GatewaySettings values;
    int stored = 0;  // port, speed and log switch count as stored
    std::vector<SettingsIssue> issues;
};

// Collects a store's values one by one. `where` names the place for an administrator: a file
// and line ("/etc/brisca/lane1.ini line 3") or a registry value.
class SettingsReader {
public:
    // logFlagDecides: the program's own store, where port, speed and log switch count only
    // beside a "Log Flag" (as the registry always had it). An administrator's file (the
    // service's) counts each value on its own.
    explicit SettingsReader(bool logFlagDecides) : m_logFlagDecides(logFlagDecides) {}

    // A value as text; an unknown name is a warning, a bad value an error and its default. A
    // name given a second time is an error naming both places: "Allowed Servers" then allows no
    // server, another value falls back to its default. An unknown name that is a known one
    // written with other case, blanks or invisible characters ("allowed servers", a no-break
    // space, a byte order mark) is an error naming the known one, and fails like it.
    void Value(const std::string& where, const std::string& name, const std::string& text);
    // A value that is there but cannot be read as text (a wrong registry type, damaged bytes).
    void Unreadable(const std::string& where, const std::string& name, const std::string& why);
    // The store as a whole cannot be read (unreadable, too long): nothing in it counts, and
    // no server is allowed, since its "Allowed Servers" may be among what was not read.
    void StoreUnreadable(const std::string& where, const std::string& why);
    // A problem of the store that names no value (a damaged line).
    void Problem(bool error, const std::string& where, const std::string& what);

    SettingsRead Finish() const;

private:
    // True (and the problem told) when the setting was given before.
    bool Repeated(const std::string& where, Setting setting);

    bool m_logFlagDecides;
    std::string m_firstAt[static_cast<int>(Setting::Unknown)];  // where each name was first given
    bool m_repeated[static_cast<int>(Setting::Unknown)] = {};
    bool m_hasLogFlag = false;
    std::string m_portOrRateAt;  // where the last "COM Port" or "COM Rate" was read
    SettingsRead m_read;
};

// The known setting of that name in any ASCII case (registry value names ignore case), else
// Unknown.
Setting SettingNamedAnyCase(const std::string& name);

// The known setting an unknown name stands for when compared without case, blanks,
// punctuation and any non-ASCII byte ("allowed servers", "Allowed\u00a0Servers"); Unknown when none.
Setting SettingLike(const std::string& name);

// A value as shown in a problem text: control bytes as \xNN, cut after max bytes.
std::string ShownValue(const std::string& text, std::size_t max = 60);

// The values in force, one "name=value" line each, as --check-config prints them.
std::string DescribeSettings(const SettingsRead& read);
