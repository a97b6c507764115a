// Serial-line transport over the platform's SerialPort.
#include "comm/rs232_interface.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "common/parse.h"
#include "platform/serial_port.h"

namespace kestrel::comm {

namespace {

// Per-byte write time-out; the caller's time-out does not apply to serial writes.
constexpr uint32_t kWriteTimeOutPerByteMs = 6000;

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

Rs232Interface::Rs232Interface() = default;

// Closes the line without restoring its settings (SerialPort's destructor); only Close does.
Rs232Interface::~Rs232Interface() = default;

Result Rs232Interface::Open() {
    Close();
    if (baudRate_ == 0) baudRate_ = kDefaultBaudRate;
    const std::string path = devicePath_.empty() ? platform::SerialDevicePath(port_) : devicePath_;
    if (path.empty()) return KESTREL_ERR_RS232_OPEN;

    auto line = std::make_unique<platform::SerialPort>();
    switch (line->Open(path, baudRate_)) {
        case platform::SerialPort::OpenStatus::kOk:
            break;
        case platform::SerialPort::OpenStatus::kCannotOpen:
            return KESTREL_ERR_RS232_OPEN;
        case platform::SerialPort::OpenStatus::kCannotConfigure:
            return KESTREL_ERR_RS232_CONFIGURE;
    }
    if (!line->Purge()) {
        line->Close();
        return KESTREL_ERR_RS232_FLUSH;
    }
    line_ = std::move(line);
    return 0;
}

Result Rs232Interface::Close() {
    if (line_) {
        line_->Close();
        line_.reset();
    }
    return 0;
}

Result Rs232Interface::Purge() {
    return line_ && line_->Purge() ? 0 : KESTREL_ERR_RS232_FLUSH;
}

Result Rs232Interface::Write(const uint8_t* buffer, uint32_t length, uint32_t* written,
                             uint32_t /*timeOutMs*/) {
    uint32_t count = 0;
    const bool ok = line_ && (length == 0 || buffer != nullptr) &&
                    line_->Write(buffer, length, &count, kWriteTimeOutPerByteMs);
    if (written != nullptr) *written = count;
    return ok ? 0 : KESTREL_ERR_RS232_WRITE;
}

Result Rs232Interface::Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t timeOutMs) {
    uint32_t count = 0;
    const bool ok = line_ && (length == 0 || buffer != nullptr) &&
                    line_->Read(buffer, length, &count, timeOutMs);
    if (read != nullptr) *read = count;
    return ok ? 0 : KESTREL_ERR_RS232_READ;
}

Result Rs232Interface::SetBaudRate(uint32_t baudRate) {
    baudRate_ = baudRate;
    return 0;
}

Result Rs232Interface::SetPort(int16_t port) {
    if (port < 1) return KESTREL_ERR_RS232_INVALID_PORT;
    port_ = LowByteSigned(port);
    return 0;
}

int16_t Rs232Interface::GetPort() const {
    return port_;
}

void Rs232Interface::SetDevicePath(std::string path) {
    devicePath_ = std::move(path);
}

}  // namespace kestrel::comm
