#include "gateway/settings_model.h"

#include "gateway/settings_text.h"
#include "net/allow_list.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kMaxFolderText = 1024;
constexpr std::size_t kMaxAllowedText = 2048;
constexpr std::size_t kMaxVersionText = 63;

std::string Trimmed(const std::string& text) {
    const std::size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    return text.substr(b, text.find_last_not_of(" \t") - b + 1);
}

bool HasControl(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return true;
    return false;
}

// A count of days or megabytes: 1 to 6 decimal digits.
bool ReadCount(const std::string& text, int* out) {
    if (text.empty() || text.size() > 6) return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
}

std::string Quoted(const char* name) { return std::string("\"") + name + "\""; }

}  // namespace

namespace {

const struct {
    const char* name;
    Setting setting;
} kNames[] = {{kPortSetting, Setting::Port},           {kRateSetting, Setting::Rate},
              {kVersionSetting, Setting::Version},     {kLogFlagSetting, Setting::LogFlag},
              {kLogFolderSetting, Setting::LogFolder}, {kLogDaysSetting, Setting::LogDays},
              {kLogLimitSetting, Setting::LogLimit},   {kAllowedSetting, Setting::AllowedServers}};

// Only the ASCII letters and digits of a name, lower case.
std::string Folded(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c >= 'A' && c <= 'Z') out += static_cast<char>(c - 'A' + 'a');
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) out += c;
    }
    return out;
}

const char* NameOf(Setting s) {
    for (const auto& n : kNames)
        if (n.setting == s) return n.name;
    return "";
}

}  // namespace

Setting SettingNamed(const std::string& name) {
    for (const auto& n : kNames)
        if (name == n.name) return n.setting;
    return Setting::Unknown;
}

Setting SettingNamedAnyCase(const std::string& name) {
    for (const auto& n : kNames) {
        const std::size_t len = std::strlen(n.name);
        bool same = name.size() == len;
        for (std::size_t i = 0; same && i < len; ++i) {
            char c = name[i];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            char k = n.name[i];
            if (k >= 'a' && k <= 'z') k = static_cast<char>(k - 'a' + 'A');
            same = c == k;
        }
        if (same) return n.setting;
    }
    return Setting::Unknown;
}

Setting SettingLike(const std::string& name) {
    const std::string folded = Folded(name);
    for (const auto& n : kNames)
        if (folded == Folded(n.name)) return n.setting;
    return Setting::Unknown;
}

bool ProgramOwns(Setting s) {
    return s == Setting::Port || s == Setting::Rate || s == Setting::Version || s == Setting::LogFlag;
}

std::string ShownValue(const std::string& text, std::size_t max) {
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < max; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (text.size() > max) out += "...";
    return out;
}

void SettingsReader::Problem(bool error, const std::string& where, const std::string& what) {
    m_read.issues.push_back(SettingsIssue{error, where + ": " + what});
}

void SettingsReader::Value(const std::string& where, const std::string& name, const std::string& raw) {
    GatewaySettings& v = m_read.values;
    const Setting setting = SettingNamed(name);
    const std::string text = Trimmed(raw);
    const std::string shown = "\"" + ShownValue(text) + "\"";
    auto bad = [&](const std::string& what, const std::string& instead) {
        Problem(true, where, Quoted(name.c_str()) + " " + what + " (" + shown + "); " + instead);
    };
    if (setting == Setting::Unknown) {
        const Setting like = SettingLike(name);
        if (like == Setting::Unknown) {
            Problem(false, where, "unknown name \"" + ShownValue(name) + "\" (not used)");
            return;
        }
        // Written by hand, a name may differ from the known one by case, a no-break space or a
        // byte order mark: that must not pass as an unknown name, nor let every server through.
        if (like == Setting::AllowedServers) v.allowNone = true;
        Problem(true, where, "unknown name \"" + ShownValue(name) + "\" (did you mean " +
                                 Quoted(NameOf(like)) + "?); " +
                                 (like == Setting::AllowedServers ? "no server is allowed" : "not used"));
        return;
    }
    if (setting != Setting::AllowedServers && HasControl(text)) {
        Unreadable(where, name, "has a control byte");  // counts as given, too
        return;
    }
    if (Repeated(where, setting)) return;
    switch (setting) {
    case Setting::Port:
        if (text.size() > kMaxPortText) return bad("is too long", "the first port is used");
        v.port = text;
        m_read.stored |= 2;
        m_portOrRateAt = where;
        return;
    case Setting::Rate: {
        bool digits = text.size() <= kMaxRateText;
        for (char c : text) digits = digits && c >= '0' && c <= '9';
        if (!digits || (!text.empty() && RateNumber(text.c_str()) == 0))
            return bad("is not a line speed", std::string("the speed ") + kDefaultRateText + " is used");
        v.rate = text;
        m_read.stored |= 2;
        m_portOrRateAt = where;
        return;
    }
    case Setting::Version:
        if (text.size() > kMaxVersionText) bad("is too long", "not used");
        return;  // written for the record, never used
    case Setting::LogFlag:
        m_hasLogFlag = true;
        v.log = text == "1" ? 1 : 0;
        if (!text.empty() && text != "1" && text != "0") return bad("is not 1 or 0", "the log is off");
        return;
    case Setting::LogFolder:
        if (text.size() > kMaxFolderText) return bad("is too long", "the default folder is used");
        v.logFolder = text;
        return;
    case Setting::LogDays:
        if (!ReadCount(text, &v.logDays)) {
            v.logDays = kDefaultLogDays;
            return bad("is not a number of days", "the default 365 is used");
        }
        return;
    case Setting::LogLimit:
        if (!ReadCount(text, &v.logLimitMb)) {
            v.logLimitMb = kDefaultLogLimitMb;
            return bad("is not a number of MB", "the default 256 is used");
        }
        return;
    case Setting::AllowedServers: {
        AllowList list;
        char item[64] = {};
        if (text.size() > kMaxAllowedText || HasControl(text) ||
            !list.Parse(text.c_str(), item, sizeof item)) {
            const std::string what = text.size() > kMaxAllowedText || HasControl(text)
                                         ? "cannot be read"
                                         : "has a malformed item \"" + ShownValue(item) + "\"";
            Problem(true, where, Quoted(kAllowedSetting) + " " + what + "; no server is allowed");
            // A malformed list stays as given: it refuses every server and names itself.
            if (text.size() > kMaxAllowedText || HasControl(text)) v.allowNone = true;
            else v.allowedServers = text;
            return;
        }
        v.allowedServers = text;
        return;
    }
    case Setting::Unknown:
        return;
    }
}

bool SettingsReader::Repeated(const std::string& where, Setting setting) {
    const int i = static_cast<int>(setting);
    if (m_firstAt[i].empty()) {
        m_firstAt[i] = where;
        return false;
    }
    m_repeated[i] = true;
    Problem(true, where,
            Quoted(NameOf(setting)) + " is given again (first at " + m_firstAt[i] + "); " +
                (setting == Setting::AllowedServers ? "no server is allowed" : "its default is used"));
    return true;
}

void SettingsReader::Unreadable(const std::string& where, const std::string& name, const std::string& why) {
    Setting setting = SettingNamed(name);
    // A look-alike of the program's own names is not the program's line: its save writes the
    // real one, which must then count (and not read as given twice).
    if (setting == Setting::Unknown && !ProgramOwns(SettingLike(name))) setting = SettingLike(name);
    if (setting != Setting::Unknown && Repeated(where, setting)) {
        if (setting == Setting::AllowedServers) m_read.values.allowNone = true;
        return;
    }
    std::string instead = "its default is used";
    if (setting == Setting::AllowedServers) {
        m_read.values.allowNone = true;
        instead = "no server is allowed";
    } else if (setting == Setting::LogFlag) {
        m_hasLogFlag = true;
        m_read.values.log = 0;
        instead = "the log is off";
    } else if (setting == Setting::Unknown) {
        instead = "not used";
    }
    // A look-alike name is shown as the name it looks like: its own bytes may not be text.
    const std::string shown = setting == Setting::Unknown || SettingNamed(name) == setting
                                  ? "\"" + ShownValue(name) + "\""
                                  : "a name like " + Quoted(NameOf(setting));
    Problem(true, where, shown + " " + why + "; " + instead);
}

void SettingsReader::StoreUnreadable(const std::string& where, const std::string& why) {
    m_read.values = GatewaySettings{};
    m_read.values.allowNone = true;
    m_read.stored = 0;
    m_hasLogFlag = false;
    Problem(true, where, why + "; the defaults are used and no server is allowed");
}

SettingsRead SettingsReader::Finish() const {
    SettingsRead r = m_read;
    // A name given twice: neither place counts.
    const GatewaySettings defaults;
    for (int i = 0; i < static_cast<int>(Setting::Unknown); ++i) {
        if (!m_repeated[i]) continue;
        switch (static_cast<Setting>(i)) {
        case Setting::Port: r.values.port.clear(); break;
        case Setting::Rate: r.values.rate.clear(); break;
        case Setting::LogFlag: r.values.log = 0; break;
        case Setting::LogFolder: r.values.logFolder.clear(); break;
        case Setting::LogDays: r.values.logDays = defaults.logDays; break;
        case Setting::LogLimit: r.values.logLimitMb = defaults.logLimitMb; break;
        case Setting::AllowedServers: r.values.allowNone = true; break;
        default: break;
        }
    }
    const bool given = (r.stored & 2) != 0;
    r.stored = m_logFlagDecides ? (m_hasLogFlag ? 1 : 0) : (given || m_hasLogFlag ? 1 : 0);
    if (!r.stored) {
        if (given)
            r.issues.push_back(SettingsIssue{
                false, m_portOrRateAt + ": \"COM Port\" and \"COM Rate\" count only beside a \"Log Flag\"; "
                       "the first port and the speed " + std::string(kDefaultRateText) + " are used"});
        r.values.port.clear();
        r.values.rate.clear();
        r.values.log = 0;
    }
    return r;
}

std::string DescribeSettings(const SettingsRead& read) {
    const GatewaySettings& v = read.values;
    std::string out;
    auto line = [&](const char* name, const std::string& value) {
        out.append(name).append("=").append(ShownValue(value, 4096)).append("\n");
    };
    line(kPortSetting, !v.port.empty() ? v.port : std::string("(the first port)"));
    line(kRateSetting, !v.rate.empty() ? v.rate : std::string(kDefaultRateText));
    line(kLogFlagSetting, v.log ? "1" : "0");
    line(kLogFolderSetting, v.logFolder.empty() ? std::string("(the default folder)") : v.logFolder);
    line(kLogDaysSetting, std::to_string(v.logDays));
    line(kLogLimitSetting, std::to_string(v.logLimitMb));
    line(kAllowedSetting, v.allowNone ? std::string("(no server: the setting is damaged)")
                          : v.allowedServers.empty() ? std::string("(every server)")
                                                     : v.allowedServers);
    return out;
}
