// An in-process HID bus for tests: USB HID readers without kernel support. The virtual reader
// appears on it as one or more HID devices (any vendor and product id, any number), which the
// test plugs and unplugs. Each exchanges 33-byte reports (report id 0, 32 payload bytes) as a
// HID reader does: it takes a request frame from the start of a report, reads the frame's
// length from its header and ignores whatever follows the frame in its last report; it sends
// each answer frame in reports of 32 payload bytes, the last one padded.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "comm/usb_hid_interface.h"
#include "platform/hid_device.h"

namespace kestrel::testsupport {

class FakeHidBus : public platform::HidBackend {
  public:
    using Bytes = std::vector<uint8_t>;
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kReportSize = 33;
    static constexpr size_t kPayloadSize = 32;

    // One answer frame on its way to the host, in pieces that each leave after their delay.
    struct Answer {
        struct Piece {
            Bytes bytes;
            uint32_t delayMs = 0;
        };
        std::vector<Piece> pieces;
        // The reader resets in the middle of this answer: the unfinished report never leaves,
        // open handles are gone, the device is listed again.
        bool reset = false;
    };
    // What stands behind a device: the answers to one request frame.
    using Responder = std::function<std::vector<Answer>(const Bytes& request)>;

    // Adds a plugged device; its path is "fake-hid-<n>". Without a responder the device
    // answers nothing by itself and the test queues its answers.
    std::string Plug(uint16_t vendorId, uint16_t productId, Responder responder = nullptr) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        auto device = std::make_shared<Device>();
        device->path = "fake-hid-" + std::to_string(shared_->devices.size());
        device->vendorId = vendorId;
        device->productId = productId;
        device->responder = std::move(responder);
        shared_->devices.push_back(device);
        return device->path;
    }
    // Unplugging ends every open handle of the device; plugging it back keeps its place in
    // the enumeration order, as the same device in the same port would.
    void Unplug(const std::string& path) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        Device& device = Find(path);
        device.plugged = false;
        device.Reset();
        shared_->changed.notify_all();
    }
    void Replug(const std::string& path) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        Find(path).plugged = true;
    }
    // The device list cannot be read (no HID support at all).
    void SetListAvailable(bool available) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->listAvailable = available;
    }
    // Opening the device fails with this error number (0: opens again).
    void SetOpenError(const std::string& path, int error) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        Find(path).openError = error;
    }
    // Byte that fills the last report of an answer after the frame.
    void SetPadding(const std::string& path, uint8_t padding) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        Find(path).padding = padding;
    }
    // Sends `frame` to the host as the device sends an answer, due `delayMs` from now.
    void QueueAnswer(const std::string& path, const Bytes& frame, uint32_t delayMs = 0) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        Device& device = Find(path);
        const Clock::time_point due = Clock::now() + std::chrono::milliseconds(delayMs);
        std::vector<Clock::time_point> dues(frame.size(), due);
        device.QueueReports(frame, dues);
        shared_->changed.notify_all();
    }
    // Every report the host wrote to the device, report id first.
    std::vector<Bytes> ReportsWritten(const std::string& path) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return Find(path).written;
    }
    // Request frames the device took from those reports.
    std::vector<Bytes> RequestFrames(const std::string& path) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return Find(path).requests;
    }
    // Reports the host has read from the device.
    size_t ReportsRead(const std::string& path) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return Find(path).reportsRead;
    }

    bool Enumerate(std::vector<platform::HidDeviceInfo>* devices) override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        devices->clear();
        if (!shared_->listAvailable) return false;
        for (const auto& device : shared_->devices) {
            if (device->plugged) {
                devices->push_back({device->path, device->vendorId, device->productId});
            }
        }
        return true;
    }

    std::unique_ptr<platform::HidDevice> Open(const std::string& path, int* error) override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        for (const auto& device : shared_->devices) {
            if (device->path != path || !device->plugged) continue;
            if (device->openError != 0) {
                *error = device->openError;
                return nullptr;
            }
            *error = 0;
            return std::make_unique<Handle>(shared_, device, device->generation);
        }
        *error = ENOENT;
        return nullptr;
    }

  private:
    struct Device {
        std::string path;
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        bool plugged = true;
        int openError = 0;
        uint8_t padding = 0;
        // Grows whenever the device goes away or resets: handles of an older one are dead.
        uint64_t generation = 0;
        Responder responder;
        Bytes request;  // the request frame being received
        struct Report {
            Bytes bytes;
            Clock::time_point due;
        };
        std::deque<Report> answers;
        std::vector<Bytes> written;
        std::vector<Bytes> requests;
        size_t reportsRead = 0;

        void Reset() {
            ++generation;
            answers.clear();
            request.clear();
        }

        // Cuts answer bytes into reports; a report leaves when its last byte is there.
        void QueueReports(const Bytes& bytes, const std::vector<Clock::time_point>& dues) {
            for (size_t start = 0; start < bytes.size(); start += kPayloadSize) {
                const size_t n = std::min(kPayloadSize, bytes.size() - start);
                Bytes report(kReportSize, padding);
                report[0] = 0;
                std::copy_n(bytes.begin() + start, n, report.begin() + 1);
                answers.push_back({std::move(report), dues[start + n - 1]});
            }
        }

        // Takes one report from the host: request bytes from its start until the frame is
        // complete; the rest of the report is not looked at.
        void Receive(const uint8_t* report, size_t length) {
            written.emplace_back(report, report + length);
            for (size_t i = 1; i < length; ++i) {
                request.push_back(report[i]);
                if (request.size() < 5) continue;
                const size_t frameLength = 7 + (request[3] | (request[4] << 8));
                if (request.size() == frameLength) {
                    Serve();
                    return;
                }
            }
        }

        void Serve() {
            requests.push_back(request);
            Bytes frame;
            frame.swap(request);
            if (!responder) return;
            for (const Answer& answer : responder(frame)) {
                if (answer.reset) {
                    Reset();
                    return;
                }
                Bytes bytes;
                std::vector<Clock::time_point> dues;
                Clock::time_point due = Clock::now();
                for (const Answer::Piece& piece : answer.pieces) {
                    due += std::chrono::milliseconds(piece.delayMs);
                    bytes.insert(bytes.end(), piece.bytes.begin(), piece.bytes.end());
                    dues.insert(dues.end(), piece.bytes.size(), due);
                }
                QueueReports(bytes, dues);
            }
        }
    };

    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::shared_ptr<Device>> devices;
        bool listAvailable = true;
    };

    class Handle : public platform::HidDevice {
      public:
        Handle(std::shared_ptr<Shared> shared, std::shared_ptr<Device> device, uint64_t generation)
            : shared_(std::move(shared)), device_(std::move(device)), generation_(generation) {}

        platform::HidIo WriteReport(const uint8_t* report, size_t length,
                                    uint32_t /*timeOutMs*/) override {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (!Alive() || length != kReportSize || report[0] != 0) {
                return platform::HidIo::kFailed;
            }
            device_->Receive(report, length);
            shared_->changed.notify_all();
            return platform::HidIo::kOk;
        }

        // A real wait: sleeps until a report is due, the device goes away or the time-out ends.
        platform::HidIo ReadReport(uint8_t* buffer, size_t capacity, size_t* length,
                                   uint32_t timeOutMs) override {
            *length = 0;
            std::unique_lock<std::mutex> lock(shared_->mutex);
            const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeOutMs);
            for (;;) {
                if (!Alive()) return platform::HidIo::kFailed;
                const Clock::time_point now = Clock::now();
                if (!device_->answers.empty() && device_->answers.front().due <= now) {
                    const Bytes& report = device_->answers.front().bytes;
                    *length = std::min(capacity, report.size());
                    std::memcpy(buffer, report.data(), *length);
                    device_->answers.pop_front();
                    ++device_->reportsRead;
                    return platform::HidIo::kOk;
                }
                if (now >= deadline) return platform::HidIo::kTimedOut;
                Clock::time_point wake = deadline;
                if (!device_->answers.empty()) wake = std::min(wake, device_->answers.front().due);
                shared_->changed.wait_until(lock, wake);
            }
        }

      private:
        bool Alive() const { return device_->plugged && device_->generation == generation_; }

        std::shared_ptr<Shared> shared_;
        std::shared_ptr<Device> device_;
        uint64_t generation_;
    };

    Device& Find(const std::string& path) {
        for (const auto& device : shared_->devices) {
            if (device->path == path) return *device;
        }
        throw std::invalid_argument("no fake HID device " + path);
    }

    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

// Puts a bus in the place of the system's HID devices for the interfaces that the exported
// functions build, for as long as it lives.
class ScopedHidBackend {
  public:
    explicit ScopedHidBackend(std::shared_ptr<platform::HidBackend> backend) {
        comm::SetHidBackend(std::move(backend));
    }
    ~ScopedHidBackend() { comm::SetHidBackend(nullptr); }
    ScopedHidBackend(const ScopedHidBackend&) = delete;
    ScopedHidBackend& operator=(const ScopedHidBackend&) = delete;
};

}  // namespace kestrel::testsupport
