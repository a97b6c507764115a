#include "harness.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "api/session.h"
#include "comm/usb_hid_interface.h"
#include "desfire/random.h"
#include "platform/hid_device.h"
#include "support/frames.h"

namespace kestrel::fuzz {
namespace {

constexpr size_t kGuardSize = 16;
constexpr uint8_t kGuardByte = 0xE7;
constexpr uint8_t kFillByte = 0x5C;
// Product id of the USB reader of the framing family.
constexpr uint16_t kUsbProduct = 0x0C01;

// A serial line with a read time-out of zero: a read takes what has come, maybe nothing. The
// answer to each request is the next answer record of the input, wrapped into a correct frame
// that echoes the request's sequence number; or, on a raw line, the next run of input bytes
// (a length in the record encoding, then the bytes) as they are.
class Line : public comm::CommInterface {
  public:
    Line(Input& input, bool raw) : input_(input), raw_(raw) {}

    Result Open() override { return KESTREL_OK; }
    Result Close() override { return KESTREL_OK; }
    Result Purge() override {
        incoming_.clear();
        return KESTREL_OK;
    }
    Result Write(const uint8_t* buffer, uint32_t length, uint32_t* written, uint32_t) override {
        if (written != nullptr) *written = length;
        if (input_.Empty()) return KESTREL_OK;
        Bytes answer;
        if (raw_) {
            answer = input_.Take(input_.Length());
        } else {
            const uint8_t status = input_.Byte();
            answer = test::Frame(length > 1 ? buffer[1] : 0, status, input_.Take(input_.Length()));
        }
        incoming_.insert(incoming_.end(), answer.begin(), answer.end());
        return KESTREL_OK;
    }
    Result Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t) override {
        const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(incoming_.size()));
        std::copy_n(incoming_.begin(), n, buffer);
        incoming_.erase(incoming_.begin(), incoming_.begin() + n);
        *read = n;
        return KESTREL_OK;
    }
  private:
    Input& input_;
    const bool raw_;
    std::deque<uint8_t> incoming_;
};

// A USB HID reader whose answer to the reports of a request is the next run of raw reports of
// the input: a report count, then each report as a length (at most 33) and its bytes.
class RawHidDevice : public platform::HidDevice {
  public:
    explicit RawHidDevice(Input& input) : input_(input) {}

    platform::HidIo WriteReport(const uint8_t*, size_t, uint32_t) override {
        answerDue_ = true;
        return platform::HidIo::kOk;
    }
    platform::HidIo ReadReport(uint8_t* buffer, size_t capacity, size_t* length,
                               uint32_t) override {
        if (answerDue_) {
            answerDue_ = false;
            for (int count = input_.Byte(); count > 0 && !input_.Empty(); --count) {
                const size_t size =
                    std::min<size_t>(input_.Byte(), comm::UsbHidInterface::kReportSize);
                reports_.push_back(input_.Take(size));
            }
        }
        if (reports_.empty()) return platform::HidIo::kTimedOut;
        const Bytes& report = reports_.front();
        *length = std::min(capacity, report.size());
        std::copy_n(report.begin(), *length, buffer);
        reports_.pop_front();
        return platform::HidIo::kOk;
    }

  private:
    Input& input_;
    bool answerDue_ = false;
    std::deque<Bytes> reports_;
};

class RawHidBackend : public platform::HidBackend {
  public:
    explicit RawHidBackend(Input& input) : input_(input) {}

    bool Enumerate(std::vector<platform::HidDeviceInfo>* devices) override {
        devices->push_back({"fuzz", comm::UsbHidInterface::kReaderVendorId, kUsbProduct});
        return true;
    }
    std::unique_ptr<platform::HidDevice> Open(const std::string&, int*) override {
        return std::make_unique<RawHidDevice>(input_);
    }

  private:
    Input& input_;
};

struct SessionDeleter {
    void operator()(KestrelSession* session) const { ReleaseSession(session, 0); }
};

// Connects the session to the input as the family's transport wants it.
void Connect(const Family& family, KestrelSession& session, Input& input) {
    const bool raw = family.transport == Transport::kRawLine;
    if (!raw || input.Byte() % 2 == 0) {
        api::ConnectWith(session, std::make_unique<Line>(input, raw), family.readerType);
    } else {
        comm::SetHidBackend(std::make_shared<RawHidBackend>(input));
        ConnectReaderEx(&session, INTERFACE_USB, "USB_0", kUsbProduct, 0);
        comm::SetHidBackend(nullptr);
    }
    NoPauses(&session);
}

}  // namespace

Bytes Input::Take(size_t length) {
    const size_t n = std::min(length, size_ - std::min(offset_, size_));
    Bytes bytes(data_ + offset_, data_ + offset_ + n);
    offset_ += n;
    return bytes;
}

size_t Input::Length() {
    const uint8_t first = Byte();
    if ((first & 0x80) == 0) return first;
    return static_cast<size_t>(first & 0x7F) << 8 | Byte();
}

Call::~Call() = default;

Bytes Call::Message(uint16_t limit) {
    Bytes message(Byte() % limit);
    for (uint8_t& byte : message) byte = Byte();
    return message;
}

const uint8_t* Call::Copy(size_t length) {
    uint8_t* bytes = Buffer(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = Byte();
    return bytes;
}

uint8_t* Call::Buffer(size_t size) {
    auto block = std::make_unique<uint8_t[]>(size + 2 * kGuardSize);
    std::memset(block.get(), kGuardByte, size + 2 * kGuardSize);
    std::memset(block.get() + kGuardSize, kFillByte, size);
    uint8_t* inner = block.get() + kGuardSize;
    buffers_.push_back(std::move(block));
    sizes_.push_back(size);
    return inner;
}

void Call::Check() const {
    static const std::array<uint8_t, kGuardSize> guard = [] {
        std::array<uint8_t, kGuardSize> bytes;
        bytes.fill(kGuardByte);
        return bytes;
    }();
    for (size_t b = 0; b < buffers_.size(); ++b) {
        const uint8_t* block = buffers_[b].get();
        if (std::memcmp(block, guard.data(), kGuardSize) != 0 ||
            std::memcmp(block + kGuardSize + sizes_[b], guard.data(), kGuardSize) != 0) {
            Fail("a guard byte of buffer " + std::to_string(b) + " (" + std::to_string(sizes_[b]) +
                 " bytes) changed");
        }
    }
}

void Call::Fits(uint32_t length, uint32_t capacity) const {
    if (length > capacity) {
        Fail("length " + std::to_string(length) + " above capacity " + std::to_string(capacity));
    }
}

void Call::Fail(const std::string& what) const {
    std::fprintf(stderr, "%s: %s\n", name_, what.c_str());
    std::abort();
}

void RunOperation(const Family& family, KestrelSession* session, uint8_t operation,
                  Input& arguments) {
    const Operation& op = family.operations[operation % family.operations.size()];
    Call call(session, arguments, op.name);
    const int32_t result = op.run(call);
    call.Check();
    // KESTREL_FUZZ_TRACE=1 lists each operation and its result (to see what a seed reaches).
    static const bool trace = std::getenv("KESTREL_FUZZ_TRACE") != nullptr;
    if (trace) std::fprintf(stderr, "  %s -> %d\n", op.name, result);
}

void NoPauses(KestrelSession* session) {
    if (session->reader) session->reader->SetPause([](uint32_t) {});
}

int FixedRandom(unsigned char* buffer, int length) {
    for (int i = 0; i < length; ++i) buffer[i] = static_cast<unsigned char>(0xA0 + i);
    return 1;
}

int Run(const Family& family, const uint8_t* data, size_t size) {
    static const bool fixedRandom = (desfire::SetRandomSource(FixedRandom), true);
    (void)fixedRandom;
    Input input(data, size);
    std::unique_ptr<KestrelSession, SessionDeleter> session(CreateSession(0));
    Connect(family, *session, input);
    if (family.prepare != nullptr) family.prepare(session.get());
    for (size_t i = 0; i < kMaxOperations && !input.Empty(); ++i) {
        const uint8_t operation = input.Byte();
        RunOperation(family, session.get(), operation, input);
    }
    return 0;
}

}  // namespace kestrel::fuzz
