#include "kestrel_sim/transports/in_process_link.h"

#include <algorithm>
#include <cstring>

namespace kestrel::sim {

InProcessLink::InProcessLink(VirtualReader& reader, size_t maxRequestData)
    : connection_(reader, maxRequestData) {}

size_t InProcessLink::Write(const uint8_t* data, size_t length) {
    if (!connected_) return 0;
    Queue(connection_.Receive(data, length));
    return length;
}

void InProcessLink::Queue(std::vector<Transmission> transmissions) {
    for (Transmission& transmission : transmissions) {
        if (!connected_) break;
        for (Transmission::Chunk& piece : transmission.chunks) {
            const Clock::time_point now = Clock::now();
            lastDue_ = std::max(lastDue_, now) + std::chrono::milliseconds(piece.delayMs);
            queue_.push_back(Chunk{std::move(piece.bytes), 0, lastDue_});
        }
        if (transmission.breakLink) {
            connected_ = false;
            connection_.Reset();
        }
    }
}

size_t InProcessLink::Read(uint8_t* buffer, size_t capacity) {
    const Clock::time_point now = Clock::now();
    size_t copied = 0;
    while (copied < capacity && !queue_.empty() && queue_.front().due <= now) {
        Chunk& chunk = queue_.front();
        const size_t take = std::min(capacity - copied, chunk.bytes.size() - chunk.offset);
        std::memcpy(buffer + copied, chunk.bytes.data() + chunk.offset, take);
        copied += take;
        chunk.offset += take;
        if (chunk.offset == chunk.bytes.size()) queue_.pop_front();
    }
    return copied;
}

size_t InProcessLink::Available() const {
    const Clock::time_point now = Clock::now();
    size_t count = 0;
    for (const Chunk& chunk : queue_) {
        if (chunk.due > now) break;
        count += chunk.bytes.size() - chunk.offset;
    }
    return count;
}

size_t InProcessLink::Pending() const {
    size_t count = 0;
    for (const Chunk& chunk : queue_) count += chunk.bytes.size() - chunk.offset;
    return count;
}

std::optional<InProcessLink::Clock::time_point> InProcessLink::NextDue() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.front().due;
}

void InProcessLink::Reconnect() {
    queue_.clear();
    connection_.Reset();
    connected_ = true;
}

void InProcessLink::Purge() {
    const Clock::time_point now = Clock::now();
    while (!queue_.empty() && queue_.front().due <= now) queue_.pop_front();
}

void InProcessLink::LineQuiet() {
    if (!connected_) return;
    Queue(connection_.LineQuiet());
}

}  // namespace kestrel::sim
