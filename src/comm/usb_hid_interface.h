// USB HID transport: a reader attached as a HID device, found by vendor id, product id and
// its index among the matching devices, talking in 33-byte reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "comm/comm_interface.h"

namespace kestrel::platform {
class HidBackend;
class HidDevice;
}  // namespace kestrel::platform

namespace kestrel::comm {

// The HID device list that interfaces built without an explicit backend use (ConnectReaderEx,
// EnumReaders): the system's, unless a test has put another in place. Null puts the system's
// back.
std::shared_ptr<platform::HidBackend> CurrentHidBackend();
void SetHidBackend(std::shared_ptr<platform::HidBackend> backend);

class UsbHidInterface : public CommInterface {
  public:
    // Report id 0, then 32 payload bytes, in both directions.
    static constexpr size_t kReportSize = 33;
    static constexpr size_t kPayloadSize = kReportSize - 1;
    // The vendor id a new interface looks for; fixed when the library is built
    // (READER_VENDOR_ID, see the build options).
    static const uint16_t kReaderVendorId;

    explicit UsbHidInterface(std::shared_ptr<platform::HidBackend> backend = CurrentHidBackend());
    ~UsbHidInterface() override;

    // Finds the matching device at the device index and opens it. KESTREL_ERR_USB_NO_HID_NODE
    // when the device list is not available, KESTREL_ERR_USB_DEVICE_NOT_FOUND when fewer
    // devices match, else 0 or the OS error of opening it.
    Result Open() override;
    Result Close() override;
    // Discards the input reports that have already arrived (none is waited for); always 0.
    // An answer that came after its time-out would otherwise be taken for the next one.
    Result Purge() override;
    // Sends the bytes in reports of 32 payload bytes. The bytes of a short last report past
    // the data keep what the report before left there (zeros in the first report).
    // KESTREL_ERR_RS232_WRITE when a report fails; *written counts the reports that went out.
    Result Write(const uint8_t* buffer, uint32_t length, uint32_t* written,
                 uint32_t timeOutMs) override;
    // Reads reports until the block frame announced by the first one (5-byte header whose
    // bytes 3 and 4 hold the data length, the data, 2 CRC bytes) is complete. *read receives
    // every payload byte stored, the padding of the last report included. The time-out
    // applies to each report. KESTREL_ERR_RS232_READ when a report fails or does not come,
    // KESTREL_ERR_FRAME_RESPONSE_TOO_LONG when the reports would not fit `length` bytes.
    Result Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t timeOutMs) override;
    // Which of the matching devices Open takes, in enumeration order.
    void SetDeviceIndex(uint8_t index) { deviceIndex_ = index; }
    uint8_t DeviceIndex() const { return deviceIndex_; }

    virtual uint32_t GetVendorId() const { return vendorId_; }
    virtual uint32_t GetProductId() const { return productId_; }
    virtual void SetVendorId(uint32_t vendorId) { vendorId_ = vendorId; }
    virtual void SetProductId(uint32_t productId) { productId_ = productId; }
    // One report each way: KESTREL_ERR_RS232_WRITE / KESTREL_ERR_RS232_READ on failure or
    // when the time-out runs out; *count receives the bytes moved.
    virtual Result WriteReport(const uint8_t* report, uint32_t length, uint32_t* count,
                               uint32_t timeOutMs);
    virtual Result ReadReport(uint8_t* report, uint32_t length, uint32_t* count,
                              uint32_t timeOutMs);

    // The number of attached devices with this vendor and product id, without opening any.
    // 0 or KESTREL_ERR_USB_NO_HID_NODE.
    Result CountDevices(uint32_t* count);

    bool IsOpen() const { return device_ != nullptr; }

  private:
    // Walks the matching devices in enumeration order; opens the one at the device index when
    // `open` is set, else counts them all.
    Result Search(bool open, uint32_t* count);

    uint8_t deviceIndex_ = 0;
    uint32_t vendorId_ = kReaderVendorId;
    uint32_t productId_ = 0;
    std::shared_ptr<platform::HidBackend> backend_;
    std::unique_ptr<platform::HidDevice> device_;
};

}  // namespace kestrel::comm
