// Rendering of trace events: the summary rule, the console and log lines, the 5000-event rule.
#include "diag/trace_render.h"
#include "support/fresh_directory.h"
#include "support/log_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace {

std::string Summary(TraceKind kind, const std::string& bytes) {
    char out[64] = "untouched";
    const bool shown = SummarizeFrame(kind, reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<unsigned>(bytes.size()), out, sizeof out);
    return shown ? std::string(out) : std::string("<dropped>");
}

TEST(TraceSummary, NamesControlBytesOfShortFrames) {
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, "\x06"), "ACK");
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, "\x19"), "EOM");
    EXPECT_EQ(Summary(TRACE_TO_TERMINAL, "\x15"), "NAK");
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, "\x10\x10\x10"), "DLE");
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, "\x04"), "EOT");
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, "\x05"), "ENQ");
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, "\x07"), "BEL");
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, "\x16"), "SYN");
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, "\x18"), "CAN");
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, "A"), "Unknown : 41");
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, "\xAB"), "Unknown : ab");
}

TEST(TraceSummary, TenBytesOrKindThreeIsAMessage) {
    const std::string nine = std::string("\x02") + "12345678";
    EXPECT_EQ(Summary(TRACE_TO_TERMINAL, nine), "Unknown : 02");
    EXPECT_EQ(Summary(TRACE_TO_TERMINAL, nine + "9"), "전문수신");
    EXPECT_EQ(Summary(TRACE_TMS, ""), "전문수신");  // a TMS mark carries no bytes
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, ""), "Unknown : 00");
}

TEST(TraceSummary, CarriageReturnBangAndPercentAreDropped) {
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, "\r"), "<dropped>");
    EXPECT_EQ(Summary(TRACE_FROM_TERMINAL, "!abc"), "<dropped>");
    EXPECT_EQ(Summary(TRACE_TO_TERMINAL, "%" + std::string(40, 'x')), "<dropped>");
}

class Console final : public ConsoleSink {
public:
    void Append(const char* line) override {
        lines.emplace_back(line);
        if (checkLog) logSizeAtAppend.push_back(LogLines().size());
    }
    void ClearConsole() override {
        lines.clear();
        ++clears;
    }
    std::vector<std::string> lines;
    std::vector<std::size_t> logSizeAtAppend;
    bool checkLog = false;
    int clears = 0;
};

TraceEvent Frame(TraceKind kind, const std::string& bytes) {
    TraceEvent e;
    e.kind = kind;
    std::memcpy(e.raw, bytes.data(), bytes.size());
    return e;
}

TraceEvent Text(TraceKind kind, const char* text) {
    TraceEvent e;
    e.kind = kind;
    std::snprintf(e.text, sizeof e.text, "%s", text);
    return e;
}

const std::string kStamp = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3}\])";

TEST(TraceRenderer, ConsoleAndLogLinesPerKind) {
    FreshDirectory dir;
    Console console;
    console.checkLog = true;
    TraceRenderer renderer(&console);
    renderer.SetLog(1);

    renderer.OnTraceEvent(1, Frame(TRACE_FROM_TERMINAL, "\x06"));
    renderer.OnTraceEvent(300, Frame(TRACE_FROM_TERMINAL, std::string(300, 'x')));
    renderer.OnTraceEvent(0, Text(TRACE_TMS, "서버접속-->127.0.0.1:9000"));
    renderer.OnTraceEvent(0, Text(TRACE_TEXT, "서버 접속오류!-->127.0.0.1:9000"));
    renderer.OnTraceEvent(4096, Frame(TRACE_TO_TERMINAL, "\x02" + std::string(4095, 'y')));

    ASSERT_EQ(console.lines.size(), 5u);
    EXPECT_TRUE(std::regex_match(console.lines[0], std::regex(kStamp + R"( \[CAT->VAN\] \[001\] \[ACK\]\r\n)")))
        << console.lines[0];
    EXPECT_TRUE(std::regex_match(console.lines[1], std::regex(kStamp + " \\[CAT->VAN\\] \\[300\\] \\[전문수신\\]\r\n")))
        << console.lines[1];
    EXPECT_TRUE(std::regex_match(console.lines[2], std::regex(kStamp + " \\[CAT<-TMS\\] \\[000\\] \\[전문수신\\]\r\n")))
        << console.lines[2];
    EXPECT_TRUE(std::regex_match(console.lines[3], std::regex(kStamp + " 서버 접속오류!-->127.0.0.1:9000\r\n")))
        << console.lines[3];
    EXPECT_TRUE(std::regex_match(console.lines[4], std::regex(kStamp + " \\[CAT<-VAN\\] \\[4096\\] \\[전문수신\\]\r\n")))
        << console.lines[4];

    const std::vector<std::string> expected = {
        "[CAT->VAN] [001] [ACK]", "[CAT->VAN] [300] [전문수신]", "[CAT<-TMS] [000] [전문수신]",
        "서버 접속오류!-->127.0.0.1:9000", "[CAT<-VAN] [4096] [전문수신]"};
    EXPECT_EQ(LogMessages(), expected);
    // Each event's log line is in the file before its console line is appended.
    EXPECT_EQ(console.logSizeAtAppend, (std::vector<std::size_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(renderer.EventCount(), 5);
}

TEST(TraceRenderer, AHeldLineKeepsItsPlaceAmongTheEvents) {
    FreshDirectory dir;
    Console console;
    TraceRenderer renderer(&console);
    renderer.SetLog(1);

    TraceEvent answer = Frame(TRACE_TO_TERMINAL, "\x06");
    answer.consoleLater = true;
    renderer.OnTraceEvent(1, answer);
    EXPECT_TRUE(console.lines.empty());  // held; its log line is written
    EXPECT_EQ(LogMessages(), std::vector<std::string>{"[CAT<-VAN] [001] [ACK]"});
    renderer.ShowHeldLine();
    renderer.ShowHeldLine();  // nothing held any more
    ASSERT_EQ(console.lines.size(), 1u);

    // An event before the release shows the held line first.
    renderer.OnTraceEvent(1, answer);
    renderer.OnTraceEvent(0, Text(TRACE_TEXT, "next"));
    ASSERT_EQ(console.lines.size(), 3u);
    EXPECT_NE(console.lines[1].find("[CAT<-VAN] [001] [ACK]"), std::string::npos);
    EXPECT_NE(console.lines[2].find("next"), std::string::npos);
}

TEST(TraceRenderer, ControlBytesInATextAreShownEscaped) {
    FreshDirectory dir;
    Console console;
    TraceRenderer renderer(&console);
    renderer.SetLog(1);
    // A host text from the terminal that would retitle, clear and ring a terminal emulator;
    // C1 CSI in UTF-8, DEL, tab and line ends too. The program's Korean stays as it is.
    renderer.OnTraceEvent(0, Text(TRACE_TEXT, "서버 접속오류!-->\x1b]0;x\x07\x1b[2J\xc2\x9b" "1m\x7f\t\r\n:9000"));
    const std::string shown = R"(서버 접속오류!-->\x1b]0;x\x07\x1b[2J\xc2\x9b1m\x7f\x09\x0d\x0a:9000)";
    ASSERT_EQ(console.lines.size(), 1u);
    const std::string& line = console.lines[0];
    EXPECT_EQ(line.substr(line.find("] ") + 2), shown + "\r\n");
    EXPECT_EQ(LogMessages(), std::vector<std::string>{shown});

    // The longest text, every byte a control byte, is shown whole.
    TraceEvent full;
    full.kind = TRACE_TEXT;
    std::memset(full.text, 0x1b, sizeof full.text - 1);
    renderer.OnTraceEvent(0, full);
    std::string escaped;
    for (std::size_t i = 0; i + 1 < sizeof full.text; ++i) escaped += "\\x1b";
    ASSERT_EQ(console.lines.size(), 2u);
    EXPECT_EQ(console.lines[1].substr(console.lines[1].find("] ") + 2), escaped + "\r\n");
}

TEST(TraceRenderer, DroppedEventsLeaveNothingAndDoNotCount) {
    FreshDirectory dir;
    Console console;
    TraceRenderer renderer(&console);
    renderer.SetLog(1);
    renderer.OnTraceEvent(1, Frame(TRACE_FROM_TERMINAL, "\r"));
    renderer.OnTraceEvent(5, Frame(TRACE_TO_TERMINAL, "!0000"));
    renderer.OnTraceEvent(12, Frame(TRACE_FROM_TERMINAL, "%" + std::string(11, '0')));
    EXPECT_TRUE(console.lines.empty());
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(renderer.EventCount(), 0);

    renderer.OnTraceEvent(0, Text(static_cast<TraceKind>(7), "unknown kind"));  // counts, shows nothing
    EXPECT_TRUE(console.lines.empty());
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(renderer.EventCount(), 1);
}

TEST(TraceRenderer, LoggingOffStillFillsTheConsole) {
    FreshDirectory dir;
    Console console;
    TraceRenderer renderer(&console);
    renderer.OnTraceEvent(1, Frame(TRACE_FROM_TERMINAL, "\x06"));
    renderer.OnTraceEvent(0, Text(TRACE_TEXT, "COM1 Open 성공!"));
    EXPECT_EQ(console.lines.size(), 2u);
    EXPECT_FALSE(std::filesystem::exists("gate_log"));
}

TEST(TraceRenderer, The5001stEventEmptiesTheConsoleFirst) {
    Console console;
    TraceRenderer renderer(&console);
    const TraceEvent ack = Frame(TRACE_FROM_TERMINAL, "\x06");
    for (int i = 0; i < 5000; ++i) {
        renderer.OnTraceEvent(1, ack);
        if (i == 2000) renderer.OnTraceEvent(1, Frame(TRACE_FROM_TERMINAL, "\r"));  // dropped: not counted
    }
    EXPECT_EQ(console.clears, 0);
    EXPECT_EQ(console.lines.size(), 5000u);
    EXPECT_EQ(renderer.EventCount(), 5000);

    renderer.OnTraceEvent(0, Text(TRACE_TEXT, "the 5001st"));
    EXPECT_EQ(console.clears, 1);
    ASSERT_EQ(console.lines.size(), 1u);
    EXPECT_NE(console.lines[0].find("the 5001st"), std::string::npos);
    EXPECT_EQ(renderer.EventCount(), 0);
}

}  // namespace

TEST(TraceFrameBytes, LineBreaksInsideAFrameAreEscapedEverythingElseStays) {
    char bytes[64] = {};
    // A forged line in code page 949 ("종료" is C1 BE B7 E1) between CR LF pairs.
    const std::string frame = "\x02" "A\r\n" "\xc1\xbe\xb7\xe1" "\n\r" "\x1c\x03";
    frame.copy(bytes, frame.size());
    const int n = EscapeLineBreaks(bytes, static_cast<int>(frame.size()), sizeof bytes);
    EXPECT_EQ(std::string(bytes, static_cast<std::size_t>(n)),
              "\x02" "A\\x0d\\x0a" "\xc1\xbe\xb7\xe1" "\\x0a\\x0d" "\x1c\x03");
    // No room for the escapes: the breaks become '*', the count stays, no line starts.
    frame.copy(bytes, frame.size());
    EXPECT_EQ(EscapeLineBreaks(bytes, static_cast<int>(frame.size()), static_cast<int>(frame.size()) + 3),
              static_cast<int>(frame.size()));
    EXPECT_EQ(std::string(bytes, frame.size()), "\x02" "A**" "\xc1\xbe\xb7\xe1" "**" "\x1c\x03");
    // Vertical tab and form feed (line breaks to some tools) and escape (drives a terminal) too;
    // a backspace, a tab and a C1 byte stay.
    const std::string drives = "A\x0b" "B\x0c" "C\x1b[2J" "\x08\x09\x85";
    drives.copy(bytes, drives.size());
    const int m = EscapeLineBreaks(bytes, static_cast<int>(drives.size()), sizeof bytes);
    EXPECT_EQ(std::string(bytes, static_cast<std::size_t>(m)),
              "A\\x0b" "B\\x0c" "C\\x1b[2J" "\x08\x09\x85");
}
