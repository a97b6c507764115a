// Serial-line transport over the platform's SerialPort.
#include "comm/rs232_interface.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "common/parse.h"

namespace kestrel::comm {

namespace {

// Bit times of one byte on the line: start bit, eight data bits, stop bit.
constexpr uint64_t kBitsPerByte = 10;

// How long a write of `length` bytes may take: the caller's time-out plus the time the bytes
// need on the line at `baudRate`.
uint32_t WriteTimeOutMs(uint32_t length, uint32_t baudRate, uint32_t timeOutMs) {
    const uint64_t lineMs = (length * kBitsPerByte * 1000 + baudRate - 1) / baudRate;
    return static_cast<uint32_t>(std::min<uint64_t>(timeOutMs + lineMs, UINT32_MAX));
}

int8_t LowByteSigned(int32_t value) {
    return static_cast<int8_t>(static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFFu));
}

}  // namespace

int8_t PortNumberFromName(const char* name) {
    if (name == nullptr) return 0;
    const char* m = std::strchr(name, 'M');
    // Like atoi with a 32-bit int, then cut to 8 bits: a huge number gives -1.
    return m == nullptr ? 0 : LowByteSigned(ParseDecimal(m + 1));
}

Rs232Interface::Rs232Interface(std::unique_ptr<platform::SerialPort> line)
    : line_(std::move(line)) {}

// Closes the line without restoring its settings (SerialPort's destructor); only Close does.
Rs232Interface::~Rs232Interface() = default;

Result Rs232Interface::Open() {
    Close();
    if (baudRate_ == 0) baudRate_ = kDefaultBaudRate;
    const std::string path = devicePath_.empty() ? platform::SerialDevicePath(port_) : devicePath_;
    if (path.empty()) return KESTREL_ERR_RS232_OPEN;

    switch (line_->Open(path, baudRate_)) {
        case platform::SerialPort::OpenStatus::kOk:
            break;
        case platform::SerialPort::OpenStatus::kCannotOpen:
            return KESTREL_ERR_RS232_OPEN;
        case platform::SerialPort::OpenStatus::kCannotConfigure:
            return KESTREL_ERR_RS232_CONFIGURE;
    }
    if (!line_->Purge()) {
        line_->Close();
        return KESTREL_ERR_RS232_FLUSH;
    }
    lineBaudRate_ = baudRate_;
    return 0;
}

Result Rs232Interface::Close() {
    line_->Close();
    return 0;
}

Result Rs232Interface::Purge() {
    return line_->Purge() ? 0 : KESTREL_ERR_RS232_FLUSH;
}

Result Rs232Interface::Write(const uint8_t* buffer, uint32_t length, uint32_t* written,
                             uint32_t timeOutMs) {
    uint32_t count = 0;
    bool ok =
        (length == 0 || buffer != nullptr) &&
        line_->Write(buffer, length, &count, WriteTimeOutMs(length, lineBaudRate_, timeOutMs));
    // A reader that stopped taking bytes: the rest of the frame is dropped rather than sent
    // whenever the reader comes back.
    if (ok && count < length) {
        line_->Purge();
        ok = false;
    }
    if (written != nullptr) *written = count;
    return ok ? 0 : KESTREL_ERR_RS232_WRITE;
}

Result Rs232Interface::Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t timeOutMs) {
    uint32_t count = 0;
    const bool ok =
        (length == 0 || buffer != nullptr) && line_->Read(buffer, length, &count, timeOutMs);
    if (read != nullptr) *read = count;
    return ok ? 0 : KESTREL_ERR_RS232_READ;
}

Result Rs232Interface::SetPort(int16_t port) {
    if (port < 1) return KESTREL_ERR_RS232_INVALID_PORT;
    port_ = LowByteSigned(port);
    return 0;
}

void Rs232Interface::SetDevicePath(std::string path) {
    devicePath_ = std::move(path);
}

}  // namespace kestrel::comm
