#include "kestrel_sim/transports/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "helpers/poll.h"
#include "transports/send_answers.h"

namespace kestrel::sim {

struct PtyServer::Resources {
    detail::UniqueFd master;
    detail::UniqueFd slave;  // held open so that the terminal outlives the host's descriptor
    detail::WakePipe wake;
};

PtyServer::PtyServer(VirtualReader& reader, TransportOptions options)
    : reader_(reader), options_(options) {}

PtyServer::~PtyServer() {
    Stop();
}

bool PtyServer::Start(std::string* error) {
    auto fail = [error](const std::string& what) {
        if (error) *error = what + ": " + std::strerror(errno);
        return false;
    };
    if (Running()) {
        if (error) *error = "the server runs already";
        return false;
    }
    auto resources = std::make_unique<Resources>();
    resources->master.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!resources->master.Valid()) return fail("posix_openpt");
    const int master = resources->master.Get();
    if (::grantpt(master) != 0) return fail("grantpt");
    if (::unlockpt(master) != 0) return fail("unlockpt");
    char path[128];
    if (::ptsname_r(master, path, sizeof path) != 0) return fail("ptsname");
    const int flags = ::fcntl(master, F_GETFL);
    if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");

    resources->slave.Reset(::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!resources->slave.Valid()) return fail(std::string("open ") + path);
    termios settings{};
    if (::tcgetattr(resources->slave.Get(), &settings) != 0) return fail("tcgetattr");
    ::cfmakeraw(&settings);
    if (::tcsetattr(resources->slave.Get(), TCSANOW, &settings) != 0) return fail("tcsetattr");
    if (!resources->wake.Open()) return fail("pipe");

    slavePath_ = path;
    resources_ = std::move(resources);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void PtyServer::Stop() {
    if (!thread_.joinable()) return;
    resources_->wake.Signal();
    thread_.join();
    resources_.reset();
}

void PtyServer::Run() {
    const int wake = resources_->wake.ReadFd();
    const int master = resources_->master.Get();
    HostConnection connection(reader_, options_.maxRequestData);
    uint8_t buffer[4096];
    for (;;) {
        const int timeout =
            connection.HasPartialFrame() ? static_cast<int>(options_.lineQuietMs) : -1;
        const detail::WaitResult ready = detail::Wait(master, POLLIN, wake, timeout);
        if (ready == detail::WaitResult::kWoken || ready == detail::WaitResult::kError) return;
        std::vector<Transmission> answers;
        if (ready == detail::WaitResult::kTimeout) {
            answers = connection.LineQuiet();
        } else {
            const ssize_t received = ::read(master, buffer, sizeof buffer);
            if (received <= 0) {
                if (received < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                // The slave is held open, so this is not a hang-up; wait a little and retry
                // rather than spin.
                if (!detail::Sleep(wake, 10)) return;
                continue;
            }
            answers = connection.Receive(buffer, static_cast<size_t>(received));
        }
        const detail::SendResult sent =
            detail::SendTransmissions(master, answers, wake, options_.writeStallMs, false);
        if (sent == detail::SendResult::kLinkBroken) connection.Reset();
        // A host that stopped reading loses the answer; the line itself stays.
    }
}

}  // namespace kestrel::sim
