// TCP transport: the virtual reader as a network reader.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "kestrel_sim/reader/virtual_reader.h"
#include "kestrel_sim/transports/transport_options.h"

namespace kestrel::sim {

// Listens on one address and serves one client at a time on a background thread. A client
// that connects while another is served waits in the listen queue; it is accepted after the
// first one disconnects (its early requests are answered then). A link break injected in an
// answer closes the client's connection after the first bytes of that answer.
class TcpServer {
  public:
    explicit TcpServer(VirtualReader& reader, TransportOptions options = {});
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Binds `host` (numeric address or name) and `port` (0: a free port), listens and starts
    // the thread. False and *error when that fails or the server runs already.
    bool Start(const std::string& host, uint16_t port, std::string* error = nullptr);
    // Closes the client and the listening socket and joins the thread. Safe to call twice.
    void Stop();

    bool Running() const { return thread_.joinable(); }
    // The numeric address and the port it listens on (valid after Start).
    const std::string& Host() const { return host_; }
    uint16_t Port() const { return port_; }
    // "HOST:PORT", with the host in brackets when it is an IPv6 address.
    std::string Address() const;

    size_t ClientsAccepted() const { return clientsAccepted_.load(); }
    bool ClientConnected() const { return clientConnected_.load(); }

  private:
    struct Resources;

    void Run();
    void Serve(int client);

    VirtualReader& reader_;
    TransportOptions options_;
    std::unique_ptr<Resources> resources_;
    std::string host_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<size_t> clientsAccepted_{0};
    std::atomic<bool> clientConnected_{false};
};

}  // namespace kestrel::sim
