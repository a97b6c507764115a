// Listing the readers an application can connect: serial lines and USB HID devices.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/result.h"
#include "platform/serial_lines.h"

namespace kestrel::platform {
class HidBackend;
}

namespace kestrel::comm {

// Receives one reader name; false stops the listing.
using ReaderNameSink = std::function<bool(const char* name)>;

// Reports the name of every line of `lines` (platform::ListSerialLines) that can be opened at
// this moment, in the list's order. Each line is opened by its path, with the port number
// its name carries, and closed once with the serial interface's own settings, which closing
// puts back. Lines whose name carries no valid port number or that cannot be opened (held by
// another program, no rights, not a serial line) are skipped.
void EnumerateSerialReaders(const std::vector<platform::SerialLine>& lines,
                            const ReaderNameSink& sink);

// Reports "USB_0", "USB_1", ... for the attached HID devices with the build's reader vendor
// id and `productId`, in enumeration order, through `backend`. 0, or
// KESTREL_ERR_USB_NO_HID_NODE when the device list is not available.
Result EnumerateUsbReaders(uint32_t productId, std::shared_ptr<platform::HidBackend> backend,
                           const ReaderNameSink& sink);

}  // namespace kestrel::comm
