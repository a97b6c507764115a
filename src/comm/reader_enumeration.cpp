#include "comm/reader_enumeration.h"

#include <string>
#include <utility>

#include "comm/rs232_interface.h"
#include "comm/usb_hid_interface.h"

namespace kestrel::comm {

void EnumerateSerialReaders(const std::vector<platform::SerialLine>& lines,
                            const ReaderNameSink& sink) {
    Rs232Interface probe;
    for (const platform::SerialLine& line : lines) {
        if (probe.SetPort(PortNumberFromName(line.name.c_str())) != KESTREL_OK) continue;
        probe.SetDevicePath(line.path);
        if (probe.Open() != KESTREL_OK) continue;
        probe.Close();
        if (!sink(line.name.c_str())) return;
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
