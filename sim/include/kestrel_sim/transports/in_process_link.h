// In-process transport: a synchronous byte pipe to the virtual reader, without threads or
// sockets, for tests that drive the library's communication layer directly.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "kestrel_sim/reader/virtual_reader.h"

namespace kestrel::sim {

// The host writes request bytes in; every frame that is complete is executed at once and its
// answer is queued. Answer bytes become readable when they are due: at once, or after the
// delays of a delayed or split answer (in wall-clock time). Answers leave in the order they
// were made, as on a serial line. An answer cut by a link break leaves its first bytes
// readable, then the link is down: writes are refused until Reconnect.
class InProcessLink {
  public:
    using Clock = std::chrono::steady_clock;

    explicit InProcessLink(VirtualReader& reader, size_t maxRequestData = kDefaultMaxRequestData);

    // Bytes accepted: `length`, or 0 when the link is down.
    size_t Write(const uint8_t* data, size_t length);
    // Copies up to `capacity` bytes that are due now; returns how many.
    size_t Read(uint8_t* buffer, size_t capacity);
    // Bytes due now.
    size_t Available() const;
    // Bytes queued, due or not.
    size_t Pending() const;
    // When the first byte still to read is due; nullopt when nothing is queued.
    std::optional<Clock::time_point> NextDue() const;

    bool Connected() const { return connected_; }
    // Link up again with a fresh connection: queued answers and partial requests are gone.
    void Reconnect();
    // Drops the answer bytes that have arrived (are due), as purging a host's serial port does;
    // answers still on their way and the reader's own state stay.
    void Purge();
    // The host has been quiet for a while: a partial request frame is given up.
    void LineQuiet();

  private:
    struct Chunk {
        Bytes bytes;
        size_t offset = 0;
        Clock::time_point due;
    };

    void Queue(std::vector<Transmission> transmissions);

    HostConnection connection_;
    std::deque<Chunk> queue_;
    Clock::time_point lastDue_{};
    bool connected_ = true;
};

}  // namespace kestrel::sim
