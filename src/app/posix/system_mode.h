// The service mode of the headless gateway (brisca --system INSTANCE, started by the systemd
// template unit brisca@.service): the port, settings file, log folder and lock of one instance.
#pragma once
#include <string>

struct SystemPaths {
    std::string port;          // the serial device
    std::string settingsFile;  // read, never written
    std::string logFolder;
    std::string lockFile;
};

// systemd's unescaping of an instance name: '-' stands for '/', "\xNN" for the byte NN.
std::string UnescapeInstance(const std::string& escaped);

// The device of an instance: "/dev/" + the unescaped name ("ttyUSB0"), or the path itself when
// it is one ("/dev/..." or systemd's path form "dev/serial/by-id/...", which drops the first '/').
std::string SystemPort(const std::string& instance);

// The directory variables are those systemd sets (the first entry of a ':'-separated list
// counts); null or empty ones fall back to /etc/brisca, /var/log/brisca/INSTANCE and /run/brisca.
SystemPaths SystemModePaths(const std::string& instance, const char* configurationDirectory,
                            const char* logsDirectory, const char* runtimeDirectory);
