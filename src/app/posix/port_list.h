// brisca --list-ports: the serial devices present, with the stable /dev/serial/by-id/ names
// that point at them.
#pragma once
#include <string>
#include <vector>

struct SerialDevice {
    std::string path;               // "/dev/ttyUSB0"
    std::vector<std::string> byId;  // "/dev/serial/by-id/usb-..."
};

// ttyS*, ttyUSB* and ttyACM* under devDir that are character devices, in name order.
std::vector<SerialDevice> ListSerialPorts(const std::string& devDir);

// One line per device: its path, then its by-id names, separated by tabs.
std::string FormatPortList(const std::vector<SerialDevice>& devices);
