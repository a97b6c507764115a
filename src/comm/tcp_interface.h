// TCP transport: a reader reached over the network as "a.b.c.d:port".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "comm/comm_interface.h"
#include "platform/tcp_socket.h"

namespace kestrel::comm {

class TcpInterface final : public CommInterface {
  public:
    // How long Open waits for the connection to be made, whatever the link time-outs are.
    static constexpr uint32_t kConnectTimeOutMs = 2000;

    // `socket` is what the interface connects: the system's socket unless a test stands in.
    explicit TcpInterface(std::unique_ptr<platform::TcpSocket> socket =
                              std::make_unique<platform::SystemTcpSocket>());
    ~TcpInterface() override;

    // Connects to the address and port set by SetAddress. KESTREL_ERR_NO_READER_NAME without
    // an address, -1 when the connection is not made within two seconds, else 0 or the OS
    // error (ECONNREFUSED, for example; EINVAL for an address that is not dotted IPv4).
    Result Open() override;
    Result Close() override;
    // Discards the bytes that have arrived and not been read; always 0.
    Result Purge() override;
    // Sends the whole buffer. A send that stalls after part of the buffer went out gives
    // KESTREL_ERR_SOCKET; no room at all within the time-out gives the OS "would block" error.
    Result Write(const uint8_t* buffer, uint32_t length, uint32_t* written,
                 uint32_t timeOutMs) override;
    // Succeeds only when exactly `length` bytes arrived; the time-out applies to each wait.
    // The peer closing the connection gives KESTREL_ERR_SOCKET, a wait that runs out the OS
    // "would block" error (EAGAIN).
    Result Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t timeOutMs) override;
    // Takes host and port from a reader name "host:port": the text before the first colon
    // and the decimal number after it, cut to 16 bits. -1 for a null or empty name or one
    // without a colon; nothing is changed then.
    Result SetAddress(const char* readerName);
    const std::string& Address() const { return address_; }
    uint16_t Port() const { return port_; }

  private:
    std::unique_ptr<platform::TcpSocket> socket_;
    std::string address_;
    bool hasAddress_ = false;
    uint16_t port_ = 0;
};

}  // namespace kestrel::comm
