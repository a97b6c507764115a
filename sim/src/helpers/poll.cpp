#include "helpers/poll.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kestrel::sim::detail {

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool WakePipe::Open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    read_.Reset(fds[0]);
    write_.Reset(fds[1]);
    return true;
}

void WakePipe::Signal() {
    const uint8_t byte = 1;
    // A full pipe is readable already, so a failed write changes nothing.
    [[maybe_unused]] const ssize_t written = ::write(write_.Get(), &byte, 1);
}

WaitResult Wait(int fd, short events, int wakeFd, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
        const nfds_t count = fd >= 0 ? 2 : 1;
        int wait = timeoutMs;
        if (timeoutMs >= 0) {
            // Rounded up: a wait must not end before its deadline.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const int ready = ::poll(fds, count, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return WaitResult::kError;
        }
        if (fds[0].revents != 0) return WaitResult::kWoken;
        if (ready == 0) {
            if (timeoutMs >= 0 && Clock::now() < deadline) continue;
            return WaitResult::kTimeout;
        }
        if (count == 2 && fds[1].revents != 0) return WaitResult::kReady;
    }
}

bool Sleep(int wakeFd, uint32_t ms) {
    if (ms == 0) return true;
    return Wait(-1, 0, wakeFd, static_cast<int>(ms)) == WaitResult::kTimeout;
}

bool WriteAll(int fd, const uint8_t* data, size_t length, int wakeFd, int stallMs, bool isSocket) {
    while (length > 0) {
        const ssize_t written =
            isSocket ? ::send(fd, data, length, MSG_NOSIGNAL) : ::write(fd, data, length);
        if (written > 0) {
            data += written;
            length -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (Wait(fd, POLLOUT, wakeFd, stallMs) != WaitResult::kReady) return false;
    }
    return true;
}

}  // namespace kestrel::sim::detail
