// Narrow OS backend for the TCP transport: one non-blocking IPv4 stream socket.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel::platform {

// Outcome of one send or receive call.
struct SocketIo {
    long count = 0;           // bytes moved; 0 from Receive: the peer closed the connection
    int error = 0;            // OS error number when count < 0
    bool wouldBlock = false;  // the call failed only because it would have had to wait
};

// Parses a dotted-decimal IPv4 address (no name resolution). False when malformed.
bool ParseIPv4(const char* text, uint32_t* addressHostOrder);

// The error number for an address that is not a dotted IPv4 address.
int InvalidAddressError();

class TcpSocket {
  public:
    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    bool IsOpen() const;

    // Creates a non-blocking socket with Nagle's algorithm off. 0 or the OS error.
    int Create();
    // Starts connecting. 0 when connected at once, *inProgress set when under way, else the
    // OS error.
    int StartConnect(uint32_t addressHostOrder, uint16_t port, bool* inProgress);
    // Waits up to `timeOutMs` for a connect under way. 0 when connected, -1 when the time ran
    // out, else the OS error that ended the attempt (a refused connection, for example).
    int FinishConnect(uint32_t timeOutMs);

    SocketIo Send(const uint8_t* data, size_t length);
    SocketIo Receive(uint8_t* data, size_t length);
    // True when the socket became writable (readable) within the time-out.
    bool WaitWritable(uint32_t timeOutMs);
    bool WaitReadable(uint32_t timeOutMs);
    // The error number a wait that timed out stands for ("would block").
    static int WouldBlockError();

    // Shuts down the sending side and closes the socket.
    void Close();

  private:
    bool Wait(bool forWriting, uint32_t timeOutMs);

    intptr_t handle_ = -1;
};

}  // namespace kestrel::platform
