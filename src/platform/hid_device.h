// Narrow OS backend for USB HID readers: list the HID devices present, open one by its path,
// move single reports with a time-out. Every platform implements DefaultHidBackend in its own
// folder; tests put an in-process bus in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel::platform {

struct HidDeviceInfo {
    std::string path;  // what HidBackend::Open takes
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

// Outcome of one report transfer.
enum class HidIo {
    kOk,
    kTimedOut,  // nothing moved within the time-out
    kFailed,    // an I/O error, or the device is gone
};

// One open HID device. Reports travel with their report id as the first byte (0 for a device
// without numbered reports), in both directions, whatever the OS does with it. Closed when
// destroyed.
class HidDevice {
  public:
    virtual ~HidDevice() = default;

    // Sends one output report of `length` bytes (report id included).
    virtual HidIo WriteReport(const uint8_t* report, size_t length, uint32_t timeOutMs) = 0;
    // Waits up to `timeOutMs` for one input report and stores at most `capacity` bytes of it,
    // report id first; *length receives how many.
    virtual HidIo ReadReport(uint8_t* buffer, size_t capacity, size_t* length,
                             uint32_t timeOutMs) = 0;
};

class HidBackend {
  public:
    virtual ~HidBackend() = default;

    // The HID devices present, in the OS's enumeration order, each path once. False when the
    // device list cannot be had at all; no device is an empty list, not a failure.
    virtual bool Enumerate(std::vector<HidDeviceInfo>* devices) = 0;
    // Opens the device at `path` for reading and writing. Null on failure, with an OS error
    // number in *error (never 0).
    virtual std::unique_ptr<HidDevice> Open(const std::string& path, int* error) = 0;
};

// The system's HID devices (hidapi on POSIX). One object for the whole process.
std::shared_ptr<HidBackend> DefaultHidBackend();

}  // namespace kestrel::platform
