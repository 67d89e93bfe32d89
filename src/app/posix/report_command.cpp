#include "app/posix/report_command.h"

#include "app/posix/settings.h"
#include "app/posix/system_mode.h"
#include "report/day_log.h"
#include "report/render.h"
#include "sys/sys.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

const char kUsage[] =
    "Usage: brisca report [DAY] [--folder DIR] [--html FILE] [--from HH:MM] [--to HH:MM]\n"
    "                    [--config FILE | --system INSTANCE]\n"
    "\n"
    "A day of the log at a glance: connections per route and server, how they ended, server\n"
    "answer times, the busiest hour, the day's events, failures per hour, the first and the last\n"
    "failures. Counts are connections to the servers, not approvals.\n"
    "\n"
    "  DAY              20261207 or 2026-12-07 (default: today)\n"
    "  --folder DIR     the log folder (default: the one the program logs to: \"Log Folder\"\n"
    "                   of the settings, else gate_log under the working directory)\n"
    "  --html FILE      write one self-contained page with charts to FILE instead (never over\n"
    "                   the log or any file but an earlier page of this report)\n"
    "  --from HH:MM     list only the failures from this time on (counts stay the whole day's)\n"
    "  --to HH:MM       list only the failures up to this time (HH:MM:59 included)\n"
    "  --config FILE    the settings file whose \"Log Folder\" counts\n"
    "  --system INSTANCE  the service brisca@INSTANCE's folder (/var/log/brisca/INSTANCE)\n";

struct ReportOptions {
    std::string day, folder, html, config, instance, from, to;
    bool system = false;
    bool dayGiven = false;
};

bool Take(int argc, const char* const* argv, int* i, const char* name, std::string* out, bool* matched,
          std::string* error) {
    const std::size_t len = std::strlen(name);
    const char* arg = argv[*i];
    *matched = false;
    if (std::strncmp(arg, name, len) != 0 || (arg[len] != '\0' && arg[len] != '=')) return true;
    *matched = true;
    if (arg[len] == '=') {
        *out = arg + len + 1;
    } else if (*i + 1 < argc) {
        *out = argv[++*i];
    } else {
        *error = std::string(name) + " 값이 없습니다 (needs a value)";
        return false;
    }
    if (out->empty()) {
        *error = std::string(name) + " 값이 없습니다 (needs a value)";
        return false;
    }
    return true;
}

// The folder the program itself would log to with these options.
std::string DefaultFolder(const ReportOptions& o) {
    if (o.system) {
        const SystemPaths paths = SystemModePaths(o.instance, std::getenv("CONFIGURATION_DIRECTORY"),
                                                  std::getenv("LOGS_DIRECTORY"), nullptr);
        const SettingsRead read = LoadSettingsFile(paths.settingsFile, true);
        return read.values.logFolder.empty() ? paths.logFolder : read.values.logFolder;
    }
    const std::string path = o.config.empty() ? DefaultSettingsPath() : o.config;
    // The administrator's folder counts whether or not the file stores a port yet.
    if (!path.empty()) {
        const SettingsRead read = LoadSettingsFile(path, false);
        if (!read.values.logFolder.empty()) return read.values.logFolder;
    }
    return "gate_log";
}

// Why the page may not be written at path (empty when it may): never over the log being read,
// over a log of any day, or over any other file than an earlier page of this report.
std::string RefusedPage(const std::string& path, const struct stat& log) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) {
        if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".log") == 0)
            return "보고서를 .log 파일로 쓰지 않습니다 (the page is not written to a .log file)";
        return std::string();  // a new file
    }
    if (st.st_dev == log.st_dev && st.st_ino == log.st_ino)
        return "읽고 있는 로그 위에 보고서를 쓰지 않습니다 (the page is not written over the log it reads)";
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".log") == 0)
        return "로그 파일 위에 보고서를 쓰지 않습니다 (the page is not written over a log file)";
    if (!S_ISREG(st.st_mode)) return "파일이 아닙니다 (not a file)";
    // An earlier page starts as every page of this report does.
    std::FILE* f = std::fopen(path.c_str(), "rb");
    char head[1024] = {};
    const std::size_t got = f ? std::fread(head, 1, sizeof head - 1, f) : 0;
    if (f) std::fclose(f);
    if (std::strstr(std::string(head, got).c_str(), report::kPageMark) == nullptr)
        return "보고서가 아닌 파일 위에 쓰지 않습니다 (the page is not written over a file that is not an "
               "earlier report page)";
    return std::string();
}

}  // namespace

int RunReport(int argc, const char* const* argv) {
    ReportOptions o;
    std::string error;
    for (int i = 1; i < argc; ++i) {
        bool matched = false;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!Take(argc, argv, &i, "--folder", &o.folder, &matched, &error)) break;
        if (matched) continue;
        if (!Take(argc, argv, &i, "--html", &o.html, &matched, &error)) break;
        if (matched) continue;
        if (!Take(argc, argv, &i, "--from", &o.from, &matched, &error)) break;
        if (matched) continue;
        if (!Take(argc, argv, &i, "--to", &o.to, &matched, &error)) break;
        if (matched) continue;
        if (!Take(argc, argv, &i, "--config", &o.config, &matched, &error)) break;
        if (matched) continue;
        if (!Take(argc, argv, &i, "--system", &o.instance, &matched, &error)) break;
        if (matched) {
            o.system = true;
            continue;
        }
        if (argv[i][0] == '-' || o.dayGiven) {
            error = std::string("알 수 없는 인수 (unknown argument): ") + argv[i];
            break;
        }
        o.day = argv[i];
        o.dayGiven = true;
    }
    if (error.empty() && o.system && !o.config.empty())
        error = "--config 와 --system 은 함께 쓸 수 없습니다 (--config and --system exclude each other)";
    int year = 0, month = 0, day = 0;
    if (error.empty()) {
        if (!o.dayGiven) {
            const sys::LocalTime now = sys::Now();
            year = now.year;
            month = now.month;
            day = now.day;
        } else if (!report::ParseDay(o.day, &year, &month, &day)) {
            error = "날짜는 20261207 또는 2026-12-07 형식이어야 합니다 (DAY must be a date as 20261207 or "
                    "2026-12-07): \"" + o.day + "\"";
        }
    }
    int from = 0, to = 86399;
    if (error.empty() && !o.from.empty() && !report::ParseClock(o.from, &from))
        error = "--from 시각은 HH:MM 형식이어야 합니다 (--from must be a time as 14:00): " + o.from;
    if (error.empty() && !o.to.empty()) {
        if (!report::ParseClock(o.to, &to))
            error = "--to 시각은 HH:MM 형식이어야 합니다 (--to must be a time as 14:30): " + o.to;
        else if (o.to.size() == 5)
            to += 59;  // the whole minute
    }
    if (error.empty() && from > to) error = "--from 이 --to 보다 늦습니다 (--from is later than --to)";
    if (!error.empty()) {
        std::fprintf(stderr, "brisca report: %s\n\n%s", error.c_str(), kUsage);
        return 64;
    }

    const std::string folder = o.folder.empty() ? DefaultFolder(o) : o.folder;
    const std::string path = folder + "/" + report::DayFileName(year, month, day);
    struct stat st{};
    if (stat(folder.c_str(), &st) != 0) {
        std::fprintf(stderr, "로그 폴더가 없습니다 (no such log folder): %s\n", folder.c_str());
        return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "로그 폴더가 폴더가 아닙니다 (the log folder is not a folder): %s\n", folder.c_str());
        return 1;
    }
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "그날의 로그가 없습니다 (no log for %04d-%02d-%02d): %s\n", year, month, day,
                     path.c_str());
        return 1;
    }
    if (!o.html.empty()) {
        const std::string why = RefusedPage(o.html, st);
        if (!why.empty()) {
            std::fprintf(stderr, "%s: %s\n", why.c_str(), o.html.c_str());
            return 2;
        }
    }
    report::DayReader reader(year, month, day);
    if (!o.from.empty() || !o.to.empty()) reader.SetFailureWindow(from, to);
    bool readError = false;
    if (!report::ReadDayFile(path, reader, &readError)) {
        std::fprintf(stderr, "로그를 읽을 수 없습니다 (cannot read the log): %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (readError)
        std::fprintf(stderr, "로그를 끝까지 읽지 못했습니다 (the log could not be read to its end): %s\n",
                     path.c_str());
    const report::DayReport& result = reader.Report();

    if (o.html.empty()) {
        std::fputs(report::TextSummary(result, path).c_str(), stdout);
        return 0;
    }
    const std::string page = report::HtmlPage(result, path);
    std::FILE* out = std::fopen(o.html.c_str(), "wb");
    const bool written = out && std::fwrite(page.data(), 1, page.size(), out) == page.size();
    if (out && std::fclose(out) != 0) out = nullptr;
    if (!written || !out) {
        std::fprintf(stderr, "보고서를 쓸 수 없습니다 (cannot write the page): %s\n", o.html.c_str());
        return 2;
    }
    std::printf("보고서 (report): %s\n", o.html.c_str());
    return 0;
}
