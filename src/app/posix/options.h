// Command line of the headless gateway: the settings that the main window's controls give on
// Windows (port, speed, log checkbox) plus the settings file, version and help requests.
#pragma once
#include <string>

struct Options {
    std::string port;        // --port NAME, as if typed into the port box
    std::string rate;        // --rate N, as if typed into the speed box
    bool hasPort = false;
    bool hasRate = false;
    int log = -1;            // --log 1, --no-log 0, -1 when not given (the checkbox as loaded)
    std::string configPath;  // --config FILE; empty: the default settings file
    bool version = false;
    bool help = false;
    bool verbose = false;    // tray icon changes on standard error
    bool listPorts = false;  // --list-ports: print the serial devices present and exit
    std::string instance;    // --system INSTANCE: run as the service brisca@INSTANCE
    bool system = false;
    bool checkConfig = false;  // --check-config [FILE]: say what the settings file holds and exit
};

// Fills opts from argv. Returns 1, or 0 with a one-line reason in error.
int ParseOptions(int argc, const char* const* argv, Options* opts, std::string* error);

// The usage text for --help and for command-line errors.
const char* UsageText();
