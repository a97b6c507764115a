#include "comm/usb_hid_interface.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/trace.h"
#include "platform/hid_device.h"
#include "platform/system_message.h"

#ifndef READER_VENDOR_ID
#error "READER_VENDOR_ID must be defined by the build (the USB vendor id of the readers)"
#endif

namespace kestrel::comm {

const uint16_t UsbHidInterface::kReaderVendorId = READER_VENDOR_ID;

namespace {

std::mutex backendMutex;
std::shared_ptr<platform::HidBackend> backendOverride;

// Offsets of the block frame's data length in a report: payload bytes 3 and 4.
constexpr size_t kLengthLow = 1 + 3;
constexpr size_t kLengthHigh = 1 + 4;
// A block frame is its data plus 5 header bytes and 2 CRC bytes.
constexpr uint32_t kFrameOverhead = 7;

// What went wrong with a report transfer, for the trace.
std::string ReportFailure(platform::HidIo io, uint32_t timeOutMs) {
    if (io == platform::HidIo::kTimedOut) {
        return "timed out after " + std::to_string(timeOutMs) + " ms";
    }
    return "failed (I/O error or device gone)";
}

}  // namespace

std::shared_ptr<platform::HidBackend> CurrentHidBackend() {
    std::lock_guard<std::mutex> lock(backendMutex);
    return backendOverride ? backendOverride : platform::DefaultHidBackend();
}

void SetHidBackend(std::shared_ptr<platform::HidBackend> backend) {
    std::lock_guard<std::mutex> lock(backendMutex);
    backendOverride = std::move(backend);
}

UsbHidInterface::UsbHidInterface(std::shared_ptr<platform::HidBackend> backend)
    : backend_(std::move(backend)) {}

UsbHidInterface::~UsbHidInterface() {
    Close();
}

Result UsbHidInterface::Search(bool open, uint32_t* count) {
    std::vector<platform::HidDeviceInfo> devices;
    if (!backend_ || !backend_->Enumerate(&devices)) return KESTREL_ERR_USB_NO_HID_NODE;
    const uint32_t vendorId = GetVendorId() & 0xFFFF;
    const uint32_t productId = GetProductId() & 0xFFFF;
    uint32_t matches = 0;
    for (const platform::HidDeviceInfo& device : devices) {
        if (device.vendorId != vendorId || device.productId != productId) continue;
        if (open && matches == deviceIndex_) {
            int error = 0;
            device_ = backend_->Open(device.path, &error);
            if (!device_) platform::TraceSystemError("HID open of", device.path.c_str(), error);
            return device_ ? KESTREL_OK : error;
        }
        ++matches;
    }
    if (count != nullptr) *count = matches;
    return open ? KESTREL_ERR_USB_DEVICE_NOT_FOUND : KESTREL_OK;
}

Result UsbHidInterface::Open() {
    Close();
    return Search(true, nullptr);
}

Result UsbHidInterface::Close() {
    device_.reset();
    return KESTREL_OK;
}

Result UsbHidInterface::CountDevices(uint32_t* count) {
    uint32_t found = 0;
    const Result r = Search(false, &found);
    if (r == KESTREL_OK && count != nullptr) *count = found;
    return r;
}

Result UsbHidInterface::Purge() {
    if (!device_) return KESTREL_OK;
    uint8_t report[kReportSize];
    size_t length = 0;
    while (device_->ReadReport(report, sizeof report, &length, 0) == platform::HidIo::kOk) {
    }
    return KESTREL_OK;
}

Result UsbHidInterface::WriteReport(const uint8_t* report, uint32_t length, uint32_t* count,
                                    uint32_t timeOutMs) {
    if (count != nullptr) *count = 0;
    if (!device_ || report == nullptr) return KESTREL_ERR_RS232_WRITE;
    if (const platform::HidIo io = device_->WriteReport(report, length, timeOutMs);
        io != platform::HidIo::kOk) {
        KESTREL_TRACE("comm", "HID output report %s", ReportFailure(io, timeOutMs).c_str());
        return KESTREL_ERR_RS232_WRITE;
    }
    if (count != nullptr) *count = length;
    return KESTREL_OK;
}

Result UsbHidInterface::ReadReport(uint8_t* report, uint32_t length, uint32_t* count,
                                   uint32_t timeOutMs) {
    if (count != nullptr) *count = 0;
    if (!device_ || report == nullptr) return KESTREL_ERR_RS232_READ;
    size_t got = 0;
    const platform::HidIo io = device_->ReadReport(report, length, &got, timeOutMs);
    if (io != platform::HidIo::kOk || got == 0) {
        KESTREL_TRACE("comm", "HID input report %s",
                      io == platform::HidIo::kOk ? "empty" : ReportFailure(io, timeOutMs).c_str());
        return KESTREL_ERR_RS232_READ;
    }
    if (count != nullptr) *count = static_cast<uint32_t>(got);
    return KESTREL_OK;
}

Result UsbHidInterface::Write(const uint8_t* buffer, uint32_t length, uint32_t* written,
                              uint32_t timeOutMs) {
    if (written != nullptr) *written = 0;
    if (length == 0) return KESTREL_OK;
    if (buffer == nullptr) return KESTREL_ERR_RS232_WRITE;
    // Zeroed once: a short last piece leaves the previous report's bytes behind it.
    uint8_t report[kReportSize] = {};
    uint32_t sent = 0;
    while (sent < length) {
        const uint32_t piece = std::min<uint32_t>(length - sent, kPayloadSize);
        std::memcpy(report + 1, buffer + sent, piece);
        uint32_t count = 0;
        if (Result r = WriteReport(report, kReportSize, &count, timeOutMs); r != KESTREL_OK) {
            return r;
        }
        sent += piece;
        if (written != nullptr) *written = sent;
    }
    return KESTREL_OK;
}

Result UsbHidInterface::Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t timeOutMs) {
    if (read != nullptr) *read = 0;
    if (buffer == nullptr) return KESTREL_ERR_RS232_READ;
    // Zeroed so that a report shorter than a frame header announces an empty frame.
    uint8_t report[kReportSize] = {};
    uint32_t count = 0;
    if (Result r = ReadReport(report, kReportSize, &count, timeOutMs); r != KESTREL_OK) return r;
    const uint32_t expected = (report[kLengthLow] | (report[kLengthHigh] << 8)) + kFrameOverhead;
    uint32_t received = count - 1;
    if (received > length) return KESTREL_ERR_FRAME_RESPONSE_TOO_LONG;
    std::memcpy(buffer, report + 1, received);
    while (received < expected) {
        if (Result r = ReadReport(report, kReportSize, &count, timeOutMs); r != KESTREL_OK) {
            return r;
        }
        // The report id counts too: the check leaves room for one report more than the data.
        if (uint64_t{received} + count > length) return KESTREL_ERR_FRAME_RESPONSE_TOO_LONG;
        std::memcpy(buffer + received, report + 1, count - 1);
        received += count - 1;
    }
    if (read != nullptr) *read = received;
    return KESTREL_OK;
}

}  // namespace kestrel::comm
