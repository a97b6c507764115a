// One serial line, raw 8N1: the operating system's (SystemSerialPort, implemented by every
// platform in its own folder, posix/ and win32/), or a stand-in a test gives the serial
// interface. Nothing here depends on an OS header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kestrel::platform {

// The device path of serial port number `port` (COM`port`) on this platform. Empty when the
// platform has no device for that number.
std::string SerialDevicePath(int port);

class SerialPort {
  public:
    enum class OpenStatus {
        kOk,
        kCannotOpen,       // the device could not be opened (missing, busy, no rights)
        kCannotConfigure,  // not a serial line, or the line refused the settings or baud rate
    };

    // Closes the device if it is open, without restoring the line settings (only Close does).
    virtual ~SerialPort() = default;

    // Opens `path` and sets it to raw mode, 8 data bits, no parity, one stop bit at
    // `baudRate`, keeping the settings it had so that Close can put them back, then lets the
    // line settle before returning (a reader may still be sending answers to requests of an
    // earlier connection; the caller purges what arrived). On failure the device is closed
    // again (its settings as found) and the object stays closed.
    virtual OpenStatus Open(const std::string& path, uint32_t baudRate) = 0;
    virtual bool IsOpen() const = 0;
    // Restores the settings saved by Open and closes the device. Does nothing when closed.
    virtual void Close() = 0;
    // Discards pending input and output. False when closed or when the OS refuses.
    virtual bool Purge() = 0;
    // Writes all `length` bytes, waiting while the line is busy, but at most timeOutMs in all.
    // A write cut short by that time is a success; *written tells how many bytes went out.
    // False on an I/O error or when closed.
    virtual bool Write(const uint8_t* data, uint32_t length, uint32_t* written,
                       uint32_t timeOutMs) = 0;
    // Reads up to `length` bytes. Returns once `length` bytes have arrived, when no byte has
    // come for timeOutMs, or after (length + 1) * timeOutMs in total, whichever comes first;
    // such a short read (even of 0 bytes) is a success. A time-out of 0 takes only what is
    // already waiting. False on an I/O error, a hung-up line or when closed; *count still
    // tells how many bytes were stored.
    virtual bool Read(uint8_t* buffer, uint32_t length, uint32_t* count, uint32_t timeOutMs) = 0;
};

// The operating system's serial line.
class SystemSerialPort final : public SerialPort {
  public:
    SystemSerialPort();
    ~SystemSerialPort() override;
    SystemSerialPort(const SystemSerialPort&) = delete;
    SystemSerialPort& operator=(const SystemSerialPort&) = delete;

    OpenStatus Open(const std::string& path, uint32_t baudRate) override;
    bool IsOpen() const override;
    void Close() override;
    bool Purge() override;
    bool Write(const uint8_t* data, uint32_t length, uint32_t* written,
               uint32_t timeOutMs) override;
    bool Read(uint8_t* buffer, uint32_t length, uint32_t* count, uint32_t timeOutMs) override;

  private:
    struct Impl;  // the OS handle and the saved line settings
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrel::platform
