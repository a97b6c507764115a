// USB HID devices through hidapi (its hidraw backend on Linux): enumeration by the device
// list, reports through hid_write and hid_read_timeout, which waits with poll().
#include "platform/hid_device.h"

#include <hidapi.h>

#include <cerrno>
#include <climits>
#include <set>

namespace kestrel::platform {

namespace {

int ErrnoOr(int fallback) {
    return errno != 0 ? errno : fallback;
}

class HidapiDevice final : public HidDevice {
  public:
    explicit HidapiDevice(hid_device* device) : device_(device) {}
    ~HidapiDevice() override { hid_close(device_); }
    HidapiDevice(const HidapiDevice&) = delete;
    HidapiDevice& operator=(const HidapiDevice&) = delete;

    // hid_write waits as long as the kernel driver lets an output report take (the driver
    // bounds it with its own time-out); it offers no time-out of its own.
    HidIo WriteReport(const uint8_t* report, size_t length, uint32_t /*timeOutMs*/) override {
        return hid_write(device_, report, length) < 0 ? HidIo::kFailed : HidIo::kOk;
    }

    // The readers send unnumbered reports, which hidapi hands over without their report id:
    // the id 0 is put back in front so that every platform yields the same report.
    HidIo ReadReport(uint8_t* buffer, size_t capacity, size_t* length,
                     uint32_t timeOutMs) override {
        *length = 0;
        if (capacity == 0) return HidIo::kFailed;
        const int ms = timeOutMs > INT_MAX ? INT_MAX : static_cast<int>(timeOutMs);
        const int n = hid_read_timeout(device_, buffer + 1, capacity - 1, ms);
        if (n < 0) return HidIo::kFailed;
        if (n == 0) return HidIo::kTimedOut;
        buffer[0] = 0;
        *length = static_cast<size_t>(n) + 1;
        return HidIo::kOk;
    }

  private:
    hid_device* device_;
};

class HidapiBackend final : public HidBackend {
  public:
    HidapiBackend() : initialised_(hid_init() == 0) {}
    ~HidapiBackend() override {
        if (initialised_) hid_exit();
    }
    HidapiBackend(const HidapiBackend&) = delete;
    HidapiBackend& operator=(const HidapiBackend&) = delete;

    bool Enumerate(std::vector<HidDeviceInfo>* devices) override {
        devices->clear();
        if (!initialised_) return false;
        // A device with several top-level collections is listed once per collection under
        // the same path; it is one device here.
        std::set<std::string> seen;
        hid_device_info* list = hid_enumerate(0, 0);
        for (const hid_device_info* d = list; d != nullptr; d = d->next) {
            if (d->path == nullptr || !seen.insert(d->path).second) continue;
            devices->push_back({d->path, d->vendor_id, d->product_id});
        }
        hid_free_enumeration(list);
        return true;
    }

    std::unique_ptr<HidDevice> Open(const std::string& path, int* error) override {
        if (!initialised_) {
            *error = ENODEV;
            return nullptr;
        }
        errno = 0;
        hid_device* device = hid_open_path(path.c_str());
        if (device == nullptr) {
            *error = ErrnoOr(ENODEV);
            return nullptr;
        }
        *error = 0;
        return std::make_unique<HidapiDevice>(device);
    }

  private:
    bool initialised_;
};

}  // namespace

std::shared_ptr<HidBackend> DefaultHidBackend() {
    static const std::shared_ptr<HidBackend> backend = std::make_shared<HidapiBackend>();
    return backend;
}

}  // namespace kestrel::platform
