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

int Parse(const std::string& text, StoredSettings* s, SettingsProblem* p = nullptr) {
    SettingsProblem local;
    return ParseSettings(text.data(), text.size(), s, p ? p : &local);
}

StoredSettings Stored(const char* port, const char* rate, const char* version, int log) {
    StoredSettings s;
    s.port = port;
    s.rate = rate;
    s.version = version;
    s.log = log;
    return s;
}

TEST(SettingsReader, ReadsTheFourValuesAsWritten) {
    StoredSettings s;
    ASSERT_EQ(Parse("COM Port=COM3\nCOM Rate=38400\nVersion=1, 0, 0, 5\nLog Flag=1\n", &s), 1);
    EXPECT_EQ(s.port, "COM3");
    EXPECT_EQ(s.rate, "38400");
    EXPECT_EQ(s.version, "1, 0, 0, 5");
    EXPECT_EQ(s.log, 1);
    // CR LF, a byte order mark, comments, sections, spaces round '=' and unknown names are fine.
    ASSERT_EQ(Parse("\xEF\xBB\xBF# mine\r\n[brisca]\r\n COM Port = /dev/ttyUSB0 \r\nOther=x\r\n"
                    "; note\r\nLog Flag=0\r\n", &s), 1);
    EXPECT_EQ(s.port, "/dev/ttyUSB0");
    EXPECT_EQ(s.rate, "");  // a missing value leaves its text empty
    EXPECT_EQ(s.log, 0);
}

TEST(SettingsReader, LogFlagDecidesWhetherSettingsAreStored) {
    StoredSettings s;
    s.port = "untouched";
    EXPECT_EQ(Parse("COM Port=COM3\nCOM Rate=9600\n", &s), 0);
    EXPECT_EQ(s.port, "untouched");
    EXPECT_EQ(Parse("", &s), 0);
    // On when the first byte is '1'; any other value of up to 2 bytes is off.
    for (const char* v : {"0", "", "x", "01"}) {
        ASSERT_EQ(Parse(std::string("Log Flag=") + v + "\n", &s), 1) << v;
        EXPECT_EQ(s.log, 0) << v;
    }
    ASSERT_EQ(Parse("Log Flag=10\n", &s), 1);
    EXPECT_EQ(s.log, 1);
}

TEST(SettingsReader, DamagedTextIsRefusedWithTheLineAndChangesNothing) {
    struct Case {
        std::string text;
        int line;
    } cases[] = {
        {"COM Port=COM3\nno equals here\nLog Flag=1\n", 2},
        {"COM Port=COM3\nLog Flag=1\n\xC0\xAF\n", 3},              // overlong UTF-8
        {"Log Flag=1\nCOM Port=\xED\xA0\x80\n", 2},                // a surrogate
        {std::string("COM Port=CO\0M3\nLog Flag=1\n", 25), 1},    // NUL
        {"COM Rate=1234567890\nLog Flag=1\n", 1},                  // more than 9 characters
        {"Log Flag=111\n", 1},                                     // more than 2 bytes
        {"COM Port=" + std::string(kMaxPortText + 1, 'p') + "\nLog Flag=1\n", 1},
        {"COM Port=a\x01" "b\nLog Flag=1\n", 1},
        {std::string(kMaxSettingsFile + 1, '#'), 0},              // over-long file
    };
    for (const Case& c : cases) {
        StoredSettings s;
        s.port = "untouched";
        SettingsProblem p;
        EXPECT_EQ(Parse(c.text, &s, &p), -1) << c.text.substr(0, 40);
        EXPECT_EQ(p.line, c.line) << c.text.substr(0, 40);
        EXPECT_FALSE(p.reason.empty());
        EXPECT_EQ(s.port, "untouched");
    }
    // The longest allowed values still read.
    StoredSettings s;
    EXPECT_EQ(Parse("COM Port=" + std::string(kMaxPortText, 'p') + "\nCOM Rate=123456789\n"
                    "Log Flag=1\n", &s), 1);
    EXPECT_EQ(Parse(std::string(kMaxSettingsFile - 11, '#') + "\nLog Flag=1", &s), 1);
}

TEST(SettingsWriter, WritesTheRegistryOrderAndReadsBack) {
    StoredSettings in = Stored("/dev/pts/7", "57600", "1, 0, 0, 5", 1);
    std::string text;
    ASSERT_TRUE(FormatSettings(in, &text));
    EXPECT_EQ(text, "COM Port=/dev/pts/7\nCOM Rate=57600\nVersion=1, 0, 0, 5\nLog Flag=1\n");
    StoredSettings out;
    ASSERT_EQ(Parse(text, &out), 1);
    EXPECT_EQ(out.port, in.port);
    EXPECT_EQ(out.rate, in.rate);
    EXPECT_EQ(out.log, 1);
    // A value that would break the line structure is not written.
    EXPECT_FALSE(FormatSettings(Stored("COM1\nLog Flag=1", "", "", 0), &text));
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
    StoredSettings s;
    SettingsProblem p;
    EXPECT_EQ(LoadSettingsFile(path, &s, &p), 0);  // no file: nothing stored
    ASSERT_EQ(SaveSettingsFile(path, Stored("COM4", "19200", "1, 0, 0, 5", 0)), 1);
    ASSERT_EQ(LoadSettingsFile(path, &s, &p), 1);
    EXPECT_EQ(s.port, "COM4");
    EXPECT_EQ(s.rate, "19200");
    // Nothing but the file is left in its folder (the temporary was renamed over it).
    EXPECT_EQ(std::system(("test \"$(ls -A '" + dir + "/a/b')\" = settings.ini").c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A folder in the way of the file: the save fails and says so.
    EXPECT_EQ(SaveSettingsFile(dir + "/a/b/settings.ini/x", Stored("COM4", "", "", 0)), 0);
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

TEST(SettingsReader, LogValuesAreReadAndKeptWhenTheProgramSaves) {
    StoredSettings s;
    ASSERT_EQ(Parse("Log Flag=1\nLog Folder=/var/log/shop\nLog Days=30\nLog Limit=0\n"
                    "Allowed Servers=10.1.2.3, 192.168.0.0/16\n", &s), 1);
    EXPECT_EQ(s.logFolder, "/var/log/shop");
    EXPECT_EQ(s.logDays, 30);
    EXPECT_EQ(s.logLimitMb, 0);
    EXPECT_EQ(s.allowedServers, "10.1.2.3, 192.168.0.0/16");
    std::string text;
    ASSERT_TRUE(FormatSettings(s, &text));
    StoredSettings back;
    ASSERT_EQ(Parse(text, &back), 1);
    EXPECT_EQ(back.logFolder, s.logFolder);
    EXPECT_EQ(back.logDays, 30);
    EXPECT_EQ(back.logLimitMb, 0);
    EXPECT_EQ(back.allowedServers, s.allowedServers);
    for (const char* bad : {"Log Days=-1\n", "Log Days=ten\n", "Log Limit=\n", "Log Limit=1234567\n"})
        EXPECT_EQ(Parse(std::string("Log Flag=1\n") + bad, &back), -1) << bad;
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
