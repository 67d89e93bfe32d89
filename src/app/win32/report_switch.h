// brisca.exe /report [DAY] [/quiet]: the day's log at a glance for support staff. Writes one
// self-contained HTML page beside the log (brisca<YYYYMMDD>.html; in the user's temporary folder
// when the log folder cannot be written) and opens it in the default browser. /quiet writes the
// page and neither opens it nor shows a message (for scripts): the exit code tells.
#pragma once

// -1 when the command line asks for no report (the tray program runs as always); otherwise the
// exit code: 0 page written, 1 no log for that day or it cannot be read, 2 the page cannot be
// written, 64 a command-line error.
int RunReportSwitch();
