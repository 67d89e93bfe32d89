// The daily log file: switch, file name, prefix, code page 949, CR LF, whole lines from
// concurrent threads, raw bytes and frames, long lines, an unwritable log directory, the folder,
// old days deleted, the daily limit, private files and a file that goes away while open.
#include "diag/log.h"
#include "support/temp_dir.h"
#include "sys/sys.h"

#include <chrono>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <process.h>
static int OwnPid() { return _getpid(); }
#else
#include <unistd.h>
static int OwnPid() { return static_cast<int>(getpid()); }
#endif

namespace {

// The local date n days ago as YYYYMMDD.
std::string DaysAgo(int n) {
    using namespace std::chrono;
    const std::time_t now = std::time(nullptr);
    const std::tm local = *std::localtime(&now);
    const sys_days today = year_month_day{year{local.tm_year + 1900},
                                          month{static_cast<unsigned>(local.tm_mon + 1)},
                                          day{static_cast<unsigned>(local.tm_mday)}};
    const year_month_day then{today - days{n}};
    char text[16] = {};
    std::snprintf(text, sizeof text, "%04d%02u%02u", static_cast<int>(then.year()),
                  static_cast<unsigned>(then.month()), static_cast<unsigned>(then.day()));
    return text;
}

std::string TodayDigits() { return DaysAgo(0); }

std::string Cp949(const std::string& utf8) {
    char out[512];
    const long n = sys::Utf8ToCp949(utf8.data(), utf8.size(), out, sizeof out);
    return n < 0 ? std::string() : std::string(out, static_cast<std::size_t>(n));
}

// The day's file in folder (today's date read before and after the caller's writes).
std::filesystem::path DayFile(const std::filesystem::path& folder, const std::string& before) {
    const std::filesystem::path first = folder / ("brisca" + before + ".log");
    return std::filesystem::exists(first) ? first : folder / ("brisca" + TodayDigits() + ".log");
}

// The part of each log line after its prefix; checks the prefix on the way.
std::vector<std::string> Messages(const std::string& log) {
    static const std::regex prefix(R"(^\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\]\[(\d+)\] \xA2\xB9 )");
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find("\r\n", start);
        end = end == std::string::npos ? log.size() : end + 2;
        const std::string line = log.substr(start, end - start);
        std::smatch m;
        EXPECT_TRUE(std::regex_search(line, m, prefix)) << "bad prefix: " << line;
        if (!m.empty()) {
            EXPECT_EQ(std::stoi(m[1].str()), OwnPid());
            out.push_back(line.substr(m.length(0)));
        }
        start = end;
    }
    return out;
}

}  // namespace

using LogFile = InTempDir;

TEST_F(LogFile, SwitchOffTouchesNothing) {
    EXPECT_EQ(LogPrintf(0, "TEVN-> ERROR : Connect Error (ERRNO = %d)\n", 111), 0);
    EXPECT_FALSE(LogDirExists());
}

TEST_F(LogFile, DailyFileNameAndPrefixInCodePage949) {
    const std::string before = TodayDigits();
    ASSERT_EQ(LogPrintf(1, "TEVN-> [%s][%d]\n", "접속해제", 7), 1);
    const std::string after = TodayDigits();

    const bool named = std::filesystem::exists("gate_log/brisca" + before + ".log") ||
                       std::filesystem::exists("gate_log/brisca" + after + ".log");
    EXPECT_TRUE(named) << "expected gate_log/brisca" << before << ".log";

    const std::string log = ReadLogs();
    const auto messages = Messages(log);
    ASSERT_EQ(messages.size(), 1u);
    // 접속해제 in code page 949; the line feed stored as CR LF.
    EXPECT_EQ(messages[0], "TEVN-> [\xC1\xA2\xBC\xD3\xC7\xD8\xC1\xA6][7]\r\n");
    // The prefix's date is today's date in the "%Y/%m/%d" form.
    const std::string slashed = log.substr(1, 10);
    EXPECT_TRUE(slashed == before.substr(0, 4) + "/" + before.substr(4, 2) + "/" + before.substr(6) ||
                slashed == after.substr(0, 4) + "/" + after.substr(4, 2) + "/" + after.substr(6))
        << slashed;
}

TEST_F(LogFile, LineFeedsBecomeCrLfAndLinesAppend) {
    ASSERT_EQ(LogPrintf(1, "first\n"), 1);
    ASSERT_EQ(LogPrintf(1, "[CAT->VAN] [%03d] [%s]\r\n", 5, "a\nb"), 1);
    ASSERT_EQ(LogPrintf(1, "no line end"), 1);
    ASSERT_EQ(LogPrintf(1, "last\n"), 1);
    const std::string log = ReadLogs();
    // "\r\n" from the caller ends as CR CR LF; a message without a line end runs into the next.
    EXPECT_NE(log.find(" first\r\n["), std::string::npos);
    EXPECT_NE(log.find(" [CAT->VAN] [005] [a\r\nb]\r\r\n["), std::string::npos);
    EXPECT_NE(log.find(" no line end[") , std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 7), " last\r\n");
    EXPECT_EQ(log.find("\n\n"), std::string::npos);
}

TEST_F(LogFile, RawBytesPassAndMissingCharactersBecomeQuestionMarks) {
    // A masked terminal request can carry bytes that are not UTF-8: they go out unchanged, and
    // the text around them is still converted.
    ASSERT_EQ(LogPrintf(1, "[%s]\n", "\xFF\x02\x80접\xEC\x95" "A\xC0\xAF속"), 1);
    // Thai and an emoji have no code page 949 form; the euro sign has one (A2 E6).
    ASSERT_EQ(LogPrintf(1, "[%s]\n", "xกy😀z€"), 1);
    // %c of 0 still leaves the message's length to the formatter, not to a terminator.
    ASSERT_EQ(LogPrintf(1, "[%c%c]\n", 'a', 0), 1);
    const auto messages = Messages(ReadLogs());
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], std::string("[\xFF\x02\x80\xC1\xA2\xEC\x95" "A\xC0\xAF\xBC\xD3]\r\n"));
    EXPECT_EQ(messages[1], "[x?y?z\xA2\xE6]\r\n");
    EXPECT_EQ(messages[2], std::string("[a\0]\r\n", 6));
}

TEST_F(LogFile, LongLinesAndFramesKeepEveryByte) {
    const std::string big(20000, 'k');
    ASSERT_EQ(LogPrintf(1, "%s\n", big.c_str()), 1);
    // A frame of every byte value: C4 AB and code page 949 Korean text (BD C2 C0 CE) among them,
    // a lone line feed and NUL bytes, none converted; only head and tail are the program's text.
    std::string frame = "\x02\xC4\xAB\xBD\xC2\xC0\xCE";
    while (frame.size() < 5120) frame += static_cast<char>(frame.size() % 256);
    ASSERT_EQ(LogFrame(1, "TEVN-> [요청전문][5120][", frame.data(), 5120, "]\n"), 1);
    ASSERT_EQ(LogPrintf(1, "%s\n", "after"), 1);
    const auto messages = Messages(ReadLogs());
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], big + "\r\n");
    EXPECT_EQ(messages[1], "TEVN-> [\xBF\xE4\xC3\xBB\xC0\xFC\xB9\xAE][5120][" + frame + "]\r\n");
    EXPECT_EQ(messages[2], "after\r\n");
}

TEST_F(LogFile, ConcurrentLinesStayWhole) {
#if defined(_WIN32)
    constexpr int kLines = 400;  // each line is an open and a close: slow under Wine
#else
    constexpr int kLines = 2000;
#endif
    auto writer = [](char tag) {
        for (int i = 0; i < kLines; ++i)
            LogPrintf(1, "TEVN-> [%c][%05d][%s]\n", tag, i, "요청전문 0123456789abcdefghijklmnopqrstuvwxyz");
    };
    std::thread a(writer, 'A'), b(writer, 'B');
    a.join();
    b.join();
    const auto messages = Messages(ReadLogs());
    ASSERT_EQ(messages.size(), 2u * kLines);
    int next[2] = {0, 0};
    static const std::regex body(R"(^TEVN-> \[([AB])\]\[(\d{5})\]\[\xBF\xE4\xC3\xBB\xC0\xFC\xB9\xAE 0123456789abcdefghijklmnopqrstuvwxyz\]\r\n$)");
    for (const auto& m : messages) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(m, parts, body)) << m;
        const int who = parts[1].str()[0] - 'A';
        EXPECT_EQ(std::stoi(parts[2].str()), next[who]++);  // each thread's lines in its own order
    }
    EXPECT_EQ(next[0], kLines);
    EXPECT_EQ(next[1], kLines);
}

TEST_F(LogFile, UnopenableFileGivesMinusOne) {
    { std::ofstream blocker("gate_log"); }  // a plain file where the directory should be
    EXPECT_EQ(LogPrintf(1, "lost\n"), -1);
    EXPECT_TRUE(std::filesystem::is_regular_file("gate_log"));
}

TEST(LogFormat, DateAndTimestampForms) {
    char date[16], stamp[32], ts[128];
    FormatDay(date);
    FormatDateTime(stamp);
    FormatTimestamp(ts);
    EXPECT_TRUE(std::regex_match(date, std::regex(R"(\d{8})"))) << date;
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})"))) << stamp;
    EXPECT_TRUE(std::regex_match(ts, std::regex(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3}\])"))) << ts;
    // All three read the same local clock as the C library.
    const std::string today = TodayDigits();
    EXPECT_EQ(std::string(date).substr(0, 6), today.substr(0, 6));
    EXPECT_EQ(std::string(stamp).substr(0, 7), today.substr(0, 4) + "/" + today.substr(4, 2));
    EXPECT_EQ(std::string(ts).substr(1, 7), today.substr(0, 4) + "-" + today.substr(4, 2));
}

TEST_F(LogFile, ConfiguredFolderAndOldDaysDeleted) {
    namespace fs = std::filesystem;
    // A folder with a Korean name and a space (through the wide API on Windows).
    const std::string folder = "로그/매장 기록";
    const fs::path dir(u8"로그/매장 기록");
    fs::create_directories(dir / "brisca20000102.log");  // a sub-folder under a daily name
    const char* keep[] = {"brisca20000230.log", "brisca2000010.log", "brisca20000101.txt",
                          "brisca20000101.log.1", "Xbrisca20000101.log", "notes.txt"};
    const std::string recent = "brisca" + DaysAgo(29) + ".log";
    const std::string old[] = {"brisca" + DaysAgo(31) + ".log", "brisca" + DaysAgo(400) + ".log",
                               "brisca19991231.log"};
    for (const char* name : keep) std::ofstream(dir / name) << "kept";
    for (const std::string& name : old) std::ofstream(dir / name) << "old";
    std::ofstream(dir / recent) << "recent";
#if !defined(_WIN32)
    std::ofstream("outside.log") << "outside";
    fs::create_symlink("../../outside.log", dir / "brisca20000103.log");
#endif

    LogConfigure(LogOptions{folder, 0, 256});  // 0 days: every file kept
    for (const std::string& name : old) EXPECT_TRUE(fs::exists(dir / name)) << name;

    LogConfigure(LogOptions{folder, 30, 256});
    EXPECT_EQ(LogFolder(), folder);
    for (const std::string& name : old) EXPECT_FALSE(fs::exists(dir / name)) << name;
    for (const char* name : keep) EXPECT_EQ(ReadFile(dir / name), "kept") << name;
    EXPECT_TRUE(fs::is_directory(dir / "brisca20000102.log"));
    EXPECT_EQ(ReadFile(dir / recent), "recent");
#if !defined(_WIN32)
    EXPECT_TRUE(fs::is_symlink(dir / "brisca20000103.log"));
    EXPECT_EQ(ReadFile("outside.log"), "outside");
#endif

    const std::string before = TodayDigits();
    ASSERT_EQ(LogPrintf(1, "TEVN-> 여기\n"), 1);
    EXPECT_EQ(Messages(ReadFile(DayFile(dir, before))), std::vector<std::string>{"TEVN-> \xBF\xA9\xB1\xE2\r\n"});
    EXPECT_FALSE(LogDirExists());
}

TEST_F(LogFile, DailyLimitWritesOneLineAndHoldsTheRest) {
    namespace fs = std::filesystem;
    constexpr long long kLimit = 1024 * 1024;
    LogConfigure(LogOptions{"", 0, 1});
    const std::string before = TodayDigits();
    const std::string line(4000, 'x');
    ASSERT_EQ(LogPrintf(1, "%s\n", line.c_str()), 1);
    const fs::path day = DayFile("gate_log", before);
    // Filled to some 10 000 bytes short of the limit, then a line that does not fit.
    for (int i = 0; i < 400 && fs::file_size(day) < kLimit - 10000; ++i)
        ASSERT_EQ(LogPrintf(1, "%s\n", line.c_str()), 1);
    const std::string big(12000, 'y');
    EXPECT_EQ(LogPrintf(1, "%s\n", big.c_str()), 0);
    EXPECT_EQ(LogPrintf(1, "small\n"), 0);
    EXPECT_EQ(LogFrame(1, "[", "ab", 2, "]\n"), 0);
    const std::string limitLine = Cp949("TEVN-> 로그 용량 제한(1MB)에 도달하여 오늘은 더 기록하지 않습니다") + "\r\n";
    const std::string full = ReadLogs();
    EXPECT_LE(full.size(), kLimit);
    const auto messages = Messages(full);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), limitLine);
    EXPECT_EQ(messages[messages.size() - 2], line + "\r\n");
    EXPECT_EQ(full.find('y'), std::string::npos);

    // A restart on the same day finds the file held; a higher limit lets lines in again.
    LogConfigure(LogOptions{"", 0, 1});
    EXPECT_EQ(LogPrintf(1, "small\n"), 0);
    EXPECT_EQ(ReadLogs(), full);
    LogConfigure(LogOptions{"", 0, 2});
    EXPECT_EQ(LogPrintf(1, "small\n"), 1);
    EXPECT_EQ(Messages(ReadLogs()).back(), "small\r\n");
}

TEST_F(LogFile, FileThatGoesAwayIsMadeAgain) {
    namespace fs = std::filesystem;
    const std::string before = TodayDigits();
    ASSERT_EQ(LogPrintf(1, "one\n"), 1);
    const fs::path day = DayFile("gate_log", before);
    fs::rename(day, "gate_log/moved.txt");
    ASSERT_EQ(LogPrintf(1, "two\n"), 1);
    EXPECT_EQ(Messages(ReadFile(day)), std::vector<std::string>{"two\r\n"});
    EXPECT_EQ(Messages(ReadFile("gate_log/moved.txt")), std::vector<std::string>{"one\r\n"});
#if !defined(_WIN32)
    // Wine keeps the name of a file deleted while open until its last handle closes (Windows 10
    // and later free it at once, older ones refuse to look it up).
    fs::remove(day);
    ASSERT_EQ(LogPrintf(1, "three\n"), 1);
    EXPECT_EQ(Messages(ReadFile(day)), std::vector<std::string>{"three\r\n"});
    // The folder moved away with the open file in it.
    fs::rename("gate_log", "gate_old");
    ASSERT_EQ(LogPrintf(1, "four\n"), 1);
    EXPECT_EQ(Messages(ReadFile(day)), std::vector<std::string>{"four\r\n"});
    EXPECT_EQ(Messages(ReadFile(DayFile("gate_old", before))), std::vector<std::string>{"three\r\n"});
#endif
}

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>

TEST_F(LogFile, PrivateFilesAndNoLinksFollowed) {
    namespace fs = std::filesystem;
    const std::string before = TodayDigits();
    ASSERT_EQ(LogPrintf(1, "private\n"), 1);
    struct stat st{};
    ASSERT_EQ(stat("gate_log", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(DayFile("gate_log", before).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A link planted in place of the day's file (as the day begins) is not followed.
    std::ofstream("target") << "target";
    fs::remove(DayFile("gate_log", before));
    for (const std::string& day : {before, TodayDigits()})
        if (!fs::is_symlink("gate_log/brisca" + day + ".log"))
            fs::create_symlink("../target", "gate_log/brisca" + day + ".log");
    EXPECT_EQ(LogPrintf(1, "diverted\n"), -1);
    EXPECT_EQ(ReadFile("target"), "target");

    // The configured folder is followed when it is a link (systemd hands a service with
    // DynamicUser=yes its log folder as a link into a private 0700 folder) ...
    fs::remove_all("gate_log");
    fs::create_directories("private/brisca");
    fs::permissions("private", fs::perms::owner_all);
    fs::permissions("private/brisca", fs::perms::owner_all);
    fs::create_directory_symlink("private/brisca", "gate_log");
    std::vector<std::string> told;
    LogSetRefusalSink([](void* c, const char* t) { static_cast<std::vector<std::string>*>(c)->push_back(t); }, &told);
    EXPECT_EQ(LogPrintf(1, "through the link\n"), 1);
    EXPECT_NE(ReadFile(DayFile("private/brisca", before).string()).find("through the link"), std::string::npos);

    // ... but a folder others may write to is refused, and said once until it is mended.
    fs::permissions("private/brisca", fs::perms::all);
    LogConfigure(LogOptions{});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(LogPrintf(1, "refused\n"), -1);
    EXPECT_EQ(told, std::vector<std::string>{"gate_log: is writable by group or others"});
    fs::permissions("private/brisca", fs::perms::owner_all);
    EXPECT_EQ(LogPrintf(1, "mended\n"), 1);
    // A day's file of another user (as root: handed to nobody), even in our own folder.
    if (geteuid() == 0) {
        ASSERT_EQ(chown(DayFile("private/brisca", before).c_str(), 65534, 65534), 0);
        LogConfigure(LogOptions{});
        EXPECT_EQ(LogPrintf(1, "refused\n"), -1);
        ASSERT_EQ(told.size(), 2u);
        EXPECT_NE(told[1].find("belongs to another user"), std::string::npos) << told[1];
        // And a folder of another user.
        fs::remove(DayFile("private/brisca", before));
        ASSERT_EQ(chown("private/brisca", 65534, 65534), 0);
        LogConfigure(LogOptions{});
        EXPECT_EQ(LogPrintf(1, "refused\n"), -1);
        ASSERT_EQ(told.size(), 3u);
        EXPECT_EQ(told[2], "gate_log: belongs to another user");
    }
    LogSetRefusalSink(nullptr, nullptr);
}
#endif
