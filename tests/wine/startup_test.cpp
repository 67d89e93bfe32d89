// What the program finds on the PC at start: the port list from a serial device map (a test key
// stands in for the system's) and the default log folder.
#include "app/win32/com_ports.h"
#include "app/win32/startup_env.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

namespace {

const wchar_t kTestMap[] = L"Software\\BriscaTest\\SERIALCOMM";

void MapPort(const wchar_t* device, const wchar_t* port) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kTestMap, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, device, 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                   static_cast<DWORD>((wcslen(port) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

TEST(PortList, PresentPortsFirstMarkedInNaturalOrderThenTheFixedOnes) {
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\BriscaTest");
    // No map at all: the fixed list as before.
    std::vector<std::wstring> fixed;
    for (int n = 1; n <= 15; ++n) fixed.push_back(L"COM" + std::to_wstring(n));
    EXPECT_EQ(PortListEntries(HKEY_CURRENT_USER, kTestMap), fixed);

    MapPort(L"\\Device\\Serial0", L"COM10");
    MapPort(L"\\Device\\VCP0", L"COM3");
    MapPort(L"\\Device\\VCP1", L"com3");  // the same port under a second device name
    MapPort(L"\\Device\\Serial1", L"COM2");
    MapPort(L"\\Device\\ProlificSerial0", L"COM21");
    const std::vector<std::wstring> expected = {
        L"COM2 *", L"COM3 *", L"COM10 *", L"COM21 *", L"COM1", L"COM4", L"COM5", L"COM6", L"COM7",
        L"COM8", L"COM9", L"COM11", L"COM12", L"COM13", L"COM14", L"COM15"};
    EXPECT_EQ(PortListEntries(HKEY_CURRENT_USER, kTestMap), expected);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\BriscaTest");

    // The marker is never part of the name that is stored and opened.
    EXPECT_EQ(PortNameFromEntry(L"COM3 *"), L"COM3");
    EXPECT_EQ(PortNameFromEntry(L" COM10   * "), L"COM10");
    EXPECT_EQ(PortNameFromEntry(L"COM4"), L"COM4");
    EXPECT_EQ(PortNameFromEntry(L"\\\\.\\COM21"), L"\\\\.\\COM21");
    EXPECT_EQ(PortNameFromEntry(L" *"), L"*");  // a star alone is a name, not a marker
}

TEST(LogFolder, BesideTheProgramWhenWritableElseUnderTheUsersLocalData) {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring folder = std::wstring(temp) + L"brisca log test " + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_EQ(DefaultLogFolder(folder), folder + L"\\gate_log");
    // The write test leaves nothing behind.
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*.tmp").c_str(), &found);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE);
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    RemoveDirectoryW(folder.c_str());

    // A program folder that cannot be written (here: one that is not there).
    PWSTR local = nullptr;
    ASSERT_TRUE(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local)));
    const std::wstring parent = std::wstring(local) + L"\\Brisca";
    CoTaskMemFree(local);
    RemoveDirectoryW(parent.c_str());
    EXPECT_EQ(DefaultLogFolder(folder), parent + L"\\gate_log");
    const DWORD attr = GetFileAttributesW(parent.c_str());
    EXPECT_TRUE(attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) << "made for the log writer";
}

}  // namespace
