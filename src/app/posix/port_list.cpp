#include "app/posix/port_list.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>

namespace {

bool SerialName(const std::string& name) {
    for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM"}) {
        const std::string p(prefix);
        if (name.size() > p.size() && name.compare(0, p.size(), p) == 0) return true;
    }
    return false;
}

std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string RealPath(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

}  // namespace

std::vector<SerialDevice> ListSerialPorts(const std::string& devDir) {
    std::vector<SerialDevice> devices;
    for (const std::string& name : Names(devDir)) {
        if (!SerialName(name)) continue;
        const std::string path = devDir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
        devices.push_back(SerialDevice{path, {}});
    }
    const std::string byIdDir = devDir + "/serial/by-id";
    for (const std::string& link : Names(byIdDir)) {
        if (link == "." || link == "..") continue;
        const std::string target = RealPath(byIdDir + "/" + link);
        for (SerialDevice& d : devices)
            if (!target.empty() && RealPath(d.path) == target) d.byId.push_back(byIdDir + "/" + link);
    }
    return devices;
}

std::string FormatPortList(const std::vector<SerialDevice>& devices) {
    std::string text;
    for (const SerialDevice& d : devices) {
        text += d.path;
        for (const std::string& id : d.byId) text += "\t" + id;
        text += "\n";
    }
    return text;
}
