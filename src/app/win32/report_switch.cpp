#include "app/win32/report_switch.h"

#include "app/win32/settings_store.h"
#include "app/win32/startup_env.h"
#include "app/win32/wide_text.h"
#include "report/day_log.h"
#include "report/render.h"
#include "sys/sys.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

bool IsSwitch(const wchar_t* arg, const wchar_t* name) {
    if (arg[0] != L'/' && arg[0] != L'-') return false;
    const wchar_t* at = arg + 1;
    if (*at == L'-') ++at;
    return lstrcmpiW(at, name) == 0;
}

void Tell(bool quiet, const std::wstring& text, UINT icon) {
    if (!quiet) MessageBoxW(nullptr, text.c_str(), L"Brisca", MB_OK | icon);
}

// The folder the program logs to: "Log Folder" of the settings, else its own default.
std::wstring LogFolderOfSettings() {
    const SettingsRead read = CSettingsStore().Load();
    return read.values.logFolder.empty() ? DefaultLogFolder() : Widen(read.values.logFolder.c_str());
}

bool WriteWhole(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    return CloseHandle(h) && ok;
}

}  // namespace

int RunReportSwitch() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return -1;
    std::vector<std::wstring> args(argv, argv + argc);
    LocalFree(argv);
    if (args.size() < 2 || !IsSwitch(args[1].c_str(), L"report")) return -1;

    bool quiet = false;
    std::string dayText;
    bool dayGiven = false;  // an empty DAY ("") is no day, not today
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (IsSwitch(args[i].c_str(), L"quiet")) {
            quiet = true;
        } else if (!dayGiven && args[i][0] != L'/' && args[i][0] != L'-') {
            dayText = Narrow(args[i]);
            dayGiven = true;
        } else {
            Tell(quiet, L"brisca.exe /report [DAY] [/quiet]\n\nDAY: 20261207 / 2026-12-07", MB_ICONWARNING);
            return 64;
        }
    }
    int year, month, day;
    if (!dayGiven) {
        const sys::LocalTime now = sys::Now();
        year = now.year;
        month = now.month;
        day = now.day;
    } else if (!report::ParseDay(dayText, &year, &month, &day)) {
        Tell(quiet, L"날짜는 20261207 또는 2026-12-07 처럼 (DAY as 20261207 or 2026-12-07): " + Widen(dayText.c_str()),
             MB_ICONWARNING);
        return 64;
    }

    const std::wstring folder = LogFolderOfSettings();
    const std::string name = report::DayFileName(year, month, day);
    const std::wstring logPath = folder + L"\\" + Widen(name.c_str());
    report::DayReader reader(year, month, day);
    bool readError = false;
    if (!report::ReadDayFile(Narrow(logPath), reader, &readError)) {
        const bool missing = GetFileAttributesW(logPath.c_str()) == INVALID_FILE_ATTRIBUTES;
        Tell(quiet, std::wstring(missing ? L"그날의 로그가 없습니다 (no log for that day):\n"
                                         : L"로그를 읽을 수 없습니다 (cannot read the log):\n") + logPath,
             MB_ICONWARNING);
        return 1;
    }

    const std::string page = report::HtmlPage(reader.Report(), Narrow(logPath));
    const std::wstring pageName = Widen(name.substr(0, name.size() - 4).c_str()) + L".html";
    std::wstring pagePath = folder + L"\\" + pageName;
    if (!WriteWhole(pagePath, page)) {
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD n = GetTempPathW(MAX_PATH, temp);
        pagePath = std::wstring(temp, n > 0 && n <= MAX_PATH ? n : 0) + pageName;
        if (n == 0 || n > MAX_PATH || !WriteWhole(pagePath, page)) {
            Tell(quiet, L"보고서를 쓸 수 없습니다 (cannot write the page):\n" + pagePath, MB_ICONERROR);
            return 2;
        }
    }
    if (!quiet) {
        const HINSTANCE opened = ShellExecuteW(nullptr, L"open", pagePath.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        if (reinterpret_cast<INT_PTR>(opened) <= 32)
            Tell(false, L"보고서 (report):\n" + pagePath, MB_ICONINFORMATION);
    }
    return 0;
}
