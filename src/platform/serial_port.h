// One serial line opened by the operating system, raw 8N1. Every platform implements this
// header in its own folder (posix/, win32/); nothing here depends on an OS header.
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

    SerialPort();
    // Closes the device if it is open, without restoring the line settings (only Close does).
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens `path` and sets it to raw mode, 8 data bits, no parity, one stop bit at
    // `baudRate`, keeping the settings it had so that Close can put them back, then lets the
    // line settle before returning (a reader may still be sending answers to requests of an
    // earlier connection; the caller purges what arrived). On failure the device is closed
    // again (its settings as found) and the object stays closed.
    OpenStatus Open(const std::string& path, uint32_t baudRate);
    bool IsOpen() const;
    // Restores the settings saved by Open and closes the device. Does nothing when closed.
    void Close();
    // Discards pending input and output. False when closed or when the OS refuses.
    bool Purge();
    // Writes all `length` bytes, waiting while the line is busy, but at most timeOutMs in all.
    // A write cut short by that time is a success; *written tells how many bytes went out.
    // False on an I/O error or when closed.
    bool Write(const uint8_t* data, uint32_t length, uint32_t* written, uint32_t timeOutMs);
    // Reads up to `length` bytes. Returns once `length` bytes have arrived, when no byte has
    // come for timeOutMs, or after (length + 1) * timeOutMs in total, whichever comes first;
    // such a short read (even of 0 bytes) is a success. A time-out of 0 takes only what is
    // already waiting. False on an I/O error, a hung-up line or when closed; *count still
    // tells how many bytes were stored.
    bool Read(uint8_t* buffer, uint32_t length, uint32_t* count, uint32_t timeOutMs);

  private:
    struct Impl;  // the OS handle and the saved line settings
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrel::platform
