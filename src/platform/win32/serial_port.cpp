// Serial line on Windows: a COM port opened for synchronous I/O, its time-outs set per call
// through the driver's COMMTIMEOUTS.
#include "platform/serial_port.h"

#include <algorithm>

#include "platform/system_message.h"
#include "platform/win32/win32.h"

namespace kestrel::platform {

namespace {

// COMMTIMEOUTS values are DWORD milliseconds, MAXDWORD has a meaning of its own, and the
// driver multiplies the per-byte value by the length: keep (length + 1) * value below it.
DWORD PerByteTimeOut(uint32_t length, uint32_t ms) {
    const uint64_t limit = (uint64_t{MAXDWORD} - 1) / (uint64_t{length} + 1);
    return static_cast<DWORD>(std::min<uint64_t>(ms, limit));
}

// Some drivers end a transfer whose time-out ran out with an error instead of a short count.
bool IsTimeOut(DWORD error) {
    return error == ERROR_SEM_TIMEOUT || error == ERROR_TIMEOUT;
}

}  // namespace

// Any port number from 1 up, COM1-COM9 included, opens through the device namespace.
std::string SerialDevicePath(int port) {
    return port >= 1 ? "\\\\.\\COM" + std::to_string(port) : std::string();
}

struct SystemSerialPort::Impl {
    win32::UniqueHandle handle;
    DCB savedState{};
    bool timeOutsSaved = false;
    COMMTIMEOUTS savedTimeOuts{};
};

SystemSerialPort::SystemSerialPort() : impl_(std::make_unique<Impl>()) {}

// The handle closes without the saved settings being put back; only Close does that.
SystemSerialPort::~SystemSerialPort() = default;

SerialPort::OpenStatus SystemSerialPort::Open(const std::string& path, uint32_t baudRate) {
    Close();
    win32::UniqueHandle handle = win32::AdoptFileHandle(CreateFileA(
        path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle) {
        TraceSystemError("serial open of", path.c_str(), static_cast<int>(GetLastError()));
        return OpenStatus::kCannotOpen;
    }

    // Generous time-outs until the first Read and Write set their own; a driver that refuses
    // them keeps its own, which the calls replace anyway.
    impl_->timeOutsSaved = GetCommTimeouts(handle.get(), &impl_->savedTimeOuts) != 0;
    COMMTIMEOUTS timeOuts{6000, 6000, 6000, 6000, 6000};
    SetCommTimeouts(handle.get(), &timeOuts);
    Sleep(10);

    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(handle.get(), &state)) {
        TraceSystemError("serial settings of", path.c_str(), static_cast<int>(GetLastError()));
        if (impl_->timeOutsSaved) SetCommTimeouts(handle.get(), &impl_->savedTimeOuts);
        return OpenStatus::kCannotConfigure;
    }
    impl_->savedState = state;
    // 8N1 at the rate asked for; flow control, DTR/RTS and the special characters stay as
    // the port had them.
    state.BaudRate = baudRate;
    state.ByteSize = 8;
    state.Parity = NOPARITY;
    state.StopBits = ONESTOPBIT;
    Sleep(20);
    if (!SetCommState(handle.get(), &state)) {
        TraceSystemError("serial configuration of", path.c_str(), static_cast<int>(GetLastError()));
        // The driver may have taken part of the settings before refusing the rest.
        SetCommState(handle.get(), &impl_->savedState);
        if (impl_->timeOutsSaved) SetCommTimeouts(handle.get(), &impl_->savedTimeOuts);
        return OpenStatus::kCannotConfigure;
    }
    Sleep(20);
    impl_->handle = std::move(handle);
    return OpenStatus::kOk;
}

bool SystemSerialPort::IsOpen() const {
    return impl_->handle != nullptr;
}

void SystemSerialPort::Close() {
    if (!impl_->handle) return;
    SetCommState(impl_->handle.get(), &impl_->savedState);
    if (impl_->timeOutsSaved) SetCommTimeouts(impl_->handle.get(), &impl_->savedTimeOuts);
    impl_->handle.reset();
}

bool SystemSerialPort::Purge() {
    return impl_->handle && PurgeComm(impl_->handle.get(), PURGE_TXABORT | PURGE_RXABORT |
                                                               PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
}

bool SystemSerialPort::Write(const uint8_t* data, uint32_t length, uint32_t* written,
                             uint32_t timeOutMs) {
    *written = 0;
    if (!impl_->handle) return false;
    HANDLE handle = impl_->handle.get();
    // The driver ends the write after length * multiplier + constant milliseconds; both 0
    // would mean no time-out at all, and MAXDWORD has a meaning of its own.
    COMMTIMEOUTS timeOuts{};
    if (!GetCommTimeouts(handle, &timeOuts)) return false;
    timeOuts.WriteTotalTimeoutMultiplier = 0;
    timeOuts.WriteTotalTimeoutConstant = std::clamp<DWORD>(timeOutMs, 1, MAXDWORD - 1);
    if (!SetCommTimeouts(handle, &timeOuts)) return false;
    if (length == 0) return true;
    DWORD count = 0;
    const BOOL ok = WriteFile(handle, data, length, &count, nullptr);
    *written = count;
    return ok || IsTimeOut(GetLastError());
}

bool SystemSerialPort::Read(uint8_t* buffer, uint32_t length, uint32_t* count, uint32_t timeOutMs) {
    *count = 0;
    if (!impl_->handle) return false;
    HANDLE handle = impl_->handle.get();
    COMMTIMEOUTS timeOuts{};
    if (!GetCommTimeouts(handle, &timeOuts)) return false;
    if (timeOutMs == 0) {
        // Return at once with whatever the driver holds already.
        timeOuts.ReadIntervalTimeout = MAXDWORD;
        timeOuts.ReadTotalTimeoutMultiplier = 0;
        timeOuts.ReadTotalTimeoutConstant = 0;
    } else {
        // The whole read takes at most (length + 1) * time-out; once bytes flow, a gap of
        // one time-out ends it. (The gap only counts from the first byte on: before it, the
        // total time-out alone applies.)
        const DWORD ms = PerByteTimeOut(length, timeOutMs);
        timeOuts.ReadIntervalTimeout = ms;
        timeOuts.ReadTotalTimeoutMultiplier = ms;
        timeOuts.ReadTotalTimeoutConstant = ms;
    }
    if (!SetCommTimeouts(handle, &timeOuts)) return false;
    if (length == 0) return true;
    DWORD got = 0;
    const BOOL ok = ReadFile(handle, buffer, length, &got, nullptr);
    *count = got;
    return ok || IsTimeOut(GetLastError());
}

}  // namespace kestrel::platform
