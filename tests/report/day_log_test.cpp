// The day's log read back: lines cut anywhere by the pieces it is read in, code page 949 texts,
// the trace's CR CR LF, frame lines whose bytes hold line feeds, and the bounds on what it keeps.
#include "report/day_log.h"
#include "report/render.h"
#include "sys/sys.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Cp949(const std::string& utf8) {
    std::string out(utf8.size() * 2 + 8, '\0');
    const long n = sys::Utf8ToCp949(utf8.data(), utf8.size(), out.data(), out.size());
    EXPECT_GE(n, 0) << utf8;
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
}

// One log line as the program writes it: "[date time][pid] ▷ " + text + CR LF.
std::string Line(const std::string& time, const std::string& text, int pid = 4242,
                 const std::string& date = "2026/12/07") {
    return Cp949("[" + date + " " + time + "][" + std::to_string(pid) + "] ▷ ") + text + "\r\n";
}
std::string Tevn(const std::string& time, const std::string& utf8, int pid = 4242) {
    return Line(time, Cp949("TEVN-> " + utf8), pid);
}

std::string End(const std::string& server, int sent, int answers, const std::string& first,
                const std::string& cause) {
    return "서버 접속 종료 : " + server + ", 송신 " + std::to_string(sent) + ", 수신 " +
           std::to_string(answers) + ", 첫응답 " + first + ", 접속 900ms, 결과 " + cause;
}

report::DayReport Read(const std::string& log, std::size_t piece = 0) {
    report::DayReader reader(2026, 12, 7);
    if (piece == 0) piece = log.size();
    for (std::size_t at = 0; at < log.size(); at += piece)
        reader.Feed(log.data() + at, std::min(piece, log.size() - at));
    return reader.Finish();
}

// A day with every kind of line the program writes.
std::string SampleDay() {
    std::string log;
    log += Tevn("08:59:59", "프로그램 시작 : 버전 1, 0, 0, 5, 포트 COM3, 로그 폴더 C:\\로그, server key: 948a (test key)");
    log += Line("08:59:59", Cp949("로그 폴더-->C:\\로그") + "\r");
    log += Line("08:59:59", Cp949("COM3 Open 성공!") + "\r");
    log += Line("09:00:01", Cp949("[CAT->VAN] [022] [전문수신]") + "\r");
    log += Tevn("09:00:01", "서버 접속 : SECURE 10.0.0.1:9000");
    log += Line("09:00:01", Cp949("서버접속-->10.0.0.1:9000") + "\r");
    log += Line("09:00:02", Cp949("TEVN-> [요청전문][38][") + "\x02" "0200 4111\n\r\n" "\x03" "]\r\n");
    log += Line("09:00:02", Cp949("TEVN-> [응답전문][15][") + "\x02" "0210OK" "\x03" "]\r\n");
    log += Line("09:00:02", Cp949("[CAT<-VAN] [015] [전문수신]") + "\r");
    log += Line("09:00:03", Cp949("TIMEOUT 접속해제!-->(-1)") + "\r");
    log += Line("09:00:03", Cp949("접속해제!(-1)-->쓰레드종료") + "\r");
    log += Tevn("09:00:03", End("SECURE 10.0.0.1:9000", 2, 1, "640ms", "ended"));
    log += Tevn("10:15:00", "ERROR : Connect Error (ERRNO = 111)");
    log += Tevn("10:15:00", "서버 접속 실패 : PLAIN 10.0.0.2:9100 (connect)");
    log += Line("10:15:00", Cp949("[CAT<-TMS] [000] [전문수신]") + "\r");
    log += Tevn("10:20:00", "ERROR : Connect Error (ERRNO = 110)");
    log += Tevn("10:20:00", "서버 접속 실패 : SECURE 10.0.0.1:9000 (connect)");
    log += Tevn("11:00:00", "ERROR : 허용되지 않은 서버 (10.9.9.9:80, 10.0.0.0/24)");
    log += Tevn("11:00:00", "서버 접속 실패 : SECURE 10.9.9.9:80 (not-allowed)");
    log += Tevn("12:00:00", "ERROR : 시리얼 포트 끊김 (COM3)");
    log += Line("12:00:00", Cp949("시리얼 포트 끊김!-->COM3") + "\r");
    log += Tevn("12:05:00", "시리얼 포트 복구 (COM3)");
    log += Tevn("13:00:00", "서버 접속 : SECURE 10.0.0.1:9000");
    log += Tevn("13:00:01", "ERROR : SEED 복호화 오류!");
    log += Tevn("13:00:01", End("SECURE 10.0.0.1:9000", 1, 0, "-", "decrypt-error"));
    log += Tevn("14:00:00", "서버 접속 : PLAIN 10.0.0.2:9100");
    log += Tevn("14:01:40", End("PLAIN 10.0.0.2:9100", 1, 0, "-", "timeout"));
    log += Tevn("14:02:00", "서버 접속 : PLAIN 10.0.0.2:9100");
    log += Tevn("14:02:01", "ERROR : 단말기 쓰기 오류 (3/15 바이트)");
    log += Tevn("14:02:01", End("PLAIN 10.0.0.2:9100", 1, 1, "120ms", "terminal-write-error"));
    log += Tevn("15:00:00", "ERROR : Allowed Servers 설정 오류 (10.0.0.300): 어떤 서버에도 접속하지 않습니다");
    log += Tevn("16:00:00", "서버 접속 : SECURE 10.0.0.1:9000");
    log += Tevn("18:00:00", "프로그램 종료");
    return log;
}

TEST(DayLog, EveryKindOfLineIsPlacedWhateverThePiecesItIsReadIn) {
    const std::string log = SampleDay();
    const report::DayReport whole = Read(log);
    EXPECT_EQ(whole.unplaced, 0);
    EXPECT_EQ(whole.otherDay, 0);
    EXPECT_EQ(whole.connections, 8);
    EXPECT_EQ(whole.outcomes[report::OUT_ANSWERED], 1);
    EXPECT_EQ(whole.outcomes[report::OUT_REFUSED], 1);
    EXPECT_EQ(whole.outcomes[report::OUT_UNREACHABLE], 1);
    EXPECT_EQ(whole.outcomes[report::OUT_NOT_ALLOWED], 1);
    EXPECT_EQ(whole.outcomes[report::OUT_DECRYPT], 1);
    EXPECT_EQ(whole.outcomes[report::OUT_TIMEOUT], 1);
    EXPECT_EQ(whole.outcomes[report::OUT_TERMINAL_WRITE], 1);
    EXPECT_EQ(whole.outcomes[report::OUT_UNFINISHED], 1);  // the stop closed it without its end
    EXPECT_EQ(whole.perHour[9][report::OUT_ANSWERED], 1);
    EXPECT_EQ(whole.perHour[14][report::OUT_TIMEOUT], 1);  // counted at its connect, not its end
    EXPECT_EQ(whole.times.Count(), 1);
    EXPECT_EQ(whole.times.Max(), 640);
    EXPECT_EQ(whole.requests, 1);
    EXPECT_EQ(whole.requestBytes, 38);
    EXPECT_EQ(whole.answers, 1);
    EXPECT_EQ(whole.fromTerminal, 1);
    EXPECT_EQ(whole.toTerminal, 1);
    ASSERT_EQ(whole.events.size(), 5u);
    EXPECT_EQ(whole.events[0].kind, report::EV_START);
    EXPECT_EQ(whole.events[0].detail, "버전 1, 0, 0, 5, 포트 COM3");
    EXPECT_EQ(whole.events[1].kind, report::EV_PORT_LOST);
    EXPECT_EQ(whole.events[1].detail, "COM3");
    EXPECT_EQ(whole.events[2].kind, report::EV_PORT_BACK);
    EXPECT_EQ(whole.events[3].kind, report::EV_SETTINGS);
    EXPECT_EQ(whole.events[3].detail, "10.0.0.300");
    EXPECT_EQ(whole.events[4].kind, report::EV_STOP);
    ASSERT_EQ(whole.failures.size(), 7u);
    EXPECT_EQ(whole.failures[0].detail, "ERRNO = 111");
    EXPECT_EQ(whole.failures[1].detail, "ERRNO = 110");
    EXPECT_EQ(whole.failures[0].server, "10.0.0.2:9100");
    EXPECT_EQ(whole.failures[0].route, report::ROUTE_PLAIN);

    for (std::size_t piece : {1u, 2u, 7u, 64u, 1000u}) {
        SCOPED_TRACE(piece);
        const report::DayReport cut = Read(log, piece);
        EXPECT_EQ(cut.lines, whole.lines);
        EXPECT_EQ(cut.unplaced, 0);
        EXPECT_EQ(cut.connections, whole.connections);
        for (int o = 0; o < report::OUT_COUNT; ++o) EXPECT_EQ(cut.outcomes[o], whole.outcomes[o]) << o;
        EXPECT_EQ(cut.events.size(), whole.events.size());
    }
}

TEST(DayLog, NeitherSummaryNorPageShowsAFramesBytes) {
    const report::DayReport day = Read(SampleDay());
    for (const std::string& shown : {report::TextSummary(day, "x.log"), report::HtmlPage(day, "x.log")}) {
        EXPECT_EQ(shown.find("4111"), std::string::npos);
        EXPECT_EQ(shown.find("0210OK"), std::string::npos);
    }
    const std::string page = report::HtmlPage(day, "<x>.log");
    EXPECT_NE(page.find("&lt;x&gt;.log"), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
}

TEST(DayLog, DamagedForeignAndOtherDaysAreCountedNotPlaced) {
    std::string log = Tevn("09:00:00", "서버 접속 : SECURE 10.0.0.1:9000");
    log += "plain text from another program\r\n";
    log += Line("09:00:01", Cp949("TEVN-> 이런 줄은 없습니다"));
    log += Line("09:00:01", Cp949("TEVN-> " + End("SECURE 10.0.0.1:9000", 1, 1, "12ms", "exploded")));
    log += Line("00:00:01", Cp949("TEVN-> 프로그램 종료"), 1, "2026/12/08");
    log += std::string(40000, 'x') + "\r\n";  // a line beyond any the program writes
    log += Cp949("[2026/12/07 09:00:0");    // cut in the middle of its stamp
    const report::DayReport day = Read(log, 4096);
    EXPECT_EQ(day.lines, 7);
    EXPECT_EQ(day.unplaced, 5);
    EXPECT_EQ(day.otherDay, 1);
    EXPECT_EQ(day.outcomes[report::OUT_UNFINISHED], 1);
    const std::string text = report::TextSummary(day, "x.log");
    EXPECT_NE(text.find("읽지 못한 줄 (lines not placed): 5, 다른 날짜의 줄 (lines of another day): 1"),
              std::string::npos);
}

TEST(DayLog, WhatItKeepsIsBoundedAndARunWithoutStopIsSaid) {
    std::string log;
    for (int i = 0; i < 300; ++i) {
        const std::string server = "SECURE 10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200) + ":9000";
        log += Tevn("10:00:00", "서버 접속 : " + server, 100 + i % 40);
        log += Tevn("10:00:01", End(server, 1, 0, "-", "timeout"), 100 + i % 40);
    }
    log += Tevn("11:00:00", "프로그램 시작 : 버전 1", 7);
    log += Tevn("11:00:01", "서버 접속 : PLAIN 10.0.0.2:9100", 7);
    log += Tevn("12:00:00", "프로그램 시작 : 버전 1", 8);
    const report::DayReport day = Read(log);
    EXPECT_EQ(day.connections, 301);
    EXPECT_EQ(day.outcomes[report::OUT_TIMEOUT], 300);
    EXPECT_EQ(day.failureCount, 301);
    EXPECT_EQ(day.failures.size(), report::DayReport::kMaxFailures);
    // The rest are kept as the last ones, the latest at the end.
    ASSERT_EQ(day.LastFailures().size(), 101u);
    EXPECT_EQ(day.LastFailures().back().outcome, report::OUT_UNFINISHED);
    EXPECT_EQ(day.servers.size(), report::DayReport::kMaxServers);
    EXPECT_EQ(day.otherServers, 301 - static_cast<long long>(report::DayReport::kMaxServers));
    ASSERT_EQ(day.events.size(), 3u);
    EXPECT_EQ(day.events[1].kind, report::EV_UNCLEAN_END);
    EXPECT_EQ(day.events[1].second, 11 * 3600 + 1);  // the killed run's last line, not the next start
    EXPECT_EQ(day.outcomes[report::OUT_UNFINISHED], 1);
}

// A busy day: failures all morning, and the one the shop calls about late in the afternoon.
std::string BusyDay() {
    std::string log = Tevn("08:00:00", "프로그램 종료");  // a run that logged no start
    for (int i = 0; i < 600; ++i) {
        const std::string at = "09:" + std::string(i / 10 % 60 < 10 ? "0" : "") + std::to_string(i / 10 % 60) + ":00";
        log += Tevn(at, "서버 접속 : PLAIN 10.0.0.2:9100");
        log += Tevn(at, End("PLAIN 10.0.0.2:9100", 1, 0, "-", "timeout"));
    }
    log += Tevn("13:00:00", "서버 접속 : PLAIN 10.0.0.2:9100");
    log += Tevn("13:00:01", End("PLAIN 10.0.0.2:9100", 2, 1, "80ms", "ended"));
    // A server that answers with no envelope, and one whose envelope is cut short.
    log += Tevn("14:05:00", "서버 접속 : SECURE 10.0.0.9:9300");
    log += Tevn("14:05:01", "Receive Error[0]!");
    log += Tevn("14:05:01", End("SECURE 10.0.0.9:9300", 1, 0, "-", "receive-error"));
    log += Tevn("14:06:00", "서버 접속 : SECURE 10.0.0.1:9000");
    log += Tevn("14:06:01", "Receive 전문사이즈 Error!");
    log += Tevn("14:06:01", End("SECURE 10.0.0.1:9000", 1, 0, "-", "receive-error"));
    log += Tevn("14:07:00", "서버 접속 : SECURE 10.0.0.1:9000");
    log += Tevn("14:07:01", "Receive Error[120]!");
    log += Tevn("14:07:01", End("SECURE 10.0.0.1:9000", 1, 0, "-", "receive-error"));
    // A host that is no address, and a port beyond any.
    log += Tevn("14:08:00", "ERROR : Connect Error (ERRNO = 22)");
    log += Tevn("14:08:00", "서버 접속 실패 : SECURE 4111:12 (connect)");
    log += Tevn("14:09:00", "ERROR : Connect Error (ERRNO = 111)");
    log += Tevn("14:09:00", "서버 접속 실패 : PLAIN 10.0.0.2:99999 (connect)");
    log += Tevn("14:10:00", "ERROR : Connect Error (ERRNO = 111)");
    log += Tevn("14:10:00", "서버 접속 실패 : PLAIN 10.0.0.2:9100 (connect)");
    return log;
}

TEST(DayLog, ABusyDaysLateFailuresAreListedCountedPerHourAndNamedAlike) {
    const report::DayReport day = Read(BusyDay(), 333);
    EXPECT_EQ(day.unplaced, 0);
    EXPECT_EQ(day.outcomes[report::OUT_TIMEOUT], 600);
    EXPECT_EQ(day.outcomes[report::OUT_BAD_ANSWER], 1);
    EXPECT_EQ(day.outcomes[report::OUT_RECEIVE], 2);
    EXPECT_EQ(day.outcomes[report::OUT_BAD_ADDRESS], 2);
    EXPECT_EQ(day.outcomes[report::OUT_REFUSED], 1);
    ASSERT_FALSE(day.events.empty());
    EXPECT_EQ(day.events[0].kind, report::EV_NO_START);
    EXPECT_EQ(day.routeTimes[report::ROUTE_PLAIN].Count(), 1);
    EXPECT_EQ(day.routeOutcomes[report::ROUTE_PLAIN][report::OUT_TIMEOUT], 600);

    const std::string text = report::TextSummary(day, "x.log");
    const std::string page = report::HtmlPage(day, "x.log");
    // The afternoon's failures are in both, after the first ones of the morning.
    for (const std::string& shown : {text, page}) {
        EXPECT_NE(shown.find("14:05:00"), std::string::npos);
        EXPECT_NE(shown.find("14:10:00"), std::string::npos);
        EXPECT_NE(shown.find("잘못된 응답 (bad answer)"), std::string::npos);
        EXPECT_NE(shown.find("응답 잘림 (answer cut short)"), std::string::npos);
        EXPECT_NE(shown.find("잘못된 주소 (bad address)"), std::string::npos);
        EXPECT_NE(shown.find("09:00-10:00"), std::string::npos);
    }
    EXPECT_NE(text.find("  09:00-10:00  시간 초과 (time-out) 600\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  14:00-15:00  접속 거부 (refused) 1, 잘못된 주소 (bad address) 2, "
                        "응답 잘림 (answer cut short) 2, 잘못된 응답 (bad answer) 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("p50 80 ms, p90 80 ms, max 80 ms (응답 answered 1, 시간 초과 time-outs 600 제외 not counted)"),
              std::string::npos)
        << text;
    // Every outcome of the day has the same one name in the summary and on the page.
    for (int o = 0; o < report::OUT_COUNT; ++o) {
        if (day.outcomes[o] == 0) continue;
        const std::string name = report::OutcomeLabel(o);
        EXPECT_NE(name.find(" ("), std::string::npos) << name;
        EXPECT_NE(text.find(name + " " + std::to_string(day.outcomes[o])), std::string::npos) << name;
        EXPECT_NE(page.find(name + " " + std::to_string(day.outcomes[o])), std::string::npos) << name;
        if (o != report::OUT_ANSWERED)  // the failures table's cell
            EXPECT_NE(page.find(name + "</td>"), std::string::npos) << name;
    }
    // Nothing of the old second names remains.
    for (const char* old : {"receive error", "connect refused", "응답 수신 오류", "(the first of all)"}) {
        EXPECT_EQ(text.find(old), std::string::npos) << old;
        EXPECT_EQ(page.find(old), std::string::npos) << old;
    }
}

TEST(DayLog, AWindowListsOnlyItsFailuresAndKeepsTheDaysCounts) {
    const std::string log = BusyDay();
    report::DayReader reader(2026, 12, 7);
    reader.SetFailureWindow(14 * 3600, 14 * 3600 + 8 * 60 + 59);
    reader.Feed(log.data(), log.size());
    const report::DayReport& day = reader.Finish();
    EXPECT_EQ(day.failureCount, 606);
    EXPECT_EQ(day.windowFailures, 4);
    ASSERT_EQ(day.failures.size(), 4u);
    EXPECT_EQ(day.failures.back().second, 14 * 3600 + 8 * 60);
    EXPECT_TRUE(day.LastFailures().empty());
    const std::string text = report::TextSummary(day, "x.log");
    EXPECT_NE(text.find("14:00-14:08 사이의 실패 (failures between 14:00-14:08): 4 / 전체 (of all) 606"),
              std::string::npos)
        << text;
}

TEST(DayLog, ADayOfOtherDaysLinesSaysNoneInEverySection) {
    const report::DayReport day = Read(Line("09:00:00", Cp949("TEVN-> 프로그램 종료"), 1, "2026/12/06"));
    EXPECT_EQ(day.otherDay, 1);
    const std::string text = report::TextSummary(day, "x.log");
    for (const char* title : {"경로와 서버별 (by route and server)", "결과 (outcomes)", "이벤트 (events)",
                              "시간대별 실패 (failures per hour)", "첫 실패 (first failures)"})
        EXPECT_NE(text.find(std::string(title) + ":\n  (없음 none)\n"), std::string::npos) << title << text;
}

TEST(AnswerTimes, PercentilesWithinTheBinOfTheTrueValue) {
    report::AnswerTimes t;
    EXPECT_EQ(t.Percentile(50), -1);
    for (int ms = 1; ms <= 100; ++ms) t.Add(ms);
    EXPECT_EQ(t.Percentile(50), 50);
    EXPECT_EQ(t.Percentile(90), 90);
    t.Add(4321);
    t.Add(1000000);  // beyond the bins: the maximum still says how long
    EXPECT_EQ(t.Max(), 1000000);
    EXPECT_EQ(t.Percentile(100), 1000000);
    report::AnswerTimes slow;
    for (int i = 0; i < 10; ++i) slow.Add(4321);
    EXPECT_GE(slow.Percentile(50), 4321);
    EXPECT_LE(slow.Percentile(50), 4330);
}

TEST(ParseDay, BothFormsAndRealDatesOnly) {
    int y = 0, m = 0, d = 0;
    EXPECT_TRUE(report::ParseDay("20261207", &y, &m, &d));
    EXPECT_EQ(y * 10000 + m * 100 + d, 20261207);
    EXPECT_TRUE(report::ParseDay("2028-02-29", &y, &m, &d));
    for (const char* bad : {"2026-02-29", "20261307", "2026/12/07", "2026127", "today", ""})
        EXPECT_FALSE(report::ParseDay(bad, &y, &m, &d)) << bad;
    EXPECT_EQ(report::DayFileName(2026, 1, 5), "brisca20260105.log");
}

}  // namespace
