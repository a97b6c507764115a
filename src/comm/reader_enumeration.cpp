#include "comm/reader_enumeration.h"

#include <sys/stat.h>

#include <string>
#include <utility>

#include "comm/rs232_interface.h"
#include "comm/usb_hid_interface.h"

namespace kestrel::comm {

namespace {

// The highest COM number a reader name can carry (the number is a signed 8-bit value).
constexpr int kLastComPort = 127;

std::string FileName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

void EnumerateSerialReaders(const std::string& folder, const ReaderNameSink& sink) {
    if (!Exists(folder)) return;
    Rs232Interface probe;
    for (int port = 1; port <= kLastComPort; ++port) {
        const std::string tablePath = DevicePathForPort(port);
        if (tablePath.empty()) continue;
        const std::string path = folder + "/" + FileName(tablePath);
        if (!Exists(path)) continue;
        probe.SetDevicePath(path);
        if (probe.SetPort(static_cast<int16_t>(port)) != KESTREL_OK) continue;
        if (probe.Open() != KESTREL_OK) continue;
        probe.Close();
        const std::string name = "COM" + std::to_string(port);
        if (!sink(name.c_str())) return;
    }
}

Result EnumerateUsbReaders(uint32_t productId, std::shared_ptr<platform::HidBackend> backend,
                           const ReaderNameSink& sink) {
    UsbHidInterface counter(std::move(backend));
    counter.SetProductId(productId);
    uint32_t count = 0;
    if (Result r = counter.CountDevices(&count); r != KESTREL_OK) return r;
    for (uint32_t i = 0; i < count; ++i) {
        const std::string name = "USB_" + std::to_string(i);
        if (!sink(name.c_str())) break;
    }
    return KESTREL_OK;
}

}  // namespace kestrel::comm
