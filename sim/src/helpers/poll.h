// File descriptors, a wake-up pipe, and waiting and writing with time limits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel::sim::detail {

// Owns a file descriptor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// A pipe whose read end becomes readable, for good, once Signal is called: every wait of a
// server thread watches it so that Stop ends them all.
class WakePipe {
  public:
    bool Open();
    void Signal();
    int ReadFd() const { return read_.Get(); }

  private:
    UniqueFd read_;
    UniqueFd write_;
};

enum class WaitResult { kReady, kTimeout, kWoken, kError };

// Waits for `events` on `fd` (POLLHUP and POLLERR count as ready), for the wake pipe, or for
// `timeoutMs` (-1: no limit). EINTR is retried with the remaining time.
WaitResult Wait(int fd, short events, int wakeFd, int timeoutMs);

// Sleeps `ms`; false when woken first.
bool Sleep(int wakeFd, uint32_t ms);

// Writes all bytes to a non-blocking descriptor (send with MSG_NOSIGNAL when `isSocket`).
// False on an error, when woken, or when the peer takes nothing for `stallMs`.
bool WriteAll(int fd, const uint8_t* data, size_t length, int wakeFd, int stallMs, bool isSocket);

}  // namespace kestrel::sim::detail
