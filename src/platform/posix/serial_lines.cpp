// Serial lines on POSIX systems: the device files of the COM table present in a device folder.
#include "platform/serial_lines.h"

#include <sys/stat.h>

#include <utility>

#include "platform/serial_port.h"

namespace kestrel::platform {

namespace {

// The highest COM number a reader name can carry (the number is a signed 8-bit value).
constexpr int kLastComPort = 127;

constexpr char kDeviceFolder[] = "/dev";

std::string FileName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

std::vector<SerialLine> ListSerialLines(const std::string& folder) {
    std::vector<SerialLine> lines;
    if (!Exists(folder)) return lines;
    for (int port = 1; port <= kLastComPort; ++port) {
        const std::string tablePath = SerialDevicePath(port);
        if (tablePath.empty()) continue;
        std::string path = folder + "/" + FileName(tablePath);
        if (!Exists(path)) continue;
        lines.push_back({"COM" + std::to_string(port), std::move(path)});
    }
    return lines;
}

std::vector<SerialLine> ListSerialLines() {
    return ListSerialLines(kDeviceFolder);
}

}  // namespace kestrel::platform
