// The daily log file: switch, file name, prefix, code page 949, CR LF, whole lines from
// concurrent threads, raw bytes, long messages and an unwritable log directory.
#include "diag/log.h"
#include "diag/temp_dir.h"

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

std::string TodayDigits() {
    const std::time_t now = std::time(nullptr);
    char text[16] = {};
    std::strftime(text, sizeof text, "%Y%m%d", std::localtime(&now));
    return text;
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

TEST_F(LogFile, LongMessageIsCutNotOverrun) {
    const std::string big(20000, 'k');
    ASSERT_EQ(LogPrintf(1, "%s\n", big.c_str()), 1);
    ASSERT_EQ(LogPrintf(1, "%s\n", "after"), 1);
    const std::string log = ReadLogs();
    const std::size_t prefixEnd = log.find("\xA2\xB9 ") + 3;
    const std::size_t ks = log.find_first_not_of('k', prefixEnd) - prefixEnd;
    EXPECT_EQ(ks, 5119u);  // the 5120-byte message buffer keeps its terminator
    EXPECT_NE(log.find("\xA2\xB9 after\r\n"), std::string::npos);
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
    FormatDate(date, 1);
    FormatDate(stamp, 2);
    FormatTimestamp(ts);
    EXPECT_TRUE(std::regex_match(date, std::regex(R"(\d{8})"))) << date;
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})"))) << stamp;
    EXPECT_TRUE(std::regex_match(ts, std::regex(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3}\])"))) << ts;
    // All three read the same local clock as the C library.
    const std::string today = TodayDigits();
    EXPECT_EQ(std::string(date).substr(0, 6), today.substr(0, 6));
    EXPECT_EQ(std::string(ts).substr(1, 7), today.substr(0, 4) + "-" + today.substr(4, 2));
}
