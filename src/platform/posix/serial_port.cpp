// Serial line on POSIX systems: termios in raw mode, non-blocking descriptor driven by poll().
#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/trace.h"
#include "platform/deadline.h"
#include "platform/system_message.h"

namespace kestrel::platform {

namespace {

struct BaudEntry {
    uint32_t rate;
    speed_t speed;
};

// The rates termios can express on this platform; any other rate is refused.
constexpr BaudEntry kBaudRates[] = {
    {50, B50},           {75, B75},       {110, B110},   {134, B134},
    {150, B150},         {200, B200},     {300, B300},   {600, B600},
    {1200, B1200},       {1800, B1800},   {2400, B2400}, {4800, B4800},
#ifdef B7200
    {7200, B7200},
#endif
    {9600, B9600},
#ifdef B14400
    {14400, B14400},
#endif
    {19200, B19200},
#ifdef B28800
    {28800, B28800},
#endif
    {38400, B38400},     {57600, B57600},
#ifdef B76800
    {76800, B76800},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool SpeedForRate(uint32_t rate, speed_t* speed) {
    for (const BaudEntry& entry : kBaudRates) {
        if (entry.rate == rate) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

// Raw mode: no line editing, echo, signals, character translation or software flow control.
// Hardware flow control (CRTSCTS) stays as the line had it.
void MakeRaw(termios* t) {
    t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                         IXON | IXOFF | IXANY);
    t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    t->c_cflag |= CS8 | CLOCAL | CREAD;
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

enum class Wait { kReady, kTimedOut, kHungUp, kFailed };

// Waits until `fd` is ready for `events` or `ms` have passed. An interrupted wait counts as
// timed out: the caller checks its deadlines and waits again.
Wait WaitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    const int ready = poll(&p, 1, ms);
    if (ready < 0) return errno == EINTR ? Wait::kTimedOut : Wait::kFailed;
    if (ready == 0) return Wait::kTimedOut;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return Wait::kHungUp;
    return Wait::kReady;
}

uint64_t TotalMs(uint32_t length, uint32_t perByteMs) {
    return (uint64_t{length} + 1) * perByteMs;
}

// A reader may still be answering requests of an earlier connection that timed out before the
// line was opened again. What arrives is dropped until the line has been quiet for
// kSettleQuietMs (for at most kSettleMaxMs in all), so that the purge after the open leaves
// none of it behind for the first request of the new connection to take as its answer.
constexpr int kSettleQuietMs = 50;
constexpr uint64_t kSettleMaxMs = 500;

void Settle(int fd) {
    const Deadline limit(kSettleMaxMs);
    uint8_t scratch[256];
    while (!limit.Expired()) {
        if (WaitFor(fd, POLLIN, std::min(kSettleQuietMs, limit.RemainingMs())) != Wait::kReady) {
            return;
        }
        if (::read(fd, scratch, sizeof scratch) < 0 && errno != EINTR && !WouldBlock(errno)) {
            return;
        }
    }
}

}  // namespace

// COM1-COM32 are /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31 (USB adapters), COM65-COM96
// /dev/ttyACM0-31 (USB CDC devices); other numbers have no device.
std::string SerialDevicePath(int port) {
    struct Range {
        int first;
        const char* prefix;
    };
    static constexpr Range kRanges[] = {{1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
    for (const Range& range : kRanges) {
        if (port >= range.first && port < range.first + 32) {
            return range.prefix + std::to_string(port - range.first);
        }
    }
    return std::string();
}

struct SystemSerialPort::Impl {
    int fd = -1;
    bool exclusive = false;  // this descriptor holds the exclusive claim
    bool saved = false;
    termios savedSettings{};

    // Gives up the exclusive claim and closes; Linux keeps the claim past close() while the
    // other side of a pseudo-terminal lives.
    void Release() {
        if (exclusive) ioctl(fd, TIOCNXCL);
        ::close(fd);
        fd = -1;
        exclusive = false;
        saved = false;
    }
};

SystemSerialPort::SystemSerialPort() : impl_(std::make_unique<Impl>()) {}

SystemSerialPort::~SystemSerialPort() {
    if (impl_->fd >= 0) impl_->Release();
}

SerialPort::OpenStatus SystemSerialPort::Open(const std::string& path, uint32_t baudRate) {
    Close();
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        TraceSystemError("serial open of", path.c_str(), errno);
        return OpenStatus::kCannotOpen;
    }
    impl_->fd = fd;
    // Later opens of the line fail as long as this one holds it; not every device supports it.
    impl_->exclusive = ioctl(fd, TIOCEXCL) == 0;

    speed_t speed;
    termios settings;
    if (tcgetattr(fd, &impl_->savedSettings) != 0) {
        TraceSystemError("serial settings of", path.c_str(), errno);
        impl_->Release();
        return OpenStatus::kCannotConfigure;
    }
    if (!SpeedForRate(baudRate, &speed)) {
        KESTREL_TRACE("platform", "serial line %s: no line speed for %u baud", path.c_str(),
                      static_cast<unsigned>(baudRate));
        impl_->Release();
        return OpenStatus::kCannotConfigure;
    }
    impl_->saved = true;
    settings = impl_->savedSettings;
    MakeRaw(&settings);
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &settings) != 0) {
        TraceSystemError("serial configuration of", path.c_str(), errno);
        Close();  // tcsetattr may have applied part of the settings
        return OpenStatus::kCannotConfigure;
    }
    Settle(fd);
    return OpenStatus::kOk;
}

bool SystemSerialPort::IsOpen() const {
    return impl_->fd >= 0;
}

void SystemSerialPort::Close() {
    if (impl_->fd < 0) return;
    if (impl_->saved) tcsetattr(impl_->fd, TCSANOW, &impl_->savedSettings);
    impl_->Release();
}

bool SystemSerialPort::Purge() {
    return impl_->fd >= 0 && tcflush(impl_->fd, TCIOFLUSH) == 0;
}

bool SystemSerialPort::Write(const uint8_t* data, uint32_t length, uint32_t* written,
                             uint32_t timeOutMs) {
    *written = 0;
    if (impl_->fd < 0) return false;
    const Deadline total(timeOutMs);
    bool hungUp = false;
    while (*written < length) {
        const ssize_t n = ::write(impl_->fd, data + *written, length - *written);
        if (n > 0) {
            *written += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && !WouldBlock(errno)) return false;
        // The line takes nothing more at the moment.
        if (hungUp) return false;
        if (total.Expired()) return true;
        switch (WaitFor(impl_->fd, POLLOUT, total.RemainingMs())) {
            case Wait::kFailed:
                return false;
            case Wait::kHungUp:
                hungUp = true;  // one more attempt takes what the line still accepts
                break;
            default:
                break;
        }
    }
    return true;
}

bool SystemSerialPort::Read(uint8_t* buffer, uint32_t length, uint32_t* count, uint32_t timeOutMs) {
    *count = 0;
    if (impl_->fd < 0) return false;
    const Deadline total(TotalMs(length, timeOutMs));
    Deadline interval(timeOutMs);
    bool hungUp = false;
    while (*count < length) {
        const ssize_t n = ::read(impl_->fd, buffer + *count, length - *count);
        if (n > 0) {
            *count += static_cast<uint32_t>(n);
            interval = Deadline(timeOutMs);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && !WouldBlock(errno)) return false;
        // Nothing waiting: a raw line with VMIN and VTIME 0 answers 0 rather than EAGAIN.
        if (hungUp) return false;
        if (total.Expired() || interval.Expired()) return true;
        const int waitMs = std::min(total.RemainingMs(), interval.RemainingMs());
        switch (WaitFor(impl_->fd, POLLIN, waitMs)) {
            case Wait::kFailed:
                return false;
            case Wait::kHungUp:
                hungUp = true;  // one more attempt collects what arrived before the hang-up
                break;
            default:
                break;
        }
    }
    return true;
}

}  // namespace kestrel::platform
