#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

namespace kestrel::platform {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer must not raise SIGPIPE
#else
constexpr int kSendFlags = 0;
#endif

bool IsWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

SocketIo FromCall(ssize_t n) {
    SocketIo io;
    io.count = static_cast<long>(n);
    if (n < 0) {
        io.error = errno;
        io.wouldBlock = IsWouldBlock(io.error);
    }
    return io;
}

}  // namespace

bool ParseIPv4(const char* text, uint32_t* addressHostOrder) {
    in_addr address{};
    if (text == nullptr || inet_pton(AF_INET, text, &address) != 1) return false;
    *addressHostOrder = ntohl(address.s_addr);
    return true;
}

int InvalidAddressError() {
    return EINVAL;
}

int TcpSocket::WouldBlockError() {
    return EAGAIN;
}

SystemTcpSocket::~SystemTcpSocket() {
    Close();
}

bool SystemTcpSocket::IsOpen() const {
    return handle_ >= 0;
}

int SystemTcpSocket::Create() {
    Close();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    handle_ = fd;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        const int error = errno;
        Close();
        return error;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
#ifdef SO_NOSIGPIPE
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    return 0;
}

int SystemTcpSocket::StartConnect(uint32_t addressHostOrder, uint16_t port, bool* inProgress) {
    *inProgress = false;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(addressHostOrder);
    peer.sin_port = htons(port);
    if (connect(static_cast<int>(handle_), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) ==
        0) {
        return 0;
    }
    const int error = errno;
    if (error == EINPROGRESS || error == EINTR || IsWouldBlock(error)) {
        *inProgress = true;
        return 0;
    }
    return error;
}

int SystemTcpSocket::FinishConnect(uint32_t timeOutMs) {
    if (!Wait(true, timeOutMs)) return -1;
    // A refused or failed connection also makes the socket writable: the outcome is in
    // SO_ERROR.
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_ERROR, &error, &size) < 0) {
        return errno;
    }
    return error;
}

SocketIo SystemTcpSocket::Send(const uint8_t* data, size_t length) {
    ssize_t n;
    do {
        n = send(static_cast<int>(handle_), data, length, kSendFlags);
    } while (n < 0 && errno == EINTR);
    return FromCall(n);
}

SocketIo SystemTcpSocket::Receive(uint8_t* data, size_t length) {
    ssize_t n;
    do {
        n = recv(static_cast<int>(handle_), data, length, 0);
    } while (n < 0 && errno == EINTR);
    return FromCall(n);
}

bool SystemTcpSocket::WaitWritable(uint32_t timeOutMs) {
    return Wait(true, timeOutMs);
}

bool SystemTcpSocket::WaitReadable(uint32_t timeOutMs) {
    return Wait(false, timeOutMs);
}

bool SystemTcpSocket::Wait(bool forWriting, uint32_t timeOutMs) {
    pollfd entry{};
    entry.fd = static_cast<int>(handle_);
    entry.events = forWriting ? POLLOUT : POLLIN;
    const int timeout = timeOutMs > INT32_MAX ? INT32_MAX : static_cast<int>(timeOutMs);
    int n;
    do {
        n = poll(&entry, 1, timeout);
    } while (n < 0 && errno == EINTR);
    // An error or hang-up also ends the wait: the next call reports what happened.
    return n > 0;
}

void SystemTcpSocket::Close() {
    if (handle_ < 0) return;
    shutdown(static_cast<int>(handle_), SHUT_WR);
    close(static_cast<int>(handle_));
    handle_ = -1;
}

}  // namespace kestrel::platform
