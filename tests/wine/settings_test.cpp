// Settings of the main window against Wine's registry: none stored, loading, saving exactly the
// values' characters, the per-user fallback when the machine-wide key cannot be written, the more
// recently written key first, the installer's values, autostart.
#include "app/win32/main_dlg.h"
#include "app/win32/relay_app.h"
#include "app/win32/resource.h"
#include "app/win32/wide_text.h"
#include "ui_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>

namespace {

// The main window without the gateway (no tray icon, no serial port, no autostart entry).
class SettingsOnlyDlg : public CMainDlg {
public:
    explicit SettingsOnlyDlg(HKEY machine = HKEY_LOCAL_MACHINE) : CMainDlg(nullptr, L"1, 0, 0, 5") {
        Settings().SetRoots(machine, HKEY_CURRENT_USER);
    }

protected:
    void StartGateway() override {}
};

void Seed(HKEY root, const wchar_t* port, const wchar_t* rate, const wchar_t* flag) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(root, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    auto put = [&](const wchar_t* name, const wchar_t* text) {
        if (text)
            RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           static_cast<DWORD>(wcslen(text) * sizeof(wchar_t)));
    };
    put(L"COM Port", port);
    put(L"COM Rate", rate);
    put(L"Log Flag", flag);
    RegCloseKey(key);
}

// The characters of a value as written (terminator not counted), or "<missing>".
std::wstring Raw(HKEY root, const wchar_t* name, DWORD* bytes = nullptr) {
    HKEY key;
    if (RegOpenKeyExW(root, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return L"<missing>";
    wchar_t buffer[256] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t), type = 0;
    LSTATUS r = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS || type != REG_SZ) return L"<missing>";
    std::wstring text(buffer, size / sizeof(wchar_t));
    // Wine adds a terminator to REG_SZ data written without one; Windows keeps the bytes as given.
    if (!text.empty() && text.back() == L'\0') {
        text.pop_back();
        size -= sizeof(wchar_t);
    }
    if (bytes) *bytes = size;
    return text;
}

int SelectedIndex(HWND dlg, int id) { return static_cast<int>(SendDlgItemMessageW(dlg, id, CB_GETCURSEL, 0, 0)); }

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    }
};

TEST_F(SettingsTest, NothingStoredGivesCom1FirstSpeedAndNoLogging) {
    SettingsOnlyDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    HWND h = dlg.GetSafeHwnd();
    EXPECT_EQ(dlg.LoadSettings(), 0);
    EXPECT_EQ(dlg.PortText(), L"COM1");
    EXPECT_EQ(SelectedIndex(h, IDC_COMBO_PORT), 0);
    EXPECT_EQ(SelectedIndex(h, IDC_COMBO_RATE), 0);
    EXPECT_EQ(dlg.RateText(), L"57600");  // what the list shows is what the port is opened with
    EXPECT_EQ(IsDlgButtonChecked(h, IDC_CHECK_LOG), BST_UNCHECKED);
    EXPECT_EQ(dlg.LogFlag(), 0);
    EXPECT_EQ(dlg.Title(), L"(주)Tevo네트웍스 Brisca ver.1, 0, 0, 5");
    EXPECT_EQ(WindowText(h), dlg.Title());
    EXPECT_EQ(SendDlgItemMessageW(h, IDC_COMBO_PORT, CB_GETCOUNT, 0, 0), 15);
    EXPECT_EQ(SendDlgItemMessageW(h, IDC_COMBO_RATE, CB_GETCOUNT, 0, 0), 4);
}

TEST_F(SettingsTest, StoredSettingsAreLoadedIntoTheControls) {
    Seed(HKEY_LOCAL_MACHINE, L"COM3", L"38400", L"1");
    SettingsOnlyDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    HWND h = dlg.GetSafeHwnd();
    EXPECT_EQ(dlg.PortText(), L"COM3");
    EXPECT_EQ(dlg.RateText(), L"38400");
    EXPECT_EQ(SelectedIndex(h, IDC_COMBO_PORT), 2);
    EXPECT_EQ(SelectedIndex(h, IDC_COMBO_RATE), 1);
    EXPECT_EQ(IsDlgButtonChecked(h, IDC_CHECK_LOG), BST_CHECKED);
    EXPECT_EQ(dlg.LogFlag(), 1);
    EXPECT_EQ(dlg.DebugDlg()->Log(), 1);
}

TEST_F(SettingsTest, PortOutsideTheListStaysInTheFieldAndTooLongSpeedGivesTheDefault) {
    Seed(HKEY_LOCAL_MACHINE, L"\\\\.\\COM21", L"1152000000000", L"0");
    SettingsOnlyDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    HWND h = dlg.GetSafeHwnd();
    EXPECT_EQ(dlg.PortText(), L"\\\\.\\COM21");
    EXPECT_EQ(SelectedIndex(h, IDC_COMBO_PORT), CB_ERR);
    EXPECT_EQ(WindowText(GetDlgItem(h, IDC_COMBO_PORT)), L"\\\\.\\COM21");
    EXPECT_EQ(dlg.RateText(), L"57600");  // more than 9 characters is no speed: the default
    EXPECT_EQ(dlg.LogFlag(), 0);
}

TEST_F(SettingsTest, MissingLogFlagMeansNoSettings) {
    Seed(HKEY_LOCAL_MACHINE, L"COM5", L"9600", nullptr);
    SettingsOnlyDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    EXPECT_EQ(dlg.LoadSettings(), 0);
    EXPECT_EQ(dlg.PortText(), L"COM1");
}

TEST_F(SettingsTest, SaveWritesAllFourValuesWithoutTerminators) {
    SettingsOnlyDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    HWND h = dlg.GetSafeHwnd();
    CheckDlgButton(h, IDC_CHECK_LOG, BST_CHECKED);
    EXPECT_EQ(dlg.SaveSettings(L"COM7", L"19200"), 1);
    EXPECT_EQ(dlg.LogFlag(), 1);
    EXPECT_EQ(dlg.DebugDlg()->Log(), 1);
    DWORD bytes = 0;
    EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, L"COM Port", &bytes), L"COM7");
    EXPECT_EQ(bytes, 4 * sizeof(wchar_t));
    EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, L"COM Rate", &bytes), L"19200");
    EXPECT_EQ(bytes, 5 * sizeof(wchar_t));
    EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, L"Version"), L"1, 0, 0, 5");
    EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, L"Log Flag", &bytes), L"1");
    EXPECT_EQ(bytes, sizeof(wchar_t));
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, L"COM Port"), L"<missing>");

    CheckDlgButton(h, IDC_CHECK_LOG, BST_UNCHECKED);
    EXPECT_EQ(dlg.SaveSettings(L"COM7", L"19200"), 1);
    EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, L"Log Flag"), L"0");
    EXPECT_EQ(dlg.LogFlag(), 0);

    // What was saved is what the next start loads.
    SettingsOnlyDlg next;
    ASSERT_TRUE(next.Create(nullptr));
    EXPECT_EQ(next.PortText(), L"COM7");
    EXPECT_EQ(next.RateText(), L"19200");
}

TEST_F(SettingsTest, MachineKeyRefusingWritesSendsTheSettingsToTheUsersKey) {
    // A read-only handle stands in for the machine-wide root of a user without rights there.
    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    HKEY probe = nullptr;
    LSTATUS canCreate = RegCreateKeyExW(readOnly, L"BriscaProbe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &probe, nullptr);
    if (canCreate == ERROR_SUCCESS) {
        // This registry does not enforce handle rights: an invalid root refuses instead.
        RegCloseKey(probe);
        RegDeleteKeyW(readOnly, L"BriscaProbe");
        RegCloseKey(readOnly);
        readOnly = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7ff0));
    }
    std::printf("machine-wide root in this test: %s\n",
                canCreate == ERROR_SUCCESS ? "an invalid handle" : "a read-only handle");
    {
        SettingsOnlyDlg dlg(readOnly);
        ASSERT_TRUE(dlg.Create(nullptr));
        CheckDlgButton(dlg.GetSafeHwnd(), IDC_CHECK_LOG, BST_CHECKED);
        EXPECT_EQ(dlg.SaveSettings(L"COM4", L"38400"), 1);
    }
    EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, L"COM Port"), L"<missing>");
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, L"COM Port"), L"COM4");
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, L"COM Rate"), L"38400");
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, L"Version"), L"1, 0, 0, 5");
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, L"Log Flag"), L"1");

    // Loading finds them there when the machine-wide key has none.
    SettingsOnlyDlg next;
    ASSERT_TRUE(next.Create(nullptr));
    EXPECT_EQ(next.PortText(), L"COM4");
    EXPECT_EQ(next.LogFlag(), 1);
    if (canCreate != ERROR_SUCCESS) RegCloseKey(readOnly);
}

ULONGLONG LastWritten(HKEY root) {
    HKEY key;
    FILETIME t{};
    if (RegOpenKeyExW(root, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &t);
    RegCloseKey(key);
    return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// Seeds root so that its key was written after other's: two writes in a row may share one time
// stamp, so the write is repeated until the registry's clock has moved on (bounded).
void SeedAfter(HKEY root, HKEY other, const wchar_t* port, const wchar_t* rate, const wchar_t* flag) {
    const ULONGLONG end = GetTickCount64() + 2000;
    do Seed(root, port, rate, flag);
    while (LastWritten(root) <= LastWritten(other) && GetTickCount64() < end);
    ASSERT_GT(LastWritten(root), LastWritten(other));
}

void Put(HKEY root, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(root, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
}
void PutText(HKEY root, const wchar_t* name, const wchar_t* text, DWORD type = REG_SZ) {
    Put(root, name, type, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}
bool Has(HKEY root, const wchar_t* name) {
    HKEY key;
    if (RegOpenKeyExW(root, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    const bool has = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return has;
}

TEST_F(SettingsTest, TheMoreRecentlyWrittenKeyIsLoaded) {
    Seed(HKEY_LOCAL_MACHINE, L"COM2", L"9600", L"0");
    // The per-user copy the program wrote when the machine-wide key refused it is not shadowed.
    SeedAfter(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, L"COM9", L"19200", L"1");
    SettingsOnlyDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    EXPECT_EQ(dlg.PortText(), L"COM9");
    EXPECT_EQ(dlg.LogFlag(), 1);

    // The machine-wide key written afterwards (an installer, an administrator) wins again. (Wine
    // leaves a key's time alone when a value is rewritten unchanged: the port changes.)
    SeedAfter(HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, L"COM6", L"9600", L"0");
    SettingsRead s = CSettingsStore().Load();
    EXPECT_EQ(s.stored, 1);
    EXPECT_EQ(s.values.port, "COM6");
    EXPECT_EQ(s.values.log, 0);

    // The newer key without settings does not hide the older one's.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegDeleteValueW(key, L"Log Flag");
    RegCloseKey(key);
    s = CSettingsStore().Load();
    EXPECT_EQ(s.stored, 1);
    EXPECT_EQ(s.values.port, "COM9");
}

std::string Issues(const SettingsRead& r) {
    std::string out;
    for (const SettingsIssue& i : r.issues) out += (i.error ? "E " : "W ") + i.text + "\n";
    return out;
}

TEST_F(SettingsTest, AdministratorsValuesComeFromTheMachineKeyWhereverItHoldsThem) {
    Seed(HKEY_LOCAL_MACHINE, L"COM3", L"38400", L"1");
    PutText(HKEY_LOCAL_MACHINE, L"Log Folder", L"%SystemDrive%\\Brisca Logs", REG_EXPAND_SZ);
    PutText(HKEY_LOCAL_MACHINE, L"Log Days", L" 30 ");
    PutText(HKEY_LOCAL_MACHINE, L"Allowed Servers", L"127.0.0.1,10.1.0.0/16");
    // The program's newer per-user copy, and a user's own values beside it: the port is the
    // user's, the list and the days stay the administrator's; only the limit, which the
    // machine-wide key lacks, may come from the user's key.
    SeedAfter(HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, L"COM4", L"9600", L"0");
    PutText(HKEY_CURRENT_USER, L"Allowed Servers", L"0.0.0.0/0");
    PutText(HKEY_CURRENT_USER, L"Log Days", L"0");
    const DWORD noLimit = 0;
    Put(HKEY_CURRENT_USER, L"Log Limit", REG_DWORD, &noLimit, sizeof noLimit);
    SettingsRead s = CSettingsStore().Load();
    ASSERT_EQ(s.stored, 1);
    EXPECT_EQ(s.values.port, "COM4");
    wchar_t drive[8] = {};
    GetEnvironmentVariableW(L"SystemDrive", drive, 8);
    EXPECT_EQ(s.values.logFolder, Narrow(std::wstring(drive) + L"\\Brisca Logs"));
    EXPECT_EQ(s.values.logDays, 30);
    EXPECT_EQ(s.values.logLimitMb, 0);
    EXPECT_EQ(s.values.allowedServers, "127.0.0.1,10.1.0.0/16");
    EXPECT_FALSE(s.values.allowNone);
    EXPECT_EQ(Issues(s), "");
}

// What an administrator may get wrong in the registry: each is a problem named with its key,
// and "Allowed Servers" of another type allows no server instead of every one.
TEST_F(SettingsTest, WrongTypesBadValuesAndMisspeltNamesAreProblemsAndTheListHolds) {
    Seed(HKEY_LOCAL_MACHINE, L"COM3", L"38400", L"1");
    const wchar_t multi[] = L"10.0.0.0/8\0\0";
    Put(HKEY_LOCAL_MACHINE, L"Allowed Servers", REG_MULTI_SZ, multi, sizeof multi);
    PutText(HKEY_LOCAL_MACHINE, L"Allowed Server", L"10.0.0.0/8");
    PutText(HKEY_LOCAL_MACHINE, L"Log Days", L"30 days");
    PutText(HKEY_CURRENT_USER, L"Allowed Servers", L"127.0.0.1");  // no stand-in for the damaged one
    const std::string key = "HKLM\\" + Narrow(kSettingsKey) + "\\";
    SettingsRead s = CSettingsStore().Load();
    EXPECT_TRUE(s.values.allowNone);
    EXPECT_EQ(s.values.logDays, 365);
    EXPECT_EQ(s.values.port, "COM3");
    EXPECT_EQ(Issues(s),
              "E " + key + "Log Days: \"Log Days\" is not a number of days (\"30 days\"); the default 365 is used\n"
              "E " + key + "Allowed Servers: \"Allowed Servers\" is of type REG_MULTI_SZ, not REG_SZ; no server is allowed\n"
              "W " + key + "Allowed Server: unknown name \"Allowed Server\" (not used)\n");

    // Saving writes only the program's own four values: the administrator's stay as they are.
    StoredSettings own{L"COM4", L"9600", 1};
    EXPECT_EQ(CSettingsStore().Save(own, L"1, 0, 0, 5"), 1);
    EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, L"COM Port"), L"COM4");
    EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, L"Log Days"), L"30 days");
    EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, L"Allowed Server"), L"10.0.0.0/8");
    HKEY k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &k), ERROR_SUCCESS);
    wchar_t back[16] = {};
    DWORD size = sizeof back, type = 0;
    EXPECT_EQ(RegQueryValueExW(k, L"Allowed Servers", nullptr, &type, reinterpret_cast<BYTE*>(back), &size), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(size, sizeof multi);
    EXPECT_EQ(std::wmemcmp(back, multi, sizeof multi / sizeof(wchar_t)), 0);

    // Value names ignore case: "allowed servers" is the list itself. A name with a no-break
    // space is another value, standing for the list: an error, and no server.
    Clear();
    PutText(HKEY_LOCAL_MACHINE, L"allowed servers", L"10.0.0.0/8");
    s = CSettingsStore().Load();
    EXPECT_EQ(Issues(s), "");
    EXPECT_EQ(s.values.allowedServers, "10.0.0.0/8");
    PutText(HKEY_LOCAL_MACHINE, L"Allowed\u00a0Servers", L"");
    s = CSettingsStore().Load();
    EXPECT_TRUE(s.values.allowNone);
    EXPECT_NE(Issues(s).find("(did you mean \"Allowed Servers\"?); no server is allowed"), std::string::npos)
        << Issues(s);
}

TEST_F(SettingsTest, EscapeAndEnterDoNothingAndCloseOnlyHides) {
    SettingsOnlyDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    HWND h = dlg.GetSafeHwnd();
    ShowWindow(h, SW_SHOWNORMAL);
    HWND combo = GetDlgItem(h, IDC_COMBO_PORT);
    for (WPARAM key : {VK_ESCAPE, VK_RETURN}) {
        MSG msg{combo, WM_KEYDOWN, key, 0, 0, {0, 0}};
        EXPECT_TRUE(CDialog::PreTranslate(&msg)) << "key " << key << " must be swallowed";
    }
    MSG other{combo, WM_KEYDOWN, 'A', 0, 0, {0, 0}};
    EXPECT_TRUE(CDialog::PreTranslate(&other));  // the dialog manager takes ordinary keys
    PumpPending();
    EXPECT_TRUE(IsWindowVisible(h));

    SendMessageW(h, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(h));
    EXPECT_TRUE(IsWindow(h));

    // In the debug window Escape is the dialog's cancel: it hides the window.
    HWND debug = dlg.DebugDlg()->GetSafeHwnd();
    ShowWindow(debug, SW_SHOWNORMAL);
    MSG esc{dlg.DebugDlg()->ConsoleWindow(), WM_KEYDOWN, VK_ESCAPE, 0, 0, {0, 0}};
    EXPECT_TRUE(CDialog::PreTranslate(&esc));
    PumpUntil([&] { return !IsWindowVisible(debug); }, 2000);
    EXPECT_FALSE(IsWindowVisible(debug));
    EXPECT_TRUE(IsWindow(debug));
}

TEST_F(SettingsTest, DroppedDownListIsWideEnoughForItsLongestEntry) {
    SettingsOnlyDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    HWND h = dlg.GetSafeHwnd();
    HWND combo = GetDlgItem(h, IDC_COMBO_PORT);
    const wchar_t longest[] = L"\\\\.\\COM15 (USB serial adapter, second port)";
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(longest));
    SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_COMBO_PORT, CBN_DROPDOWN), reinterpret_cast<LPARAM>(combo));

    HDC dc = GetDC(combo);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(combo, WM_GETFONT, 0, 0)));
    SIZE text{}, zero{};
    GetTextExtentPoint32W(dc, longest, static_cast<int>(wcslen(longest)), &text);
    GetTextExtentPoint32W(dc, L"0", 1, &zero);
    SelectObject(dc, old);
    ReleaseDC(combo, dc);
    const LRESULT width = SendMessageW(combo, CB_GETDROPPEDWIDTH, 0, 0);
    EXPECT_EQ(width, text.cx + GetSystemMetrics(SM_CXVSCROLL) + zero.cx);
}

std::wstring RunValue(HKEY root, const wchar_t* name) {
    HKEY key;
    if (RegOpenKeyExW(root, kRunKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return L"<missing>";
    std::wstring text;
    if (!ReadStringValue(key, name, text)) text = L"<missing>";
    RegCloseKey(key);
    return text;
}
void SetRunValue(HKEY root, const wchar_t* name, const wchar_t* command) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(root, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr), ERROR_SUCCESS);
    if (command)
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                       static_cast<DWORD>((wcslen(command) + 1) * sizeof(wchar_t)));
    else
        RegDeleteValueW(key, name);
    RegCloseKey(key);
}

TEST(Autostart, RunValueIsQuotedAndLeftToAMachineWideEntryForTheSameProgram) {
    const wchar_t* path = L"C:\\Program Files\\Brisca\\brisca.exe";
    SetRunValue(HKEY_LOCAL_MACHINE, L"BriscaTest", nullptr);
    ASSERT_EQ(RegisterAutostart(kRunKey, L"BriscaTest", path), 0);
    EXPECT_EQ(RunValue(HKEY_CURRENT_USER, L"BriscaTest"), L"\"C:\\Program Files\\Brisca\\brisca.exe\"");

    // An installer's machine-wide entry for the same program (written differently): the per-user
    // entry goes and does not come back.
    SetRunValue(HKEY_LOCAL_MACHINE, L"BriscaTest", L"\"c:\\program files\\brisca\\BRISCA.EXE\" /tray");
    EXPECT_EQ(RegisterAutostart(kRunKey, L"BriscaTest", path), 0);
    EXPECT_EQ(RunValue(HKEY_CURRENT_USER, L"BriscaTest"), L"<missing>");
    EXPECT_EQ(RegisterAutostart(kRunKey, L"BriscaTest", path), 0);
    EXPECT_EQ(RunValue(HKEY_CURRENT_USER, L"BriscaTest"), L"<missing>");

    // One that names another program (an older copy elsewhere) does not count.
    SetRunValue(HKEY_LOCAL_MACHINE, L"BriscaTest", L"C:\\Program Files\\Brisca\\old\\brisca.exe");
    EXPECT_EQ(RegisterAutostart(kRunKey, L"BriscaTest", path), 0);
    EXPECT_EQ(RunValue(HKEY_CURRENT_USER, L"BriscaTest"), L"\"C:\\Program Files\\Brisca\\brisca.exe\"");

    SetRunValue(HKEY_LOCAL_MACHINE, L"BriscaTest", nullptr);
    SetRunValue(HKEY_CURRENT_USER, L"BriscaTest", nullptr);
}

TEST(SpeedText, NumberAtTheStartOrZero) {
    EXPECT_EQ(ParseRate(L"38400"), 38400u);
    EXPECT_EQ(ParseRate(L""), 0u);
    EXPECT_EQ(ParseRate(L"fast"), 0u);
    EXPECT_EQ(ParseRate(L"9600bps"), 9600u);
    EXPECT_EQ(ParseRate(L"99999999999999999999"), 0xFFFFFFFFu);  // no overflow
}

TEST(ProductVersion, ComesFromTheKoreanUnicodeTable) {
    std::wstring path;
    EXPECT_EQ(GetProductVersion(nullptr, &path), L"1, 0, 0, 5");
    EXPECT_EQ(path, L"\\StringFileInfo\\041204B0\\ProductVersion");
}

}  // namespace
