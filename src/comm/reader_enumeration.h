// Listing the readers an application can connect: serial lines and USB HID devices.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/result.h"

namespace kestrel::platform {
class HidBackend;
}

namespace kestrel::comm {

// Receives one reader name; false stops the listing.
using ReaderNameSink = std::function<bool(const char* name)>;

// Where the serial lines live on this platform.
inline constexpr const char* kSerialDeviceFolder = "/dev";

// Reports "COMn" for every serial line of the COM table (COM1-COM32 ttyS0-31, COM33-COM64
// ttyUSB0-31, COM65-COM96 ttyACM0-31) that exists in `folder` under its table name and can
// be opened at this moment, in ascending COM order. Each line is opened and closed once with
// the serial interface's own settings, which closing puts back. Lines that cannot be opened
// (held by another program, no rights, not a serial line) are skipped; a missing folder
// reports nothing.
void EnumerateSerialReaders(const std::string& folder, const ReaderNameSink& sink);

// Reports "USB_0", "USB_1", ... for the attached HID devices with the build's reader vendor
// id and `productId`, in enumeration order, through `backend`. 0, or
// KESTREL_ERR_USB_NO_HID_NODE when the device list is not available.
Result EnumerateUsbReaders(uint32_t productId, std::shared_ptr<platform::HidBackend> backend,
                           const ReaderNameSink& sink);

}  // namespace kestrel::comm
