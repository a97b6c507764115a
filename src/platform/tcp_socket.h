// Narrow backend for the TCP transport: one non-blocking IPv4 stream socket, the operating
// system's (SystemTcpSocket, implemented by every platform in its own folder) or a stand-in a
// test gives the TCP interface.
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
    // Closes the socket if it is open.
    virtual ~TcpSocket() = default;

    virtual bool IsOpen() const = 0;
    // Creates a non-blocking socket with Nagle's algorithm off. 0 or the OS error.
    virtual int Create() = 0;
    // Starts connecting. 0 when connected at once, *inProgress set when under way, else the
    // OS error.
    virtual int StartConnect(uint32_t addressHostOrder, uint16_t port, bool* inProgress) = 0;
    // Waits up to `timeOutMs` for a connect under way. 0 when connected, -1 when the time ran
    // out, else the OS error that ended the attempt (a refused connection, for example).
    virtual int FinishConnect(uint32_t timeOutMs) = 0;
    virtual SocketIo Send(const uint8_t* data, size_t length) = 0;
    virtual SocketIo Receive(uint8_t* data, size_t length) = 0;
    // True when the socket became writable (readable) within the time-out.
    virtual bool WaitWritable(uint32_t timeOutMs) = 0;
    virtual bool WaitReadable(uint32_t timeOutMs) = 0;
    // Shuts down the sending side and closes the socket.
    virtual void Close() = 0;

    // The error number a wait that timed out stands for ("would block").
    static int WouldBlockError();
};

// The operating system's socket.
class SystemTcpSocket final : public TcpSocket {
  public:
    SystemTcpSocket() = default;
    ~SystemTcpSocket() override;
    SystemTcpSocket(const SystemTcpSocket&) = delete;
    SystemTcpSocket& operator=(const SystemTcpSocket&) = delete;

    bool IsOpen() const override;
    int Create() override;
    int StartConnect(uint32_t addressHostOrder, uint16_t port, bool* inProgress) override;
    int FinishConnect(uint32_t timeOutMs) override;
    SocketIo Send(const uint8_t* data, size_t length) override;
    SocketIo Receive(uint8_t* data, size_t length) override;
    bool WaitWritable(uint32_t timeOutMs) override;
    bool WaitReadable(uint32_t timeOutMs) override;
    void Close() override;

  private:
    bool Wait(bool forWriting, uint32_t timeOutMs);

    intptr_t handle_ = -1;
};

}  // namespace kestrel::platform
