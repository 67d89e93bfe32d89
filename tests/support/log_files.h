// The day's log file as the tests read it back (POSIX: iconv turns code page 949 into UTF-8).
#pragma once
#include <string>
#include <vector>

// The log file of today in the working directory, as UTF-8 lines without line ends.
std::vector<std::string> LogLines();
// The message part of each log line (after "▷ ").
std::vector<std::string> LogMessages();
