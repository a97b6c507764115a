// Serial lines on Windows: the ports the serial drivers have registered under
// HKEY_LOCAL_MACHINE\Hardware\DeviceMap\SerialComm, one value per port whose data is the
// port's name (COM3).
#include "platform/serial_lines.h"

#include <cstring>

#include "common/parse.h"
#include "platform/serial_port.h"
#include "platform/win32/win32.h"

namespace kestrel::platform {

namespace {

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};

constexpr DWORD kMaxValueNameLength = 259;  // characters, without the terminator
constexpr DWORD kMaxValueDataSize = 260;    // bytes, terminator included if stored

// The port number a reader name carries: the decimal number after its first 'M', cut to a
// signed 8-bit value, as a connection by that name reads it; 0 when there is none.
int PortOfName(const char* name) {
    const char* m = std::strchr(name, 'M');
    if (m == nullptr) return 0;
    const uint32_t value = static_cast<uint32_t>(ParseDecimal(m + 1));
    return static_cast<int8_t>(static_cast<uint8_t>(value & 0xFFu));
}

}  // namespace

std::vector<SerialLine> ListSerialLines() {
    std::vector<SerialLine> lines;
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Hardware\\DeviceMap\\SerialComm", 0, KEY_READ,
                      &opened) != ERROR_SUCCESS) {
        return lines;  // no serial driver has registered a port
    }
    const std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser> key(opened);
    for (DWORD index = 0;; ++index) {
        char valueName[kMaxValueNameLength + 1];
        DWORD valueNameLength = sizeof valueName;
        // One byte beyond the largest value read, for a terminator the registry may not hold.
        BYTE data[kMaxValueDataSize + 1];
        DWORD dataSize = kMaxValueDataSize;
        DWORD type = 0;
        const LONG status = RegEnumValueA(key.get(), index, valueName, &valueNameLength, nullptr,
                                          &type, data, &dataSize);
        if (status == ERROR_MORE_DATA) continue;  // a name or text too long to be a port
        if (status != ERROR_SUCCESS) break;       // ERROR_NO_MORE_ITEMS: all values seen
        if (type != REG_SZ || dataSize > kMaxValueDataSize) continue;
        data[dataSize] = '\0';
        const char* text = reinterpret_cast<const char*>(data);
        std::string name(text, strnlen(text, dataSize));
        std::string path = SerialDevicePath(PortOfName(name.c_str()));
        lines.push_back({std::move(name), std::move(path)});
    }
    return lines;
}

}  // namespace kestrel::platform
