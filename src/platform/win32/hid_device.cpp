// USB HID devices on Windows: the HID device interfaces listed by SetupAPI, reports through
// overlapped ReadFile/WriteFile on the device, each waited for on an event with a time-out.
#include "platform/hid_device.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/win32/win32.h"

// clang-format off
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}
// clang-format on

namespace kestrel::platform {

namespace {

using win32::UniqueHandle;

// The report length of the readers, used when the device does not tell its own.
constexpr size_t kDefaultReportLength = 33;

struct DeviceInfoListDestroyer {
    void operator()(HDEVINFO list) const { SetupDiDestroyDeviceInfoList(list); }
};
using UniqueDeviceInfoList =
    std::unique_ptr<std::remove_pointer_t<HDEVINFO>, DeviceInfoListDestroyer>;

struct PreparsedDataFreer {
    void operator()(PHIDP_PREPARSED_DATA data) const { HidD_FreePreparsedData(data); }
};

// The device path of one device interface; empty when SetupAPI cannot tell it.
std::string InterfacePath(HDEVINFO list, SP_DEVICE_INTERFACE_DATA* interfaceData) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(list, interfaceData, nullptr, 0, &required, nullptr);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        required <= offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)) {
        return std::string();
    }
    // DWORD elements keep the record aligned as SetupAPI expects.
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);  // the fixed part only
    if (!SetupDiGetDeviceInterfaceDetailA(list, interfaceData, detail, required, nullptr,
                                          nullptr)) {
        return std::string();
    }
    const size_t room = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    return std::string(detail->DevicePath, strnlen(detail->DevicePath, room));
}

// Vendor and product id of the device at `path`. Reading the attributes needs no access
// rights, so a device that another program holds (or that refuses reading, like keyboards)
// still tells them.
bool ReadAttributes(const std::string& path, HIDD_ATTRIBUTES* attributes) {
    UniqueHandle probe = win32::AdoptFileHandle(CreateFileA(path.c_str(), GENERIC_READ,
                                                            FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                            nullptr, OPEN_EXISTING, 0, nullptr));
    if (!probe) {
        probe =
            win32::AdoptFileHandle(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
    }
    if (!probe) return false;
    attributes->Size = sizeof *attributes;
    return HidD_GetAttributes(probe.get(), attributes) != FALSE;
}

// The device's input and output report lengths (report id included); 0 when unknown.
void ReadReportLengths(HANDLE device, size_t* input, size_t* output) {
    *input = 0;
    *output = 0;
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!HidD_GetPreparsedData(device, &data)) return;
    const std::unique_ptr<_HIDP_PREPARSED_DATA, PreparsedDataFreer> owned(data);
    HIDP_CAPS caps{};
    if (HidP_GetCaps(data, &caps) != HIDP_STATUS_SUCCESS) return;
    *input = caps.InputReportByteLength;
    *output = caps.OutputReportByteLength;
}

int LastErrorOr(DWORD fallback) {
    const DWORD error = GetLastError();
    return static_cast<int>(error != 0 ? error : fallback);
}

class Win32HidDevice final : public HidDevice {
  public:
    Win32HidDevice(UniqueHandle device, UniqueHandle event, size_t inputLength, size_t outputLength)
        : device_(std::move(device)),
          event_(std::move(event)),
          input_(inputLength != 0 ? inputLength : kDefaultReportLength),
          outputLength_(outputLength) {}

    // Windows takes output reports of exactly the device's length: a shorter report is sent
    // padded with zeros.
    HidIo WriteReport(const uint8_t* report, size_t length, uint32_t timeOutMs) override {
        if (length == 0) return HidIo::kFailed;
        output_.assign(report, report + length);
        if (output_.size() < outputLength_) output_.resize(outputLength_, 0);
        DWORD written = 0;
        return Transfer(false, output_.data(), output_.size(), timeOutMs, &written);
    }

    // Windows reads whole input reports, report id first, into a buffer of the device's
    // report length; the caller gets as much of it as fits.
    HidIo ReadReport(uint8_t* buffer, size_t capacity, size_t* length,
                     uint32_t timeOutMs) override {
        *length = 0;
        if (capacity == 0) return HidIo::kFailed;
        DWORD read = 0;
        const HidIo io = Transfer(true, input_.data(), input_.size(), timeOutMs, &read);
        if (io != HidIo::kOk) return io;
        *length = std::min<size_t>(read, capacity);
        std::memcpy(buffer, input_.data(), *length);
        return HidIo::kOk;
    }

  private:
    // One overlapped transfer, waited for on the event. A transfer still pending when the
    // time runs out is cancelled and waited for, so that nothing writes to the buffer or
    // the OVERLAPPED record after the call returns.
    HidIo Transfer(bool reading, uint8_t* data, size_t size, uint32_t timeOutMs, DWORD* moved) {
        *moved = 0;
        HANDLE device = device_.get();
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        ResetEvent(overlapped.hEvent);
        const DWORD length = static_cast<DWORD>(std::min<size_t>(size, MAXDWORD));
        const BOOL started = reading ? ReadFile(device, data, length, nullptr, &overlapped)
                                     : WriteFile(device, data, length, nullptr, &overlapped);
        if (!started && GetLastError() != ERROR_IO_PENDING) return HidIo::kFailed;

        const DWORD waited = WaitForSingleObject(overlapped.hEvent, timeOutMs);
        if (waited == WAIT_OBJECT_0) {
            return GetOverlappedResult(device, &overlapped, moved, FALSE) ? HidIo::kOk
                                                                          : HidIo::kFailed;
        }
        CancelIoEx(device, &overlapped);
        // A transfer that completed before the cancel took effect still counts.
        const BOOL done = GetOverlappedResult(device, &overlapped, moved, TRUE);
        if (done) return HidIo::kOk;
        return waited == WAIT_TIMEOUT ? HidIo::kTimedOut : HidIo::kFailed;
    }

    UniqueHandle device_;
    UniqueHandle event_;  // manual-reset, signalled when a transfer ends
    std::vector<uint8_t> input_;
    size_t outputLength_;
    std::vector<uint8_t> output_;
};

class Win32HidBackend final : public HidBackend {
  public:
    bool Enumerate(std::vector<HidDeviceInfo>* devices) override {
        devices->clear();
        GUID hidClass;
        HidD_GetHidGuid(&hidClass);
        HDEVINFO list = SetupDiGetClassDevsA(&hidClass, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (list == INVALID_HANDLE_VALUE) return false;
        const UniqueDeviceInfoList owned(list);
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA interfaceData{};
            interfaceData.cbSize = sizeof interfaceData;
            if (!SetupDiEnumDeviceInterfaces(list, nullptr, &hidClass, index, &interfaceData)) {
                break;  // ERROR_NO_MORE_ITEMS: every interface seen
            }
            std::string path = InterfacePath(list, &interfaceData);
            HIDD_ATTRIBUTES attributes{};
            if (path.empty() || !ReadAttributes(path, &attributes)) continue;
            devices->push_back({std::move(path), attributes.VendorID, attributes.ProductID});
        }
        return true;
    }

    std::unique_ptr<HidDevice> Open(const std::string& path, int* error) override {
        UniqueHandle device = win32::AdoptFileHandle(
            CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (!device) {
            *error = LastErrorOr(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!event) {
            *error = LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        size_t inputLength = 0;
        size_t outputLength = 0;
        ReadReportLengths(device.get(), &inputLength, &outputLength);
        *error = 0;
        return std::make_unique<Win32HidDevice>(std::move(device), std::move(event), inputLength,
                                                outputLength);
    }
};

}  // namespace

std::shared_ptr<HidBackend> DefaultHidBackend() {
    static const std::shared_ptr<HidBackend> backend = std::make_shared<Win32HidBackend>();
    return backend;
}

}  // namespace kestrel::platform
