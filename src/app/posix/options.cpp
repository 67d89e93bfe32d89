#include "app/posix/options.h"

#include "app/posix/settings.h"

#include <cstring>

namespace {

// Accepts "--name VALUE" and "--name=VALUE"; advances i past what it took.
bool TakeValue(int argc, const char* const* argv, int* i, const char* name, std::string* out,
               std::string* error, bool* matched) {
    const char* arg = argv[*i];
    const std::size_t len = std::strlen(name);
    *matched = false;
    if (std::strncmp(arg, name, len) != 0) return true;
    if (arg[len] == '=') {
        *matched = true;
        *out = arg + len + 1;
        return true;
    }
    if (arg[len] != '\0') return true;
    *matched = true;
    if (*i + 1 >= argc) {
        *error = std::string(name) + " needs a value";
        return false;
    }
    *out = argv[++*i];
    return true;
}

}  // namespace

int ParseOptions(int argc, const char* const* argv, Options* opts, std::string* error) {
    *opts = Options{};
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        bool matched = false;
        if (!TakeValue(argc, argv, &i, "--port", &opts->port, error, &matched)) return 0;
        if (matched) {
            opts->hasPort = true;
            if (opts->port.empty() || opts->port.size() > kMaxPortText) {
                *error = "--port: the name must have 1 to " + std::to_string(kMaxPortText) +
                         " bytes";
                return 0;
            }
            continue;
        }
        if (!TakeValue(argc, argv, &i, "--rate", &opts->rate, error, &matched)) return 0;
        if (matched) {
            opts->hasRate = true;
            // The speed is kept as text (the registry reads it back into 9 characters).
            if (opts->rate.size() > kMaxRateText) {
                *error = "--rate: at most " + std::to_string(kMaxRateText) + " characters";
                return 0;
            }
            continue;
        }
        if (!TakeValue(argc, argv, &i, "--config", &opts->configPath, error, &matched)) return 0;
        if (matched) {
            if (opts->configPath.empty()) {
                *error = "--config needs a file name";
                return 0;
            }
            continue;
        }
        if (!TakeValue(argc, argv, &i, "--system", &opts->instance, error, &matched)) return 0;
        if (matched) {
            if (opts->instance.empty() || opts->instance.size() > kMaxPortText) {
                *error = "--system needs the instance name of the service";
                return 0;
            }
            opts->system = true;
            continue;
        }
        if (std::strncmp(arg, "--check-config", 14) == 0 && (arg[14] == '\0' || arg[14] == '=')) {
            opts->checkConfig = true;
            // The file is optional: the next argument is taken when it is not an option.
            if (arg[14] == '=') opts->configPath = arg + 15;
            else if (i + 1 < argc && argv[i + 1][0] != '-') opts->configPath = argv[++i];
            if (arg[14] == '=' && opts->configPath.empty()) {
                *error = "--check-config= needs a file name";
                return 0;
            }
            continue;
        }
        if (std::strcmp(arg, "--list-ports") == 0) {
            opts->listPorts = true;
        } else if (std::strcmp(arg, "--log") == 0) {
            opts->log = 1;
        } else if (std::strcmp(arg, "--no-log") == 0) {
            opts->log = 0;
        } else if (std::strcmp(arg, "--version") == 0) {
            opts->version = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            opts->help = true;
        } else if (std::strcmp(arg, "--verbose") == 0) {
            opts->verbose = true;
        } else {
            *error = std::string("unknown argument: ") + arg;
            return 0;
        }
    }
    if (opts->checkConfig && opts->system && !opts->configPath.empty()) {
        *error = "--system INSTANCE --check-config reads the instance's own file";
        return 0;
    }
    return 1;
}

const char* UsageText() {
    return "Usage: brisca [--port NAME] [--rate N] [--log | --no-log] [--config FILE]\n"
           "              [--verbose] [--version] [--help]\n"
           "       brisca --system INSTANCE [--verbose]\n"
           "       brisca --list-ports\n"
           "       brisca --check-config [FILE]\n"
           "       brisca --system INSTANCE --check-config\n"
           "       brisca report [DAY] [--folder DIR] [--html FILE]   (brisca report --help)\n"
           "\n"
           "Relays a card payment terminal on a serial port to its payment servers.\n"
           "\n"
           "  --port NAME    serial port: a device path, or COM1..COMn (/dev/ttyS0..)\n"
           "  --rate N       line speed, e.g. 9600, 19200, 38400, 57600\n"
           "  --log          write the daily log gate_log/brisca<YYYYMMDD>.log\n"
           "  --no-log       do not write the log file\n"
           "  --config FILE  settings file (default $XDG_CONFIG_HOME/brisca/settings.ini)\n"
           "  --verbose      show the tray icon's changes on standard error\n"
           "  --version      print the version and exit\n"
           "  --list-ports   print the serial devices present (with their /dev/serial/by-id\n"
           "                 names) and exit\n"
           "  --check-config [FILE]\n"
           "                 print each problem of the settings file (default: the one the\n"
           "                 program reads; with --system, the instance's) and the values in\n"
           "                 force; exit status 0 only when there is no problem\n"
           "  --system INSTANCE\n"
           "                 run as the service brisca@INSTANCE (systemd): settings from\n"
           "                 $CONFIGURATION_DIRECTORY/INSTANCE.ini (else /etc/brisca/INSTANCE.ini),\n"
           "                 read and never rewritten; the port is the file's COM Port, else\n"
           "                 the device the instance names (ttyUSB0 is /dev/ttyUSB0,\n"
           "                 serial-by\\x2did-NAME is /dev/serial/by-id/NAME); logs under\n"
           "                 $LOGS_DIRECTORY (else /var/log/brisca/INSTANCE); lock under\n"
           "                 $RUNTIME_DIRECTORY (else /run/brisca); no autostart entry\n"
           "\n"
           "Port, speed and log switch are stored after every successful open of the port\n"
           "(not in --system mode). SIGINT or SIGTERM ends the program.\n";
}
