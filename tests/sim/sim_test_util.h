// Helpers of the virtual reader's tests: a host that talks frames over the in-process link,
// and socket and file-descriptor reads with time-outs.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kestrel_sim/reader/card_catalog.h"
#include "kestrel_sim/reader/frame.h"
#include "kestrel_sim/reader/virtual_reader.h"
#include "kestrel_sim/transports/in_process_link.h"

namespace kestrel::sim::test {

struct Reply {
    uint8_t status = 0;
    Bytes data;
};

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Decodes every answer frame in `bytes`.
inline std::vector<Frame> DecodeAll(const Bytes& bytes) {
    std::vector<Frame> frames;
    FrameDecoder decoder(kMaxFrameData);
    decoder.Feed(bytes.data(), bytes.size(), [&](const Frame& f) { frames.push_back(f); });
    return frames;
}

// A host on the in-process link: one request, its one answer.
class Host {
  public:
    explicit Host(VirtualReader& reader) : link_(reader) {}

    InProcessLink& link() { return link_; }
    uint8_t NextSequence() const { return sequence_; }

    // Sends a request and reads everything that is due at once.
    Bytes SendRaw(const Bytes& bytes) {
        link_.Write(bytes.data(), bytes.size());
        return ReadAvailable();
    }
    Bytes ReadAvailable() {
        Bytes out(link_.Available());
        out.resize(link_.Read(out.data(), out.size()));
        return out;
    }
    // Exchanges one command; nullopt unless exactly one well-formed answer with the request's
    // sequence came back.
    std::optional<Reply> Exchange(uint8_t code, const Bytes& params = {}) {
        const uint8_t sequence = sequence_++;
        const std::vector<Frame> frames = DecodeAll(SendRaw(EncodeFrame(sequence, code, params)));
        if (frames.size() != 1 || !frames[0].crcOk || frames[0].sequence != sequence) {
            return std::nullopt;
        }
        return Reply{frames[0].code, frames[0].data};
    }
    // The status alone; -1 when no proper answer came.
    int Status(uint8_t code, const Bytes& params = {}) {
        const std::optional<Reply> reply = Exchange(code, params);
        return reply ? reply->status : -1;
    }

  private:
    InProcessLink link_;
    uint8_t sequence_ = 0;
};

inline std::unique_ptr<Card> TypeACard(const Bytes& uid, uint16_t atqa = 0x0004,
                                       uint8_t sak = 0x08) {
    return std::make_unique<Card>("test", uid, atqa, sak);
}

// Reads from `fd` until `count` bytes came, the peer closed or `timeoutMs` passed.
inline Bytes ReadFor(int fd, size_t count, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Bytes out;
    while (out.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd fd_poll{fd, POLLIN, 0};
        if (::poll(&fd_poll, 1, static_cast<int>(left.count())) <= 0) break;
        uint8_t buffer[512];
        const size_t want = std::min(sizeof buffer, count - out.size());
        const ssize_t got = ::read(fd, buffer, want);
        if (got <= 0) break;
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

// Reads one whole answer frame (header first, then data and CRC).
inline Bytes ReadFrame(int fd, int timeoutMs) {
    Bytes frame = ReadFor(fd, kHeaderSize, timeoutMs);
    if (frame.size() < kHeaderSize) return frame;
    const size_t length = frame[3] | (static_cast<size_t>(frame[4]) << 8);
    const Bytes rest = ReadFor(fd, length + 2, timeoutMs);
    frame.insert(frame.end(), rest.begin(), rest.end());
    return frame;
}

inline bool WriteAllTo(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace kestrel::sim::test
