// The gateway both programs share, on a real pseudo-terminal: the speed text, the start-up
// sequence (log folder, first log line, open, save), the operator's "세팅", and a lost port
// whose retries end when the operator picks new settings.
#include "gateway/gateway.h"

#include "core/event_loop.h"
#include "crypto/server_key.h"
#include "diag/log.h"
#include "support/relay_rig.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

namespace {

TEST(SpeedText, TheNumberAfterBlanksSaturatingAndCutsKeepWholeCharacters) {
    const struct {
        const char* text;
        uint32_t rate;
    } cases[] = {{"38400", 38400u},         {"  9600", 9600u},   {"\t19200bps", 19200u},
                 {"", 0u},                  {"fast", 0u},        {"- 1", 0u},
                 {"4294967295", 0xFFFFFFFFu}, {"4294967296", 0xFFFFFFFFu},
                 {"99999999999999999999", 0xFFFFFFFFu}};
    for (const auto& c : cases) EXPECT_EQ(RateNumber(c.text), c.rate) << c.text;
    EXPECT_EQ(CutText("COM12", kMaxRateText), "COM12");
    EXPECT_EQ(CutText("1152000000000", kMaxRateText), "115200000");
    EXPECT_EQ(CutText("ab포트", 4), "ab");  // never half of a three-byte character
    EXPECT_EQ(CutText("ab포트", 5), "ab포");
}

// The shell's side: a settings store in memory, the log checkbox, reports and events recorded.
class FakeShell final : public GatewayShell, public GatewayEvents, public ConsoleSink,
                        public TrayIconState {
public:
    GatewaySettings stored;
    int hasStored = 1;
    int checked = 1;
    std::vector<GatewaySettings> saved;
    std::vector<std::string> reports, events;

    std::vector<SettingsIssue> issues;

    SettingsRead ReadSettings() override {
        SettingsRead r;
        if (hasStored) r.values = stored;
        r.stored = hasStored;
        r.issues = issues;
        return r;
    }
    int SaveSettings(const GatewaySettings& s, const char* version) override {
        saved.push_back(s);
        EXPECT_STREQ(version, "1, 0, 0, 5");
        return 1;
    }
    int LogChecked() override { return checked; }
    void ReportOpenFailure(const char* port) override { reports.push_back(port); }
    void Started(const char*, const char* port, const char* folder) override {
        events.push_back(std::string("start ") + port + " " + folder);
    }
    void StartFailed(const char*, const char* port, const char*) override {
        events.push_back(std::string("failed ") + port);
    }
    void Stopped() override { events.push_back("stop"); }
    void PortLost(const char* port) override { events.push_back(std::string("lost ") + port); }
    void PortBack(const char* port) override { events.push_back(std::string("back ") + port); }
    void ServerUnreachable(const char*, int) override {}
    void ServerNotReading(const char*, int) override {}
    void SettingsProblem(bool error, const char* text) override {
        events.push_back(std::string(error ? "settings error " : "settings warning ") + text);
    }
    void LogRefused(const char* text) override { events.push_back(std::string("log refused ") + text); }
    void SetIcon(int) override {}

    void Append(const char* line) override {
        std::lock_guard<std::mutex> g(m_lock);
        std::string text(line);
        // The line without its timestamp and line end.
        const std::size_t at = text.find("] ");
        if (at != std::string::npos) text = text.substr(at + 2);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        m_lines.push_back(text);
        m_cond.notify_all();
    }
    void ClearConsole() override {}
    bool WaitLine(const std::string& line) {
        std::unique_lock<std::mutex> l(m_lock);
        return m_cond.wait_for(l, kEventBound, [&] {
            return std::find(m_lines.begin(), m_lines.end(), line) != m_lines.end();
        });
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_lines;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cond;
    std::vector<std::string> m_lines;
};

// A pseudo-terminal with no slave held: closing its master is the device going away.
struct Line : PtyPair {
    Line() : PtyPair(false) {}
};

class GatewayTest : public ::testing::Test {
protected:
    FreshDirectory dir;
    FakeShell shell;
    EventLoop loop;
    std::thread thread{[this] { loop.Run(); }};
    Gateway gateway{Gateway::Parts{&loop, &shell, &shell, &shell, &shell}, "1, 0, 0, 5",
                    "not-this-folder"};

    ~GatewayTest() override {
        loop.Call([&] { gateway.Stop(); });
        loop.Quit();
        thread.join();
    }
    int OnWindow(int (Gateway::*op)()) {
        int r = 0;
        loop.Call([&] { r = (gateway.*op)(); });
        return r;
    }
};

TEST_F(GatewayTest, StartSaysTheLogFolderLogsTheStartOpensAndSavesThenSettingsChange) {
    Line line;
    ASSERT_FALSE(line.name.empty());
    char cwd[512];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string terminal = std::string(cwd) + "/terminal";
    ASSERT_EQ(symlink(line.name.c_str(), terminal.c_str()), 0);
    shell.stored = GatewaySettings{terminal, " 38400", 1, "gate_log", 30, 5, "", false};
    shell.checked = 0;  // the operator cleared "로그생성": it counts from the save on
    ASSERT_EQ(OnWindow(&Gateway::LoadSettings), 1);
    ASSERT_EQ(OnWindow(&Gateway::Start), 1);

    const std::vector<std::string> lines = shell.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "로그 폴더-->gate_log");
    EXPECT_EQ(lines[1], terminal + " Open 성공!");
    EXPECT_EQ(gateway.Port().BaudRate(), 38400u);
    ASSERT_EQ(shell.saved.size(), 1u);
    EXPECT_EQ(shell.saved[0].port, terminal);
    EXPECT_EQ(shell.saved[0].log, 0);
    EXPECT_EQ(shell.saved[0].logFolder, "gate_log");  // kept as read
    EXPECT_EQ(gateway.Log(), 0);
    EXPECT_EQ(shell.events, std::vector<std::string>{"start " + terminal + " gate_log"});

    // "세팅" with a port that does not open: the old one is closed, the failure reported,
    // nothing saved.
    loop.Call([&] { EXPECT_EQ(gateway.ApplySettings("/nonexistent/tty", "9600"), 0); });
    EXPECT_TRUE(shell.WaitLine(terminal + " Close"));
    EXPECT_TRUE(shell.WaitLine("/nonexistent/tty Open 실패!"));
    EXPECT_EQ(shell.reports, std::vector<std::string>{"/nonexistent/tty"});
    EXPECT_EQ(shell.saved.size(), 1u);

    // Back to the terminal: opened and saved with the new speed.
    loop.Call([&] { EXPECT_EQ(gateway.ApplySettings(terminal, "19200"), 1); });
    ASSERT_EQ(shell.saved.size(), 2u);
    EXPECT_EQ(shell.saved[1].rate, "19200");

    // The start was logged before the port opened, in the folder the settings name.
    const std::vector<std::string> log = LogMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "TEVN-> 프로그램 시작 : 버전 1, 0, 0, 5, 포트 " + terminal + ", 로그 폴더 gate_log, " + ServerKeyLine());
}

TEST_F(GatewayTest, AStartWhosePortNeverOpenedStillLogsItsStop) {
    // The Windows program keeps running behind its box; the installer may end it there.
    shell.stored = GatewaySettings{"/nonexistent/tty", "38400", 1, "gate_log", 30, 5, "", false};
    shell.checked = 1;
    ASSERT_EQ(OnWindow(&Gateway::LoadSettings), 1);
    ASSERT_EQ(OnWindow(&Gateway::Start), 0);
    loop.Call([&] { gateway.Stop(); });
    const std::vector<std::string> log = LogMessages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.front().rfind("TEVN-> 프로그램 시작", 0), 0u) << log.front();
    EXPECT_EQ(log.back(), "TEVN-> 프로그램 종료");
}

TEST_F(GatewayTest, ALostPortIsRetriedWithoutSavingUntilTheOperatorChoosesNewSettings) {
    Line line;
    ASSERT_FALSE(line.name.empty());
    shell.hasStored = 0;
    shell.checked = 0;
    ASSERT_EQ(OnWindow(&Gateway::LoadSettings), 0);
    EXPECT_EQ(gateway.PortText(), "COM1");
    EXPECT_EQ(gateway.RateText(), kDefaultRateText);  // nothing stored: the documented default
    loop.Call([&] { gateway.SetTexts(line.name, "38400"); });
    ASSERT_EQ(OnWindow(&Gateway::Start), 1);
    ASSERT_EQ(shell.saved.size(), 1u);

    line.Hangup();  // the device goes away
    ASSERT_TRUE(shell.WaitLine("시리얼 포트 끊김!-->" + line.name));
    loop.Call([&] {  // after the loss has been handled in full
        EXPECT_TRUE(gateway.Retrying());
        EXPECT_EQ(shell.events.back(), "lost " + line.name);
        EXPECT_EQ(shell.saved.size(), 1u);
    });

    loop.Call([&] { gateway.ApplySettings("/nonexistent/tty", "38400"); });
    EXPECT_FALSE(gateway.Retrying());
}

// Each problem the store reports reaches the trace, the log and the events; a log folder that
// others may write to is refused, and said once however many lines are held back.
TEST_F(GatewayTest, SettingsProblemsAndARefusedLogFolderAreSaidOnce) {
    ASSERT_EQ(mkdir("open", 0777), 0);
    ASSERT_EQ(chmod("open", 0777), 0);
    shell.stored = GatewaySettings{"/nonexistent/tty", "", 1, "open", 30, 5, "", true};
    shell.issues = {{true, "f line 2: \"Log Days\" is not a number of days"},
                    {false, "f line 3: unknown name \"Allowed Server\" (not used)"}};
    ASSERT_EQ(OnWindow(&Gateway::LoadSettings), 1);
    EXPECT_EQ(gateway.RateText(), kDefaultRateText);  // stored empty: the default
    ASSERT_EQ(OnWindow(&Gateway::Start), 0);
    loop.Call([&] { for (int i = 0; i < 3; ++i) LogPrintf(1, "held back\n"); });
    EXPECT_TRUE(shell.WaitLine("설정 오류!-->f line 2: \"Log Days\" is not a number of days"));
    EXPECT_TRUE(shell.WaitLine("설정 경고!-->f line 3: unknown name \"Allowed Server\" (not used)"));
    EXPECT_TRUE(shell.WaitLine("로그 기록 불가!-->open: is writable by group or others"));
    loop.Call([&] {
        // (The first problem's log line finds the folder refused.)
        const std::vector<std::string> want = {
            "log refused open: is writable by group or others",
            "settings error f line 2: \"Log Days\" is not a number of days",
            "settings warning f line 3: unknown name \"Allowed Server\" (not used)",
            "failed /nonexistent/tty"};
        EXPECT_EQ(shell.events, want);
    });
    int refusals = 0;
    for (const std::string& l : shell.Lines()) refusals += l.rfind("로그 기록 불가!", 0) == 0;
    EXPECT_EQ(refusals, 1);
    // Nothing was written into the folder others may write to.
    EXPECT_EQ(rmdir("open"), 0);
}

}  // namespace
