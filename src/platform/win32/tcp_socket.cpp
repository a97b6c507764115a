// TCP on Windows: a non-blocking Winsock stream socket. Every socket holds one WSAStartup,
// released by Close, so that the library needs no set-up call of its own.
#include "platform/tcp_socket.h"

#include <algorithm>
#include <climits>

#include "platform/win32/win32.h"

#if _WIN32_WINNT < 0x0600
#error "InetPtonA needs _WIN32_WINNT 0x0600 (Windows Vista) or later"
#endif

namespace kestrel::platform {
namespace {

SOCKET AsSocket(intptr_t handle) {
    return static_cast<SOCKET>(handle);
}

SocketIo FromCall(int n) {
    SocketIo io;
    io.count = n;
    if (n == SOCKET_ERROR) {
        io.count = -1;
        io.error = WSAGetLastError();
        io.wouldBlock = io.error == WSAEWOULDBLOCK;
    }
    return io;
}

int ChunkLength(size_t length) {
    return static_cast<int>(std::min<size_t>(length, INT_MAX));
}

struct Readiness {
    int count = 0;  // select's result: 0 time-out, SOCKET_ERROR failure
    bool exception = false;
};

// Waits up to `timeOutMs` for the socket to become readable or writable; the exception set
// is always watched, since Windows reports a failed connect only there.
Readiness Select(SOCKET socket, bool forWriting, uint32_t timeOutMs) {
    fd_set ready;
    fd_set exceptions;
    FD_ZERO(&ready);
    FD_ZERO(&exceptions);
    FD_SET(socket, &ready);
    FD_SET(socket, &exceptions);
    timeval limit{};
    limit.tv_sec = static_cast<long>(timeOutMs / 1000);
    limit.tv_usec = static_cast<long>(timeOutMs % 1000) * 1000;
    Readiness result;
    // The first argument is ignored by Winsock.
    result.count = select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr,
                          &exceptions, &limit);
    result.exception = result.count > 0 && FD_ISSET(socket, &exceptions);
    return result;
}

}  // namespace

bool ParseIPv4(const char* text, uint32_t* addressHostOrder) {
    IN_ADDR address{};
    if (text == nullptr || InetPtonA(AF_INET, text, &address) != 1) return false;
    *addressHostOrder = ntohl(address.s_addr);
    return true;
}

// WSAEINVAL rather than EINVAL: the system has a text for it, and it is the code Winsock
// itself gives for an invalid argument.
int InvalidAddressError() {
    return WSAEINVAL;
}

int TcpSocket::WouldBlockError() {
    return WSAEWOULDBLOCK;
}

SystemTcpSocket::~SystemTcpSocket() {
    Close();
}

bool SystemTcpSocket::IsOpen() const {
    return handle_ != -1;
}

int SystemTcpSocket::Create() {
    Close();
    WSADATA data;
    if (const int error = WSAStartup(MAKEWORD(1, 1), &data); error != 0) return error;
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket == INVALID_SOCKET) {
        const int error = WSAGetLastError();
        WSACleanup();
        return error;
    }
    // From here on Close releases both the socket and the WSAStartup.
    handle_ = static_cast<intptr_t>(socket);
    u_long nonBlocking = 1;
    if (ioctlsocket(socket, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        Close();
        return error;
    }
    const BOOL noDelay = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    return 0;
}

int SystemTcpSocket::StartConnect(uint32_t addressHostOrder, uint16_t port, bool* inProgress) {
    *inProgress = false;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(addressHostOrder);
    peer.sin_port = htons(port);
    if (connect(AsSocket(handle_), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
        return 0;
    }
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        *inProgress = true;
        return 0;
    }
    return error;
}

int SystemTcpSocket::FinishConnect(uint32_t timeOutMs) {
    const Readiness ready = Select(AsSocket(handle_), true, timeOutMs);
    if (ready.count == 0) return -1;
    if (ready.count == SOCKET_ERROR) return WSAGetLastError();
    if (!ready.exception) return 0;  // writable: connected
    // The attempt failed; SO_ERROR tells why (WSAECONNREFUSED, WSAETIMEDOUT, ...).
    int error = 0;
    int size = sizeof error;
    if (getsockopt(AsSocket(handle_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &size) == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    // A failure without a recorded reason is reported as the usual one, a refusal.
    return error != 0 ? error : WSAECONNREFUSED;
}

SocketIo SystemTcpSocket::Send(const uint8_t* data, size_t length) {
    return FromCall(
        send(AsSocket(handle_), reinterpret_cast<const char*>(data), ChunkLength(length), 0));
}

SocketIo SystemTcpSocket::Receive(uint8_t* data, size_t length) {
    return FromCall(recv(AsSocket(handle_), reinterpret_cast<char*>(data), ChunkLength(length), 0));
}

bool SystemTcpSocket::WaitWritable(uint32_t timeOutMs) {
    return Wait(true, timeOutMs);
}

bool SystemTcpSocket::WaitReadable(uint32_t timeOutMs) {
    return Wait(false, timeOutMs);
}

// An exception condition also ends the wait: the next call reports what happened.
bool SystemTcpSocket::Wait(bool forWriting, uint32_t timeOutMs) {
    return Select(AsSocket(handle_), forWriting, timeOutMs).count > 0;
}

void SystemTcpSocket::Close() {
    if (handle_ == -1) return;
    shutdown(AsSocket(handle_), SD_SEND);
    closesocket(AsSocket(handle_));
    handle_ = -1;
    WSACleanup();
}

}  // namespace kestrel::platform
