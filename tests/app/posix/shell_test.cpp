// The headless program's own pieces, below the whole-program tests: the settings reader and
// writer, the command line, the autostart entry's Exec quoting, the instance lock.
#include "app/posix/autostart.h"
#include "app/posix/files.h"
#include "app/posix/options.h"
#include "app/posix/port_list.h"
#include "app/posix/settings.h"
#include "app/posix/single_instance.h"
#include "app/posix/system_mode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

SettingsRead Read(const std::string& text, bool adminFile = false) {
    SettingsReader reader(!adminFile);
    ReadSettingsText("s.ini", text.data(), text.size(), &reader);
    return reader.Finish();
}

std::string Issues(const SettingsRead& r) {
    std::string out;
    for (const SettingsIssue& i : r.issues) out += (i.error ? "E " : "W ") + i.text + "\n";
    return out;
}

TEST(SettingsReader, ReadsTheValuesAsWritten) {
    SettingsRead r = Read("COM Port=COM3\nCOM Rate=38400\nVersion=1, 0, 0, 5\nLog Flag=1\n");
    EXPECT_EQ(r.stored, 1);
    EXPECT_EQ(r.values.port, "COM3");
    EXPECT_EQ(r.values.rate, "38400");
    EXPECT_EQ(r.values.log, 1);
    EXPECT_EQ(Issues(r), "");
    // CR LF, a byte order mark, comments, sections and spaces round '=' are fine.
    r = Read("\xEF\xBB\xBF# mine\r\n[brisca]\r\n COM Port = /dev/ttyUSB0 \r\n; note\r\nLog Flag=0\r\n"
             "Log Folder=/var/log/shop\nLog Days=30\nLog Limit=0\nAllowed Servers=10.1.2.3, 192.168.0.0/16\n");
    EXPECT_EQ(Issues(r), "");
    EXPECT_EQ(r.values.port, "/dev/ttyUSB0");
    EXPECT_EQ(r.values.rate, "");  // the gateway then uses the default speed
    EXPECT_EQ(r.values.log, 0);
    EXPECT_EQ(r.values.logFolder, "/var/log/shop");
    EXPECT_EQ(r.values.logDays, 30);
    EXPECT_EQ(r.values.logLimitMb, 0);
    EXPECT_EQ(r.values.allowedServers, "10.1.2.3, 192.168.0.0/16");
    // On for "1" only; "0" and an empty value are off without a word, anything else is off
    // and named.
    for (const char* v : {"0", ""}) EXPECT_EQ(Issues(Read(std::string("Log Flag=") + v)), "") << v;
    for (const char* v : {"2", "x", "01", "10"}) {
        const SettingsRead f = Read(std::string("Log Flag=") + v);
        EXPECT_EQ(f.values.log, 0) << v;
        EXPECT_EQ(Issues(f), std::string("E s.ini line 1: \"Log Flag\" is not 1 or 0 (\"") + v +
                                 "\"); the log is off\n");
    }
}

// A name given twice, or one that differs from a known name only by case or invisible
// characters, is an error: "Allowed Servers" then allows no server whatever the lines say, and
// another value falls back to its default.
TEST(SettingsReader, RepeatedAndLookAlikeNamesAreErrorsAndFailClosed) {
    SettingsRead r = Read("Allowed Servers=10.0.0.0/8\nLog Days=7\nLog Days=30\nAllowed Servers=\n");
    EXPECT_EQ(Issues(r),
              "E s.ini line 3: \"Log Days\" is given again (first at s.ini line 2); its default is used\n"
              "E s.ini line 4: \"Allowed Servers\" is given again (first at s.ini line 1); no server is allowed\n");
    EXPECT_TRUE(r.values.allowNone);
    EXPECT_EQ(r.values.logDays, kDefaultLogDays);
    // The first line bad, the second good: still none.
    EXPECT_TRUE(Read("Allowed Servers=bad\nAllowed Servers=127.0.0.6\n").values.allowNone);
    EXPECT_NE(DescribeSettings(r).find("Allowed Servers=(no server"), std::string::npos);

    for (const char* name : {"allowed servers", "ALLOWED SERVERS", "Allowed\xC2\xA0Servers",
                             "\xEF\xBB\xBF" "Allowed Servers", "Allowed\xE2\x80\x8BServers", "Allowed_Servers"}) {
        r = Read(std::string("# a second byte order mark below\n") + name + "=\n");
        EXPECT_TRUE(r.values.allowNone) << name;
        ASSERT_EQ(r.issues.size(), 1u) << name;
        EXPECT_TRUE(r.issues[0].error) << name;
        EXPECT_NE(r.issues[0].text.find("(did you mean \"Allowed Servers\"?); no server is allowed"),
                  std::string::npos) << r.issues[0].text;
    }
    // Latin-1 bytes in the name (not UTF-8): the line is named as the setting it looks like.
    EXPECT_TRUE(Read("Allowed\xA0Servers=\n").values.allowNone);
    r = Read("log days=7\n");
    EXPECT_EQ(Issues(r), "E s.ini line 1: unknown name \"log days\" (did you mean \"Log Days\"?); not used\n");
    EXPECT_EQ(r.values.logDays, kDefaultLogDays);
}

// What a shop's administrator writes by hand: every value counts on its own, each problem is
// named with its line, a bad value falls back to its default, and "Allowed Servers" holds.
TEST(SettingsReader, EachLineCountsOnItsOwnAndEachProblemIsNamed) {
    const std::string text =
        "# lane 1\x07 (a bell in a comment is the administrator's business)\n"
        "Allowed Server=10.0.0.0/8\n"      // misspelt
        "Allowed Servers=10.0.0.0/8\n"
        "this line is damaged\n"
        "Log Days=thirty\n"
        "COM Rate=1234567890\n"
        "Log Limit=12\n"
        "Log Folder=/var/log/\xC0\xAF\n"  // not UTF-8
        "COM Port=a\x01" "b\n"
        "Log Flag=111\n";
    const SettingsRead r = Read(text);
    EXPECT_EQ(Issues(r),
              "W s.ini line 2: unknown name \"Allowed Server\" (not used)\n"
              "E s.ini line 4: a line without '=' (not used)\n"
              "E s.ini line 5: \"Log Days\" is not a number of days (\"thirty\"); the default 365 is used\n"
              "E s.ini line 6: \"COM Rate\" is not a line speed (\"1234567890\"); the speed 57600 is used\n"
              "E s.ini line 8: \"Log Folder\" is not UTF-8 text; its default is used\n"
              "E s.ini line 9: \"COM Port\" has a control byte; its default is used\n"
              "E s.ini line 10: \"Log Flag\" is not 1 or 0 (\"111\"); the log is off\n");
    EXPECT_EQ(r.values.allowedServers, "10.0.0.0/8");
    EXPECT_FALSE(r.values.allowNone);
    EXPECT_EQ(r.values.logLimitMb, 12);
    EXPECT_EQ(r.values.logDays, 365);
    EXPECT_EQ(r.values.logFolder, "");
    EXPECT_EQ(r.values.rate, "");
    EXPECT_EQ(r.values.log, 0);
    EXPECT_EQ(r.stored, 1);  // the "Log Flag" line is there, if bad

    // "Allowed Servers" that cannot be read allows no server; a malformed one stays as given
    // (the list then refuses every server and names its bad item).
    for (const char* bad : {"Allowed Servers=10.0.0.0/8\x01\n", "Allowed Servers=10.0.0.\xFF\n"}) {
        const SettingsRead b = Read(std::string("Log Flag=1\n") + bad);
        EXPECT_TRUE(b.values.allowNone) << bad;
        ASSERT_EQ(b.issues.size(), 1u) << bad;
        EXPECT_TRUE(b.issues[0].error);
        EXPECT_NE(b.issues[0].text.find("no server is allowed"), std::string::npos) << b.issues[0].text;
    }
    const SettingsRead m = Read("Allowed Servers=10.0.0.0/8, 10.1.2.300\n");
    EXPECT_EQ(Issues(m), "E s.ini line 1: \"Allowed Servers\" has a malformed item \"10.1.2.300\"; "
                         "no server is allowed\n");
    EXPECT_EQ(m.values.allowedServers, "10.0.0.0/8, 10.1.2.300");
}

TEST(SettingsReader, LogFlagDecidesOnlyInTheProgramsOwnFile) {
    const SettingsRead own = Read("COM Port=/dev/ttyS3\nCOM Rate=38400\nLog Days=7\n");
    EXPECT_EQ(own.stored, 0);
    EXPECT_EQ(own.values.port, "");
    EXPECT_EQ(own.values.logDays, 7);  // the administrator's values always count
    ASSERT_EQ(own.issues.size(), 1u);  // and the lone port and speed do not pass unnoticed
    EXPECT_FALSE(own.issues[0].error);
    EXPECT_EQ(Read("Log Days=7\n").issues.size(), 0u);
    // The service's file is the administrator's: "COM Rate" alone counts.
    const SettingsRead admin = Read("COM Rate=38400\n", true);
    EXPECT_EQ(admin.stored, 1);
    EXPECT_EQ(admin.values.rate, "38400");
    EXPECT_EQ(admin.issues.size(), 0u);
    EXPECT_NE(DescribeSettings(admin).find("COM Rate=38400\nLog Flag=0\n"), std::string::npos);
}

TEST(SettingsWriter, SetsItsOwnValuesInPlaceAndKeepsEveryOtherByte) {
    const OwnedSettings own{"/dev/pts/7", "57600", "1, 0, 0, 5", 1};
    std::string out;
    ASSERT_TRUE(UpdateSettingsText("", own, &out));
    EXPECT_EQ(out, "COM Port=/dev/pts/7\nCOM Rate=57600\nVersion=1, 0, 0, 5\nLog Flag=1\n");
    const std::string admin =
        "\xEF\xBB\xBF# shop 12\r\n"
        "Allowed Servers=10.0.0.0/8\r\n"
        "COM Rate = 9600 \r\n"
        "Alowed Servers=1.2.3.4\r\n"
        "no equals\r\n"
        "Log Days=thirty\r\n"
        "COM Rate=19200\r\n"  // given twice: the program's own line, dropped by the save
        "Log Flag=0";
    ASSERT_TRUE(UpdateSettingsText(admin, own, &out));
    EXPECT_EQ(out,
              "\xEF\xBB\xBF# shop 12\r\n"
              "Allowed Servers=10.0.0.0/8\r\n"
              "COM Rate=57600\r\n"
              "Alowed Servers=1.2.3.4\r\n"
              "no equals\r\n"
              "Log Days=thirty\r\n"
              "Log Flag=1\r\n"
              "COM Port=/dev/pts/7\r\n"
              "Version=1, 0, 0, 5\r\n");
    EXPECT_EQ(Read(out).values.rate, "57600");  // read back without "given again"
    // A last line without its line end means the same after the save (a CR ending it is a
    // byte of its value, not half a line end).
    ASSERT_TRUE(UpdateSettingsText("Log Days=7\r", own, &out));
    EXPECT_EQ(out.rfind("Log Days=7\r\r\nCOM Port=", 0), 0u) << out;
    EXPECT_EQ(Read(out).values.logDays, Read("Log Days=7\r").values.logDays);
    // A value that would break the line structure is not written.
    EXPECT_FALSE(UpdateSettingsText("", OwnedSettings{"COM1\nLog Flag=1", "", "", 0}, &out));
}

TEST(SettingsPaths, XdgConfigHomeWhenAbsoluteElseHome) {
    EXPECT_EQ(ConfigHome("/x/cfg", "/home/u"), "/x/cfg");
    EXPECT_EQ(ConfigHome("relative/cfg", "/home/u"), "/home/u/.config");
    EXPECT_EQ(ConfigHome("", "/home/u"), "/home/u/.config");
    EXPECT_EQ(ConfigHome(nullptr, "/home/u"), "/home/u/.config");
    EXPECT_EQ(ConfigHome(nullptr, ""), "");
}

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/brisca-shell-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string dir;
};

using SettingsFile = TempDir;

TEST_F(SettingsFile, SavedAtomicallyIntoNewFoldersAndLoaded) {
    const std::string path = dir + "/a/b/settings.ini";
    EXPECT_EQ(LoadSettingsFile(path, false).stored, 0);  // no file: nothing stored, no problem
    EXPECT_EQ(LoadSettingsFile(path, false).issues.size(), 0u);
    ASSERT_EQ(SaveSettingsFile(path, OwnedSettings{"COM4", "19200", "1, 0, 0, 5", 0}), 1);
    const SettingsRead r = LoadSettingsFile(path, false);
    ASSERT_EQ(r.stored, 1);
    EXPECT_EQ(r.values.port, "COM4");
    EXPECT_EQ(r.values.rate, "19200");
    // Nothing but the file is left in its folder (the temporary was renamed over it).
    EXPECT_EQ(std::system(("test \"$(ls -A '" + dir + "/a/b')\" = settings.ini").c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A folder in the way of the file: the save fails and says so.
    EXPECT_EQ(SaveSettingsFile(dir + "/a/b/settings.ini/x", OwnedSettings{"COM4", "", "", 0}), 0);
}

// A file too long to be read whole allows no server (its list may be in the part not read) and
// is never rewritten.
TEST_F(SettingsFile, TooLongIsNotReadNorRewritten) {
    const std::string path = dir + "/settings.ini";
    const std::string text = "Allowed Servers=10.0.0.0/8\nLog Flag=1\n" + std::string(kMaxSettingsFile, '#');
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    const SettingsRead r = LoadSettingsFile(path, false);
    EXPECT_TRUE(r.values.allowNone);
    EXPECT_EQ(r.stored, 0);
    ASSERT_EQ(r.issues.size(), 1u);
    EXPECT_EQ(r.issues[0].text, path + ": is longer than 65536 bytes; the defaults are used and no "
                                       "server is allowed");
    EXPECT_EQ(SaveSettingsFile(path, OwnedSettings{"COM4", "9600", "1", 1}), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::size_t>(st.st_size), text.size());
}

// A file with NUL bytes (Notepad's "Unicode") or a link to nothing cannot be read: no server is
// allowed and the save leaves it as it is. A link to a real file is saved through, and stays.
TEST_F(SettingsFile, UnreadableKindsFailClosedAndLinksAreSavedThrough) {
    const std::string path = dir + "/settings.ini", real = dir + "/real.ini";
    const std::string utf16("\xFF\xFE" "A\0=\0\r\0\n\0", 10);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(utf16.data(), 1, utf16.size(), f);
    std::fclose(f);
    SettingsRead r = LoadSettingsFile(path, false);
    EXPECT_TRUE(r.values.allowNone);
    EXPECT_EQ(Issues(r), "E " + path + ": is not UTF-8 text (it holds NUL bytes: a UTF-16 file?); the "
                                       "defaults are used and no server is allowed\n");
    EXPECT_EQ(SaveSettingsFile(path, OwnedSettings{"COM4", "9600", "1", 1}), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::size_t>(st.st_size), utf16.size());

    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink(real.c_str(), path.c_str()), 0);
    r = LoadSettingsFile(path, false);
    EXPECT_TRUE(r.values.allowNone);
    ASSERT_EQ(r.issues.size(), 1u);
    EXPECT_EQ(SaveSettingsFile(path, OwnedSettings{"COM4", "9600", "1", 1}), 0);
    EXPECT_NE(lstat(real.c_str(), &st), 0);

    f = std::fopen(real.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("Allowed Servers=10.0.0.0/8\n", f);
    std::fclose(f);
    ASSERT_EQ(SaveSettingsFile(path, OwnedSettings{"COM4", "9600", "1", 1}), 1);
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    r = LoadSettingsFile(real, false);
    EXPECT_EQ(Issues(r), "");
    EXPECT_EQ(r.values.port, "COM4");
    EXPECT_EQ(r.values.allowedServers, "10.0.0.0/8");
}

TEST(Options, PortRateAndLogActAsTypedAndRefuseOverLongValues) {
    Options o;
    std::string err;
    const char* a1[] = {"brisca", "--port", "/dev/ttyUSB0", "--rate=9600", "--no-log"};
    ASSERT_EQ(ParseOptions(5, a1, &o, &err), 1) << err;
    EXPECT_TRUE(o.hasPort && o.hasRate);
    EXPECT_EQ(o.port, "/dev/ttyUSB0");
    EXPECT_EQ(o.rate, "9600");
    EXPECT_EQ(o.log, 0);
    const char* a2[] = {"brisca"};
    ASSERT_EQ(ParseOptions(1, a2, &o, &err), 1);
    EXPECT_FALSE(o.hasPort || o.hasRate);
    EXPECT_EQ(o.log, -1);  // the checkbox as loaded
    const char* a3[] = {"brisca", "--rate", "1234567890"};
    EXPECT_EQ(ParseOptions(3, a3, &o, &err), 0);
    const char* a4[] = {"brisca", "--port"};
    EXPECT_EQ(ParseOptions(2, a4, &o, &err), 0);
    const char* a5[] = {"brisca", "--porter", "x"};
    EXPECT_EQ(ParseOptions(3, a5, &o, &err), 0);
    const char* a6[] = {"brisca", "--rate", ""};  // an empty speed text is what the window allows
    EXPECT_EQ(ParseOptions(3, a6, &o, &err), 1);
}

TEST(Options, CheckConfigTakesAnOptionalFile) {
    Options o;
    std::string err;
    const char* a1[] = {"brisca", "--check-config", "/etc/brisca/lane1.ini"};
    ASSERT_EQ(ParseOptions(3, a1, &o, &err), 1) << err;
    EXPECT_TRUE(o.checkConfig);
    EXPECT_EQ(o.configPath, "/etc/brisca/lane1.ini");
    const char* a2[] = {"brisca", "--check-config", "--system", "lane1"};
    ASSERT_EQ(ParseOptions(4, a2, &o, &err), 1) << err;
    EXPECT_TRUE(o.checkConfig && o.system);
    EXPECT_EQ(o.configPath, "");
    const char* a3[] = {"brisca", "--system", "lane1", "--check-config", "x.ini"};
    EXPECT_EQ(ParseOptions(5, a3, &o, &err), 0);  // the instance's file is the one to check
}

TEST(SystemMode, InstanceNamesTheDeviceAndTheServiceFolders) {
    EXPECT_EQ(SystemPort("ttyUSB0"), "/dev/ttyUSB0");
    // systemd-escape --path /dev/serial/by-id/usb-FTDI-if00
    EXPECT_EQ(SystemPort("dev-serial-by\\x2did-usb\\x2dFTDI\\x2dif00"),
              "/dev/serial/by-id/usb-FTDI-if00");
    EXPECT_EQ(SystemPort("-dev-ttyS1"), "/dev/ttyS1");
    EXPECT_EQ(UnescapeInstance("a\\x41\\x4"), "aA\\x4");  // an incomplete escape stays
    const SystemPaths p = SystemModePaths("ttyUSB0", "/etc/brisca:/x", "/var/log/brisca/ttyUSB0",
                                          "/run/brisca/ttyUSB0");
    EXPECT_EQ(p.settingsFile, "/etc/brisca/ttyUSB0.ini");
    EXPECT_EQ(p.logFolder, "/var/log/brisca/ttyUSB0");
    EXPECT_EQ(p.lockFile, "/run/brisca/ttyUSB0/ttyUSB0.lock");
    const SystemPaths d = SystemModePaths("ttyS0", nullptr, "", nullptr);
    EXPECT_EQ(d.settingsFile, "/etc/brisca/ttyS0.ini");
    EXPECT_EQ(d.logFolder, "/var/log/brisca/ttyS0");
    EXPECT_EQ(d.lockFile, "/run/brisca/ttyS0.lock");

    Options o;
    std::string err;
    const char* a[] = {"brisca", "--system", "ttyUSB0"};
    ASSERT_EQ(ParseOptions(3, a, &o, &err), 1) << err;
    EXPECT_TRUE(o.system);
    EXPECT_EQ(o.instance, "ttyUSB0");
    EXPECT_NE(std::string(UsageText()).find("--system INSTANCE"), std::string::npos);
}

using PortList = TempDir;

// Character devices stand in through links (no root needed): only serial names that are
// devices are listed, each with the by-id names that lead to it.
TEST_F(PortList, SerialDevicesWithTheirByIdNames) {
    ASSERT_EQ(symlink("/dev/null", (dir + "/ttyUSB0").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir + "/ttyACM1").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (dir + "/console").c_str()), 0);  // not a serial name
    std::FILE* f = std::fopen((dir + "/ttyS9").c_str(), "w");      // not a device
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ASSERT_EQ(std::system(("mkdir -p '" + dir + "/serial/by-id'").c_str()), 0);
    ASSERT_EQ(symlink("../../ttyACM1", (dir + "/serial/by-id/usb-Maker_Terminal-if00").c_str()), 0);
    const std::string text = FormatPortList(ListSerialPorts(dir));
    EXPECT_EQ(text, dir + "/ttyACM1\t" + dir + "/serial/by-id/usb-Maker_Terminal-if00\n" + dir +
                        "/ttyUSB0\n");
}

TEST(Autostart, ExecValueQuotesAndEscapesOnlyWhenNeeded) {
    EXPECT_EQ(DesktopExecValue("/usr/bin/brisca"), "/usr/bin/brisca");
    EXPECT_EQ(DesktopExecValue("/opt/my apps/brisca"), "\"/opt/my apps/brisca\"");
    // '$' takes a backslash inside quotes, and the string escape doubles it again.
    EXPECT_EQ(DesktopExecValue("/opt/a$b/brisca"), "\"/opt/a\\\\$b/brisca\"");
    EXPECT_EQ(DesktopExecValue("/opt/100%/brisca"), "/opt/100%%/brisca");
    EXPECT_EQ(DesktopExecValue("/opt/new\nline"), "");
    const std::string text = AutostartEntryText("/usr/bin/brisca");
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(text.find("\nExec=/usr/bin/brisca\n"), std::string::npos);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
}

TEST(Autostart, ProgramPathIsThisProgram) {
    const std::string path = ProgramPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_NE(path.find("brisca_shell_tests"), std::string::npos);
}

using InstanceLockFile = TempDir;

TEST_F(InstanceLockFile, SecondHolderIsRefusedUntilTheFirstEnds) {
    const std::string path = InstanceLockPath(dir.c_str(), 0);
    EXPECT_EQ(path, dir + "/(주)Tevo네트웍스 Brisca.lock");
    {
        InstanceLock first;
        ASSERT_EQ(first.Acquire(path), InstanceLock::ACQUIRED);
        InstanceLock second;  // another open file description: flock refuses it
        EXPECT_EQ(second.Acquire(path), InstanceLock::ALREADY_RUNNING);
    }
    InstanceLock third;
    EXPECT_EQ(third.Acquire(path), InstanceLock::ACQUIRED);
    // No runtime folder: /tmp with the user id, so users never meet.
    EXPECT_EQ(InstanceLockPath(nullptr, 1000), "/tmp/(주)Tevo네트웍스 Brisca-1000.lock");
    EXPECT_EQ(InstanceLockPath("relative", 7), "/tmp/(주)Tevo네트웍스 Brisca-7.lock");
}

// In /tmp anybody can plant a file or a link under our lock's name and hold it: such a file is
// refused with a message that names it, never waited on or followed.
TEST_F(InstanceLockFile, PlantedLinkOrForeignFileIsRefusedNotObeyed) {
    const std::string link = dir + "/link.lock";
    ASSERT_EQ(symlink((dir + "/target").c_str(), link.c_str()), 0);
    InstanceLock viaLink;
    EXPECT_EQ(viaLink.Acquire(link), InstanceLock::REFUSED);
    EXPECT_NE(access((dir + "/target").c_str(), F_OK), 0);
    EXPECT_NE(viaLink.Refusal().find("심볼릭 링크"), std::string::npos) << viaLink.Refusal();
    EXPECT_NE(viaLink.Refusal().find(link), std::string::npos);

    // A file of another user, readable to us and locked by its owner. As root the test makes
    // one by handing its own file to "nobody"; otherwise a file of root stands in for it.
    std::string foreign = "/etc/passwd";
    int planted = -1;
    if (geteuid() == 0) {
        foreign = dir + "/foreign.lock";
        planted = open(foreign.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(planted, 0);
        ASSERT_EQ(fchown(planted, 65534, 65534), 0);
        ASSERT_EQ(flock(planted, LOCK_EX | LOCK_NB), 0);  // the planter holds it
    }
    InstanceLock mine;
    EXPECT_EQ(mine.Acquire(foreign), InstanceLock::REFUSED);
    if (planted >= 0) close(planted);
    EXPECT_NE(mine.Refusal().find("다른 사용자"), std::string::npos) << mine.Refusal();
    EXPECT_NE(mine.Refusal().find(foreign), std::string::npos);
}

}  // namespace
