// Pseudo-terminal transport: the virtual reader as a serial reader.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "kestrel_sim/reader/virtual_reader.h"
#include "kestrel_sim/transports/transport_options.h"

namespace kestrel::sim {

// Creates a pseudo-terminal in raw mode and serves whatever opens its slave side (by
// SlavePath) on a background thread. The server keeps a descriptor of the slave open itself,
// so that a host may close and reopen the path without the terminal going away. A serial line
// cannot be unplugged without its path vanishing: a link break injected in an answer sends
// the first bytes, then the reader starts afresh (partial request data is forgotten) and the
// line stays open.
class PtyServer {
  public:
    explicit PtyServer(VirtualReader& reader, TransportOptions options = {});
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    bool Start(std::string* error = nullptr);
    void Stop();

    bool Running() const { return thread_.joinable(); }
    // "/dev/pts/N" (valid after Start).
    const std::string& SlavePath() const { return slavePath_; }

  private:
    struct Resources;

    void Run();

    VirtualReader& reader_;
    TransportOptions options_;
    std::unique_ptr<Resources> resources_;
    std::string slavePath_;
    std::thread thread_;
};

}  // namespace kestrel::sim
