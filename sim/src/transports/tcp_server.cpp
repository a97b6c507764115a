#include "kestrel_sim/transports/tcp_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "helpers/poll.h"
#include "transports/send_answers.h"

namespace kestrel::sim {

struct TcpServer::Resources {
    detail::UniqueFd listener;
    detail::WakePipe wake;
};

TcpServer::TcpServer(VirtualReader& reader, TransportOptions options)
    : reader_(reader), options_(options) {}

TcpServer::~TcpServer() {
    Stop();
}

std::string TcpServer::Address() const {
    if (host_.find(':') != std::string::npos) return "[" + host_ + "]:" + std::to_string(port_);
    return host_ + ":" + std::to_string(port_);
}

bool TcpServer::Start(const std::string& host, uint16_t port, std::string* error) {
    auto fail = [error](const std::string& what) {
        if (error) *error = what;
        return false;
    };
    if (Running()) return fail("the server runs already");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int lookup =
        ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
    if (lookup != 0) return fail("cannot resolve '" + host + "': " + ::gai_strerror(lookup));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

    auto resources = std::make_unique<Resources>();
    std::string lastError = "no address";
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        detail::UniqueFd fd(::socket(address->ai_family,
                                     address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                     address->ai_protocol));
        if (!fd.Valid()) {
            lastError = std::strerror(errno);
            continue;
        }
        const int on = 1;
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd.Get(), address->ai_addr, address->ai_addrlen) != 0 ||
            ::listen(fd.Get(), 4) != 0) {
            lastError = std::strerror(errno);
            continue;
        }
        resources->listener = std::move(fd);
        break;
    }
    if (!resources->listener.Valid()) {
        return fail("cannot listen on " + host + ":" + service + ": " + lastError);
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    if (::getsockname(resources->listener.Get(), reinterpret_cast<sockaddr*>(&bound),
                      &boundLength) != 0) {
        return fail(std::string("getsockname: ") + std::strerror(errno));
    }
    char hostText[NI_MAXHOST];
    char portText[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&bound), boundLength, hostText, sizeof hostText,
                      portText, sizeof portText, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return fail("cannot name the bound address");
    }
    if (!resources->wake.Open()) return fail(std::string("pipe: ") + std::strerror(errno));

    host_ = hostText;
    port_ = static_cast<uint16_t>(std::stoi(portText));
    resources_ = std::move(resources);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void TcpServer::Stop() {
    if (!thread_.joinable()) return;
    resources_->wake.Signal();
    thread_.join();
    resources_.reset();
    clientConnected_ = false;
}

void TcpServer::Run() {
    const int wake = resources_->wake.ReadFd();
    for (;;) {
        const detail::WaitResult ready = detail::Wait(resources_->listener.Get(), POLLIN, wake, -1);
        if (ready == detail::WaitResult::kWoken || ready == detail::WaitResult::kError) return;
        detail::UniqueFd client(
            ::accept4(resources_->listener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!client.Valid()) continue;
        const int on = 1;
        ::setsockopt(client.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ++clientsAccepted_;
        clientConnected_ = true;
        Serve(client.Get());
        // Our side finishes first; whatever the client sends now is of no interest.
        ::shutdown(client.Get(), SHUT_WR);
        client.Reset();
        clientConnected_ = false;
    }
}

void TcpServer::Serve(int client) {
    const int wake = resources_->wake.ReadFd();
    HostConnection connection(reader_, options_.maxRequestData);
    uint8_t buffer[4096];
    for (;;) {
        const int timeout =
            connection.HasPartialFrame() ? static_cast<int>(options_.lineQuietMs) : -1;
        const detail::WaitResult ready = detail::Wait(client, POLLIN, wake, timeout);
        std::vector<Transmission> answers;
        if (ready == detail::WaitResult::kWoken || ready == detail::WaitResult::kError) return;
        if (ready == detail::WaitResult::kTimeout) {
            answers = connection.LineQuiet();
        } else {
            const ssize_t received = ::recv(client, buffer, sizeof buffer, 0);
            if (received == 0) return;
            if (received < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
                return;
            }
            answers = connection.Receive(buffer, static_cast<size_t>(received));
        }
        if (detail::SendTransmissions(client, answers, wake, options_.writeStallMs, true) !=
            detail::SendResult::kSent) {
            return;
        }
    }
}

}  // namespace kestrel::sim
