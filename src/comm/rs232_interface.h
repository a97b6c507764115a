// Serial-line transport: a reader on a COM port or a tty device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "comm/comm_interface.h"
#include "platform/serial_port.h"

namespace kestrel::comm {

// The COM port number in a reader name: the decimal number after the first upper-case 'M'
// (leading blanks and one sign allowed, 0 without digits or without an 'M'), cut to a signed
// 8-bit value. "COM3" gives 3, "com3" 0, "COM200" -56.
int8_t PortNumberFromName(const char* name);

class Rs232Interface final : public CommInterface {
  public:
    static constexpr uint32_t kDefaultBaudRate = 57600;

    // `line` is the serial line the interface opens: the system's unless a test stands in.
    explicit Rs232Interface(std::unique_ptr<platform::SerialPort> line =
                                std::make_unique<platform::SystemSerialPort>());
    ~Rs232Interface() override;

    Result Open() override;
    Result Close() override;
    Result Purge() override;
    // Waits while the line is busy, for at most timeOutMs plus the time the bytes need on
    // the line at its baud rate. A write not done by then fails with KESTREL_ERR_RS232_WRITE
    // and the line is purged.
    Result Write(const uint8_t* buffer, uint32_t length, uint32_t* written,
                 uint32_t timeOutMs) override;
    Result Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t timeOutMs) override;
    // Stored without a check; takes effect at the next Open. 0 selects 57600.
    void SetBaudRate(uint32_t baudRate) { baudRate_ = baudRate; }
    // KESTREL_ERR_RS232_INVALID_PORT below 1; otherwise the low 8 bits are stored.
    Result SetPort(int16_t port);
    int16_t GetPort() const { return port_; }

    // Use this device path instead of the one the platform derives from the port number
    // (a reader name that starts with '/': a pseudo-terminal, /dev/serial/by-id/..., a device
    // node; or the path a serial line listing gave).
    void SetDevicePath(std::string path);

    uint32_t BaudRate() const { return baudRate_; }

  private:
    int8_t port_ = 1;
    uint32_t baudRate_ = 0;
    uint32_t lineBaudRate_ = kDefaultBaudRate;  // the rate the open line runs at
    std::string devicePath_;
    std::unique_ptr<platform::SerialPort> line_;
};

}  // namespace kestrel::comm
