// brisca report [DAY] [--folder DIR] [--html FILE] [--config FILE | --system INSTANCE]:
// a day of the log at a glance for support staff.
#pragma once

// argv[0] is "report". Returns the program's exit code: 0 reported, 1 no log for that day or it
// cannot be read, 2 the page cannot be written, 64 a command-line error.
int RunReport(int argc, const char* const* argv);
