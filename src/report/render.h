// A day's report as support staff read it: a terminal summary and one self-contained HTML page
// (inline SVG charts, no script, nothing fetched from anywhere). UTF-8, Korean with English.
#pragma once
#include "report/day_log.h"

#include <string>

namespace report {

// source: the file the day was read from, as shown to the reader.
std::string TextSummary(const DayReport& day, const std::string& source);
std::string HtmlPage(const DayReport& day, const std::string& source);

// Every page begins with this within its first kilobyte: a file that does not is not a page of
// this report, and the report never writes over it.
constexpr const char kPageMark[] = "<title>Brisca ";

}  // namespace report
