// The day's log read back from any bytes, cut into two pieces anywhere: the counts agree with
// each other, what is kept stays within its bounds, and both the summary and the page come out.
#include "fuzz_check.h"
#include "report/day_log.h"
#include "report/render.h"

#include <cstdint>
#include <string>

// Input: the cut (2 bytes, little-endian), then the log's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t cut = (data[0] | (data[1] << 8)) % (size - 1);
    const char* log = reinterpret_cast<const char*>(data + 2);
    const std::size_t n = size - 2;
    report::DayReader reader(2026, 12, 7);
    reader.Feed(log, cut < n ? cut : n);
    if (cut < n) reader.Feed(log + cut, n - cut);
    const report::DayReport& day = reader.Finish();

    FUZZ_CHECK(day.bytes == static_cast<long long>(n));
    FUZZ_CHECK(day.unplaced + day.otherDay <= day.lines);
    long long outcomes = 0, perHour = 0;
    for (int o = 0; o < report::OUT_COUNT; ++o) {
        outcomes += day.outcomes[o];
        for (int h = 0; h < 24; ++h) perHour += day.perHour[h][o];
    }
    FUZZ_CHECK(outcomes == day.connections && perHour == day.connections);
    FUZZ_CHECK(day.failureCount == day.connections - day.outcomes[report::OUT_ANSWERED]);
    FUZZ_CHECK(day.failures.size() <= report::DayReport::kMaxFailures);
    FUZZ_CHECK(day.events.size() <= report::DayReport::kMaxEvents);
    FUZZ_CHECK(day.servers.size() <= report::DayReport::kMaxServers);
    FUZZ_CHECK(day.times.Count() <= day.outcomes[report::OUT_ANSWERED]);
    const std::string page = report::HtmlPage(day, "x");
    FUZZ_CHECK(page.find("<script") == std::string::npos);
    FUZZ_CHECK(!report::TextSummary(day, "x").empty());
    return 0;
}
