#include "report/render.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace report {

namespace {

const char* const kColours[OUT_COUNT] = {
    "#2e7d32", "#8d6e63", "#f9a825", "#c62828", "#ad1457", "#d81b60", "#6a1b9a", "#1565c0",
    "#0277bd", "#00838f", "#ef6c00", "#4e342e", "#757575", "#90a4ae", "#bdbdbd",
};

std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

std::string Format(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return std::string();
    return std::string(buffer, static_cast<std::size_t>(n) < sizeof buffer ? static_cast<std::size_t>(n)
                                                                           : sizeof buffer - 1);
}

std::string Clock(int second) {
    if (second < 0) return "--:--:--";
    return Format("%02d:%02d:%02d", second / 3600, second / 60 % 60, second % 60);
}

std::string Ms(long long ms) { return ms < 0 ? std::string("-") : std::to_string(ms) + " ms"; }

// The text padded to a terminal width: Hangul and other wide characters take two columns.
std::string Pad(const std::string& text, std::size_t width) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        unsigned code = c;
        if (len == 3 && i + 2 < text.size())
            code = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                   (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
        columns += len == 3 && code >= 0x1100 ? 2 : 1;
        i += len;
    }
    return columns >= width ? text : text + std::string(width - columns, ' ');
}

// The outcomes of a server or an hour as "answered 95, time-out 3".
std::string OutcomeList(const long long* outcomes) {
    std::string out;
    for (int o = 0; o < OUT_COUNT; ++o) {
        if (outcomes[o] == 0) continue;
        if (!out.empty()) out += ", ";
        out += OutcomeLabel(o) + std::string(" ") + std::to_string(outcomes[o]);
    }
    return out;
}

const char* RouteName(int route) { return route == ROUTE_SECURE ? "보안 (SECURE)" : "일반 (PLAIN)"; }

// Answer times of one route with the connections they leave out: a day of time-outs must not
// look like a good day because only the answered ones have a time.
std::string TimesLine(const AnswerTimes& t, const long long* outcomes) {
    std::string out = t.Count() == 0 ? std::string("-")
                                     : "p50 " + Ms(t.Percentile(50)) + ", p90 " + Ms(t.Percentile(90)) +
                                           ", max " + Ms(t.Max());
    out += " (응답 answered " + std::to_string(t.Count());
    if (outcomes[OUT_TIMEOUT] > 0)
        out += ", 시간 초과 time-outs " + std::to_string(outcomes[OUT_TIMEOUT]) + " 제외 not counted";
    return out + ")";
}

bool HasFailures(const long long* outcomes) {
    for (int o = 0; o < OUT_COUNT; ++o)
        if (o != OUT_ANSWERED && outcomes[o] > 0) return true;
    return false;
}

// The failures of an hour by cause, as "시간 초과 (time-out) 3, 접속 거부 (refused) 2".
std::string FailureList(const long long* outcomes) {
    long long copy[OUT_COUNT];
    for (int o = 0; o < OUT_COUNT; ++o) copy[o] = o == OUT_ANSWERED ? 0 : outcomes[o];
    return OutcomeList(copy);
}

std::string WindowText(const DayReport& day) {
    return Format("%02d:%02d-%02d:%02d", day.windowFrom / 3600, day.windowFrom / 60 % 60, day.windowTo / 3600,
                  day.windowTo / 60 % 60);
}

// "처음 20건 / 600건 (the first 20 of 600)": what part of the failures a list shows.
std::string ListedText(const char* koreanWhich, const char* englishWhich, std::size_t shown, long long all) {
    return std::string(koreanWhich) + " " + std::to_string(shown) + "건 / 전체 " + std::to_string(all) + "건 (" +
           englishWhich + " " + std::to_string(shown) + " of " + std::to_string(all) + ")";
}

std::string Escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

int BusiestHour(const DayReport& day, long long* count) {
    int best = -1;
    *count = 0;
    for (int h = 0; h < 24; ++h) {
        long long total = 0;
        for (int o = 0; o < OUT_COUNT; ++o) total += day.perHour[h][o];
        if (total > *count) {
            *count = total;
            best = h;
        }
    }
    return best;
}

std::string DayText(const DayReport& day) {
    if (day.year == 0) return "?";
    return Format("%04d-%02d-%02d", day.year, day.month, day.day);
}

// A round step for an axis that reaches at least top in about four steps.
long long NiceStep(long long top) {
    long long step = 1;
    while (step * 4 < top) {
        if (step * 2 * 4 >= top) return step * 2;
        if (step * 5 * 4 >= top) return step * 5;
        step *= 10;
    }
    return step;
}

struct Span {
    int from, to;
};

// The runs of the program and the times the port was away, from the day's events.
void Spans(const DayReport& day, std::vector<Span>* running, std::vector<Span>* portAway) {
    const int end = day.lastSecond < 0 ? 0 : day.lastSecond;
    int runFrom = -1, lostFrom = -1;
    for (const Event& e : day.events) {
        switch (e.kind) {
        case EV_START:
            if (runFrom >= 0) running->push_back({runFrom, e.second});
            runFrom = e.second;
            break;
        case EV_STOP:
        case EV_UNCLEAN_END:
            if (runFrom >= 0) running->push_back({runFrom, e.second});
            runFrom = -1;
            if (lostFrom >= 0) portAway->push_back({lostFrom, e.second});
            lostFrom = -1;
            break;
        case EV_PORT_LOST:
            if (lostFrom < 0) lostFrom = e.second;
            break;
        case EV_PORT_BACK:
            if (lostFrom >= 0) portAway->push_back({lostFrom, e.second});
            lostFrom = -1;
            break;
        default:
            break;
        }
    }
    if (runFrom >= 0) running->push_back({runFrom, end});
    if (lostFrom >= 0) portAway->push_back({lostFrom, end});
}

constexpr std::size_t kTextEvents = 40;    // events listed in the terminal summary
constexpr std::size_t kTextFailures = 20;  // failures listed first and last in the terminal summary

constexpr int kChartLeft = 64, kChartWidth = 720, kChartRight = kChartLeft + kChartWidth;

double DayX(int second) { return kChartLeft + kChartWidth * (second / 86400.0); }

std::string HourAxis(int baseline) {
    std::string svg;
    for (int h = 0; h <= 24; h += 3) {
        const double x = kChartLeft + kChartWidth * h / 24.0;
        svg += Format("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" class=\"tick\"/>", x, baseline, x,
                      baseline + 4);
        svg += Format("<text x=\"%.1f\" y=\"%d\" class=\"axis\" text-anchor=\"middle\">%02d:00</text>", x,
                      baseline + 16, h);
    }
    return svg;
}

// The horizontal grid lines of a chart and their values at the left, from 0 to scale.
std::string ValueGrid(long long scale, long long step, int base, int height, const char* unit) {
    std::string svg;
    for (long long v = 0; v <= scale; v += step) {
        const double y = base - height * static_cast<double>(v) / static_cast<double>(scale);
        svg += Format("<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" class=\"grid\"/>", kChartLeft, y,
                      kChartRight, y);
        svg += Format("<text x=\"%d\" y=\"%.1f\" class=\"axis\" text-anchor=\"end\">%lld%s</text>",
                      kChartLeft - 6, y + 4, v, unit);
    }
    return svg;
}

std::string HourChart(const DayReport& day) {
    constexpr int top = 10, height = 180, base = top + height;
    long long busiest = 0;
    BusiestHour(day, &busiest);
    const long long step = NiceStep(busiest < 1 ? 1 : busiest);
    const long long scale = step * ((busiest + step - 1) / step < 1 ? 1 : (busiest + step - 1) / step);
    std::string svg = Format("<svg id=\"hours\" role=\"img\" viewBox=\"0 0 %d %d\" width=\"%d\" height=\"%d\">",
                             kChartRight + 24, base + 24, kChartRight + 24, base + 24);
    svg += "<title>시간대별 접속 (connections per hour, by outcome)</title>";
    svg += ValueGrid(scale, step, base, height, "");
    const double slot = kChartWidth / 24.0;
    for (int h = 0; h < 24; ++h) {
        double y = base;
        for (int o = 0; o < OUT_COUNT; ++o) {
            const long long c = day.perHour[h][o];
            if (c == 0) continue;
            const double bar = height * static_cast<double>(c) / static_cast<double>(scale);
            y -= bar;
            svg += Format("<rect class=\"bar\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
                          "fill=\"%s\"><title>%02d:00 %s: %lld</title></rect>",
                          kChartLeft + h * slot + 3, y, slot - 6, bar, kColours[o], h, OutcomeLabel(o), c);
        }
    }
    svg += HourAxis(base);
    svg += "</svg>";
    return svg;
}

std::string TimesChart(const DayReport& day) {
    constexpr int top = 10, height = 160, base = top + height;
    long long highest = 0;
    for (int s = 0; s < DayReport::kSlots; ++s) highest = std::max(highest, day.slotMaxMs[s]);
    const long long step = NiceStep(highest < 1 ? 1 : highest);
    const long long scale = step * std::max(1LL, (highest + step - 1) / step);
    std::string svg = Format("<svg id=\"times\" role=\"img\" viewBox=\"0 0 %d %d\" width=\"%d\" height=\"%d\">",
                             kChartRight + 24, base + 24, kChartRight + 24, base + 24);
    svg += "<title>서버 응답 시간 (server answer time: mean and longest per five minutes)</title>";
    svg += ValueGrid(scale, step, base, height, " ms");
    for (int s = 0; s < DayReport::kSlots; ++s) {
        if (day.slotCount[s] == 0) continue;
        const double x = DayX(s * 300 + 150);
        const long long mean = day.slotSumMs[s] / day.slotCount[s];
        const double yMean = base - height * static_cast<double>(mean) / static_cast<double>(scale);
        const double yMax = base - height * static_cast<double>(day.slotMaxMs[s]) / static_cast<double>(scale);
        svg += Format("<line class=\"span\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>", x, yMean, x, yMax);
        svg += Format("<circle class=\"point\" cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\"><title>%s: 응답 answered %lld, "
                      "평균 mean %lld ms, 최대 max %lld ms</title></circle>",
                      x, yMean, Clock(s * 300).c_str(), day.slotCount[s], mean, day.slotMaxMs[s]);
    }
    svg += HourAxis(base);
    svg += "</svg>";
    return svg;
}

std::string Timeline(const DayReport& day) {
    std::vector<Span> running, portAway;
    Spans(day, &running, &portAway);
    constexpr int rowHeight = 26, rows = 3, top = 6, base = top + rows * rowHeight;
    std::string svg = Format("<svg id=\"timeline\" role=\"img\" viewBox=\"0 0 %d %d\" width=\"%d\" height=\"%d\">",
                             kChartRight + 24, base + 24, kChartRight + 24, base + 24);
    svg += "<title>하루의 흐름 (timeline: program running, port away, connection failures)</title>";
    const char* const names[rows] = {"실행 run", "포트 port", "실패 fail"};
    for (int r = 0; r < rows; ++r) {
        const int y = top + r * rowHeight;
        svg += Format("<text x=\"%d\" y=\"%d\" class=\"axis\" text-anchor=\"end\">%s</text>", kChartLeft - 6,
                      y + 17, names[r]);
        svg += Format("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" class=\"lane\"/>", kChartLeft, y + 4,
                      kChartWidth, rowHeight - 8);
    }
    for (const Span& s : running)
        svg += Format("<rect class=\"run\" x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\"><title>%s-%s "
                      "실행 (running)</title></rect>",
                      DayX(s.from), top + 4, std::max(1.5, DayX(s.to) - DayX(s.from)), rowHeight - 8,
                      Clock(s.from).c_str(), Clock(s.to).c_str());
    for (const Span& s : portAway)
        svg += Format("<rect class=\"away\" x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\"><title>%s-%s "
                      "포트 끊김 (port away)</title></rect>",
                      DayX(s.from), top + rowHeight + 4, std::max(1.5, DayX(s.to) - DayX(s.from)),
                      rowHeight - 8, Clock(s.from).c_str(), Clock(s.to).c_str());
    for (const Event& e : day.events) {
        if (e.kind != EV_LOG_LIMIT && e.kind != EV_SETTINGS && e.kind != EV_UNCLEAN_END &&
            e.kind != EV_PORT_OPEN_FAILED)
            continue;
        svg += Format("<path class=\"mark\" d=\"M%.1f %d l5 -8 h-10 z\"><title>%s %s</title></path>",
                      DayX(e.second), top + 4, Clock(e.second).c_str(), Escape(EventLabel(e.kind)).c_str());
    }
    std::vector<Failure> ticks = day.failures;
    for (const Failure& f : day.LastFailures()) ticks.push_back(f);
    for (const Failure& f : ticks)
        svg += Format("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"%s\" class=\"fail\"><title>%s "
                      "%s</title></line>",
                      DayX(f.second), top + 2 * rowHeight + 4, DayX(f.second), top + 3 * rowHeight - 4,
                      kColours[f.outcome], Clock(f.second).c_str(), OutcomeLabel(f.outcome));
    svg += HourAxis(base);
    svg += "</svg>";
    return svg;
}

const char kStyle[] =
    "body{font-family:'Malgun Gothic','NanumGothic','Noto Sans CJK KR',sans-serif;margin:16px 24px;"
    "color:#222;background:#fff;max-width:1000px}"
    "h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:22px 0 6px;border-bottom:1px solid #ccc}"
    ".note{color:#555;font-size:13px}.warn{color:#b71c1c;font-weight:bold}"
    "table{border-collapse:collapse;font-size:13px}td,th{border:1px solid #ddd;padding:3px 8px;"
    "text-align:left}th{background:#f3f3f3}td.n{text-align:right;white-space:nowrap}td.r{white-space:nowrap}"
    ".cards{display:flex;gap:12px;flex-wrap:wrap}.card{border:1px solid #ddd;border-radius:6px;"
    "padding:8px 14px;min-width:120px}.card b{display:block;font-size:22px}"
    "svg{display:block;margin:4px 0}.axis{font-size:11px;fill:#555}.grid{stroke:#e4e4e4}"
    ".tick{stroke:#999}.lane{fill:#f6f6f6}.run{fill:#81c784}.away{fill:#e53935}"
    ".mark{fill:#6a1b9a}.fail{stroke-width:2}.point{fill:#1565c0}.span{stroke:#90caf9;stroke-width:2}"
    ".key{display:inline-block;width:11px;height:11px;margin:0 4px 0 10px;vertical-align:-1px}";

}  // namespace

std::string TextSummary(const DayReport& day, const std::string& source) {
    std::string out;
    out += "Brisca 하루 보고 (day report) " + DayText(day) + "\n";
    out += "파일 (file): " + source + ", " + std::to_string(day.bytes) + " 바이트 (bytes), " +
           std::to_string(day.lines) + " 줄 (lines)\n";
    if (day.unplaced > 0 || day.otherDay > 0)
        out += "읽지 못한 줄 (lines not placed): " + std::to_string(day.unplaced) +
               ", 다른 날짜의 줄 (lines of another day): " + std::to_string(day.otherDay) + "\n";
    out += "시간 (time): " + Clock(day.firstSecond) + " - " + Clock(day.lastSecond) + "\n\n";

    out += "접속 (connections): " + std::to_string(day.connections) + ", " + OutcomeLabel(OUT_ANSWERED) + " " +
           std::to_string(day.outcomes[OUT_ANSWERED]) + ", 실패 (failed) " +
           std::to_string(day.failureCount) + "\n";
    out += "  서버와의 접속 수이며 승인 건수가 아닙니다 (connections to the servers, not approvals: "
           "an answer may be a decline)\n";
    out += Format("단말기 프레임 (terminal frames): 받음 (from the terminal) %lld, 보냄 (to the terminal) %lld; "
                  "보안 요청 (secure requests) %lld, 보안 응답 (secure answers) %lld\n",
                  day.fromTerminal, day.toTerminal, day.requests, day.answers);
    out += "  모든 종류의 프레임 (frames of any kind: connect, requests, ACK/NAK, version, ...)\n";

    out += "\n경로와 서버별 (by route and server):\n";
    if (day.servers.empty()) out += "  (없음 none)\n";
    for (const ServerStats& s : day.servers) {
        out += "  " + Pad(RouteName(s.route), 14) + " " + Pad(s.server, 24) + " " + Format("%6lld  ", s.connections);
        out += OutcomeList(s.outcomes);
        if (s.times.Count() > 0)
            out += "; p50 " + Ms(s.times.Percentile(50)) + ", p90 " + Ms(s.times.Percentile(90)) +
                   ", max " + Ms(s.times.Max());
        out += "\n";
    }
    if (day.otherServers > 0)
        out += "  그 밖의 서버 (other servers): " + std::to_string(day.otherServers) + "\n";

    out += "\n결과 (outcomes):\n";
    bool anyOutcome = false;
    for (int o = 0; o < OUT_COUNT; ++o)
        if (day.outcomes[o] > 0) {
            anyOutcome = true;
            out += "  " + Pad(OutcomeLabel(o), 44) + " " + std::to_string(day.outcomes[o]) + "\n";
        }
    if (!anyOutcome) out += "  (없음 none)\n";

    out += "\n서버 응답 시간 (server answer time, first frame sent to first answer):\n";
    for (int route = ROUTE_PLAIN; route <= ROUTE_SECURE; ++route)
        out += "  " + Pad(RouteName(route), 14) + " " + TimesLine(day.routeTimes[route], day.routeOutcomes[route]) +
               "\n";
    long long busiest = 0;
    const int hour = BusiestHour(day, &busiest);
    if (hour >= 0)
        out += Format("가장 바쁜 시간 (busiest hour): %02d:00-%02d:00, %lld 접속 (connections)\n", hour,
                      hour + 1, busiest);

    out += "\n이벤트 (events):\n";
    if (day.events.empty()) out += "  (없음 none)\n";
    const std::size_t listed = std::min<std::size_t>(day.events.size(), kTextEvents);
    for (std::size_t i = 0; i < listed; ++i) {
        const Event& e = day.events[i];
        out += "  " + Clock(e.second) + "  " + EventLabel(e.kind);
        if (!e.detail.empty()) out += "  " + e.detail;
        out += "\n";
    }
    long long allEvents = 0;
    for (long long c : day.eventCounts) allEvents += c;
    if (allEvents > static_cast<long long>(listed)) {
        out += "  ... " + ListedText("처음", "the first", listed, allEvents) + ":";
        for (int k = 0; k < EV_COUNT; ++k)
            if (day.eventCounts[k] > 0)
                out += std::string(" ") + EventLabel(k) + " " + std::to_string(day.eventCounts[k]) + ";";
        out += "\n";
    }

    out += "\n시간대별 실패 (failures per hour):\n";
    bool anyHour = false;
    for (int h = 0; h < 24; ++h)
        if (HasFailures(day.perHour[h])) {
            anyHour = true;
            out += Format("  %02d:00-%02d:00  ", h, h + 1) + FailureList(day.perHour[h]) + "\n";
        }
    if (!anyHour) out += "  (없음 none)\n";

    auto failureLine = [&](const Failure& f) {
        std::string line = "  " + Clock(f.second) + "  " + RouteName(f.route) + " " + f.server + "  " +
                           OutcomeLabel(f.outcome);
        if (!f.detail.empty()) line += "  (" + f.detail + ")";
        return line + "\n";
    };
    const long long inWindow = day.windowFailures;
    if (day.windowed)
        out += "\n" + WindowText(day) + " 사이의 실패 (failures between " + WindowText(day) + "): " +
               std::to_string(inWindow) + " / 전체 (of all) " + std::to_string(day.failureCount) + "\n";
    const std::size_t shown = std::min<std::size_t>(day.failures.size(), kTextFailures);
    out += "\n첫 실패 (first failures)";
    if (inWindow > static_cast<long long>(shown)) out += " " + ListedText("처음", "the first", shown, inWindow);
    out += ":\n";
    if (shown == 0) out += "  (없음 none)\n";
    for (std::size_t i = 0; i < shown; ++i) out += failureLine(day.failures[i]);
    // The last ones too: a failure late in a busy day is what a shop calls about.
    const std::vector<Failure> last = day.LastFailures();
    std::vector<Failure> tail;
    for (std::size_t i = shown; i < day.failures.size(); ++i)
        tail.push_back(day.failures[i]);
    for (const Failure& f : last) tail.push_back(f);
    std::size_t tailShown = 0;
    if (!tail.empty()) {
        const std::size_t from = tail.size() > kTextFailures ? tail.size() - kTextFailures : 0;
        tailShown = tail.size() - from;
        out += "\n마지막 실패 (last failures) " +
               ListedText("마지막", "the last", tail.size() - from, inWindow) + ":\n";
        for (std::size_t i = from; i < tail.size(); ++i) out += failureLine(tail[i]);
    }
    if (inWindow > static_cast<long long>(shown + tailShown))
        out += "  다른 시간의 실패는 --from HH:MM --to HH:MM (failures at other times: --from HH:MM --to HH:MM)\n";
    return out;
}

std::string HtmlPage(const DayReport& day, const std::string& source) {
    std::string h;
    h += "<!DOCTYPE html>\n<html lang=\"ko\"><head><meta charset=\"utf-8\">\n";
    // Nothing may be fetched: no scripts, no fonts, no images from anywhere.
    h += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
         "style-src 'unsafe-inline'\">\n";
    h += "<meta name=\"viewport\" content=\"width=device-width\">\n";
    h += std::string(kPageMark) + DayText(day) + "</title>\n<style>" + std::string(kStyle) + "</style></head><body>\n";
    h += "<h1>Brisca 하루 보고 (day report) " + DayText(day) + "</h1>\n";
    h += "<p class=\"note\">" + Escape(source) + " &middot; " + std::to_string(day.bytes) + " 바이트 (bytes) &middot; " +
         std::to_string(day.lines) + " 줄 (lines) &middot; " + Clock(day.firstSecond) + " - " +
         Clock(day.lastSecond) + "</p>\n";
    if (day.unplaced > 0 || day.otherDay > 0)
        h += "<p class=\"warn\" id=\"unplaced\">읽지 못한 줄 (lines not placed): " + std::to_string(day.unplaced) +
             ", 다른 날짜의 줄 (lines of another day): " + std::to_string(day.otherDay) + "</p>\n";

    long long busiest = 0;
    const int hour = BusiestHour(day, &busiest);
    h += "<div class=\"cards\">";
    h += "<div class=\"card\">접속 (connections)<b id=\"connections\">" + std::to_string(day.connections) + "</b></div>";
    h += std::string("<div class=\"card\">") + OutcomeLabel(OUT_ANSWERED) + "<b id=\"answered\">" +
         std::to_string(day.outcomes[OUT_ANSWERED]) + "</b></div>";
    h += "<div class=\"card\">실패 (failed)<b id=\"failed\">" + std::to_string(day.failureCount) + "</b></div>";
    for (int route = ROUTE_PLAIN; route <= ROUTE_SECURE; ++route) {
        const AnswerTimes& t = day.routeTimes[route];
        const std::string line = TimesLine(t, day.routeOutcomes[route]);
        h += std::string("<div class=\"card\" id=\"times-") + (route == ROUTE_SECURE ? "secure" : "plain") +
             "\">응답 시간 (answer time) " + RouteName(route) + " p50 / p90 / max<b>" + Ms(t.Percentile(50)) +
             " / " + Ms(t.Percentile(90)) + " / " + Ms(t.Max()) + "</b>" +
             Escape(line.substr(line.find('('))) +
             "</div>";
    }
    h += "<div class=\"card\">가장 바쁜 시간 (busiest hour)<b>" +
         (hour >= 0 ? Format("%02d:00 (%lld)", hour, busiest) : std::string("-")) + "</b></div>";
    h += "<div class=\"card\">포트 끊김 (port lost)<b>" + std::to_string(day.eventCounts[EV_PORT_LOST]) + "</b></div>";
    h += "</div>\n<p class=\"note\">서버와의 접속 수이며 승인 건수가 아닙니다 (connections to the servers, not "
         "approvals: an answer may be a decline).</p>\n";

    h += "<h2>시간대별 접속 (connections per hour, by outcome)</h2>\n" + HourChart(day) + "\n<p class=\"note\">";
    for (int o = 0; o < OUT_COUNT; ++o)
        if (day.outcomes[o] > 0)
            h += Format("<span class=\"key\" style=\"background:%s\"></span>", kColours[o]) +
                 Escape(OutcomeLabel(o)) + " " + std::to_string(day.outcomes[o]);
    h += "</p>\n";

    h += "<h2>서버 응답 시간 (server answer time)</h2>\n" + TimesChart(day) +
         "\n<p class=\"note\">점: 5분 평균, 선: 5분 최대 (dot: mean of five minutes, line: longest). "
         "첫 요청에서 첫 응답까지 (from the first frame sent to the first answer).</p>\n";

    h += "<h2>하루의 흐름 (timeline)</h2>\n" + Timeline(day) +
         "\n<p class=\"note\"><span class=\"key\" style=\"background:#81c784\"></span>실행 (running)"
         "<span class=\"key\" style=\"background:#e53935\"></span>포트 끊김 (port away)"
         "<span class=\"key\" style=\"background:#6a1b9a\"></span>로그 제한, 설정 오류, 비정상 종료 "
         "(log limit, settings, unclean end)</p>\n";

    h += "<h2>경로와 서버별 (by route and server)</h2>\n<table id=\"servers\"><tr><th>경로 (route)</th><th>서버 "
         "(server)</th><th>접속 (connections)</th><th>결과 (outcomes)</th><th>응답 시간 p50 (answer time)</th>"
         "<th>p90</th><th>최대 (max)</th></tr>\n";
    for (const ServerStats& s : day.servers)
        h += "<tr><td class=\"r\">" + Escape(RouteName(s.route)) + "</td><td>" + Escape(s.server) + "</td><td class=\"n\">" +
             std::to_string(s.connections) + "</td><td>" + Escape(OutcomeList(s.outcomes)) + "</td><td class=\"n\">" +
             Ms(s.times.Percentile(50)) + "</td><td class=\"n\">" + Ms(s.times.Percentile(90)) +
             "</td><td class=\"n\">" + Ms(s.times.Max()) + "</td></tr>\n";
    h += "</table>\n";
    if (day.otherServers > 0)
        h += "<p class=\"note\">그 밖의 서버 (other servers): " + std::to_string(day.otherServers) + "</p>\n";

    h += "<h2>시간대별 실패 (failures per hour)</h2>\n<table id=\"failure-hours\"><tr><th>시간 (hour)</th>"
         "<th>실패 (failures)</th></tr>\n";
    for (int hr = 0; hr < 24; ++hr)
        if (HasFailures(day.perHour[hr]))
            h += Format("<tr><td>%02d:00-%02d:00</td><td>", hr, hr + 1) + Escape(FailureList(day.perHour[hr])) +
                 "</td></tr>\n";
    h += "</table>\n";

    h += "<h2>실패 (failures)</h2>\n";
    if (day.windowed)
        h += "<p class=\"note\">" + WindowText(day) + " 사이의 실패 (failures between " + WindowText(day) + "): " +
             std::to_string(day.windowFailures) + " / 전체 (of all) " + std::to_string(day.failureCount) + "</p>\n";
    const std::vector<Failure> last = day.LastFailures();
    if (!last.empty())
        h += "<p class=\"note\" id=\"failures-listed\">" +
             Escape(ListedText("처음", "the first", day.failures.size(), day.windowFailures)) + ", " +
             Escape(ListedText("마지막", "the last", last.size(), day.windowFailures)) +
             "; 그 사이는 --from HH:MM --to HH:MM (between them: --from HH:MM --to HH:MM)</p>\n";
    h += "<table id=\"failures\"><tr><th>시간 (time)</th><th>경로 (route)</th><th>서버 (server)</th><th>원인 (cause)</th>"
         "<th>내용 (detail)</th></tr>\n";
    auto row = [&](const Failure& f) {
        h += "<tr><td>" + Clock(f.second) + "</td><td class=\"r\">" + Escape(RouteName(f.route)) + "</td><td>" +
             Escape(f.server) + "</td><td><span class=\"key\" style=\"background:" + kColours[f.outcome] +
             "\"></span>" + Escape(OutcomeLabel(f.outcome)) + "</td><td>" + Escape(f.detail) + "</td></tr>\n";
    };
    for (const Failure& f : day.failures) row(f);
    if (!last.empty()) {
        const long long skipped =
            day.windowFailures - static_cast<long long>(day.failures.size()) - static_cast<long long>(last.size());
        if (skipped > 0)
            h += "<tr><td colspan=\"5\">... " + std::to_string(skipped) + "건 생략 (" + std::to_string(skipped) +
                 " left out)</td></tr>\n";
        for (const Failure& f : last) row(f);
    }
    h += "</table>\n";

    h += "<h2>이벤트 (events)</h2>\n<table id=\"events\"><tr><th>시간 (time)</th><th>이벤트 (event)</th>"
         "<th>내용 (detail)</th></tr>\n";
    for (const Event& e : day.events)
        h += "<tr><td>" + Clock(e.second) + "</td><td>" + Escape(EventLabel(e.kind)) + "</td><td>" +
             Escape(e.detail) + "</td></tr>\n";
    h += "</table>\n";
    h += "<p class=\"note\">전문 내용은 보고에 나오지 않습니다: 개수, 크기, 시간, 결과만 (no frame content: "
         "counts, sizes, times and outcomes only).</p>\n</body></html>\n";
    return h;
}

}  // namespace report
