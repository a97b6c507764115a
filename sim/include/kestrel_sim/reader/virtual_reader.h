// The virtual reader: firmware, field and fault injection behind one lock, and the reader's end
// of a host connection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kestrel_sim/cards/card.h"
#include "kestrel_sim/reader/firmware.h"
#include "kestrel_sim/reader/frame.h"

namespace kestrel::sim {

// One answer on its way to the host: the frame's bytes in chunks, each sent after its delay.
struct Transmission {
    struct Chunk {
        Bytes bytes;
        uint32_t delayMs = 0;
    };
    std::vector<Chunk> chunks;
    bool breakLink = false;  // the link goes down after the last chunk
};

enum class LogDirection { kToReader, kToHost };

struct FrameLogEntry {
    LogDirection direction = LogDirection::kToReader;
    Bytes bytes;
    std::string command;            // name of the command (of the request an answer answers)
    std::optional<uint8_t> status;  // answers only
    std::string note;               // "bad CRC", "dropped", "noise", fault notes
};
using FrameLogger = std::function<void(const FrameLogEntry&)>;

// "-> A5 00 1D 00 00 0B 2E  Halt", "<- A5 00 FF 00 00 .. ..  Halt: no card", with the note in
// brackets at the end.
std::string FormatLogEntry(const FrameLogEntry& entry);

struct CardInfo {
    std::string type;
    Bytes uid;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    CardState state = CardState::kIdle;
    std::string imagePath;  // Card::ImagePath
};

// Thread-safe: transports serve hosts on their own threads while a program or test changes the
// field and injects faults.
class VirtualReader {
  public:
    VirtualReader() = default;
    VirtualReader(const VirtualReader&) = delete;
    VirtualReader& operator=(const VirtualReader&) = delete;

    bool AddCard(std::unique_ptr<Card> card, std::string* error = nullptr);
    bool RemoveCard(const Bytes& uid);
    // Removes the card and hands it over (to save its memory, say); nullptr when none.
    std::unique_ptr<Card> TakeCard(const Bytes& uid);
    std::vector<CardInfo> ListCards() const;
    std::optional<CardState> StateOf(const Bytes& uid) const;
    uint32_t CardTimeOut() const;
    uint64_t RequestsServed() const;

    // The ISO/IEC 14443-4 card with `uid` precedes its next answer to an I-block with `count`
    // S(WTX) requests carrying `wtxm` (1 to 59), each of which the host must answer. False when
    // there is no such card, it has no ISO/IEC 14443-4, or count or WTXM are out of range.
    bool RequestWaitingTimeExtensions(const Bytes& uid, int count, uint8_t wtxm);

    // Runs fn(Firmware&) under the reader's lock, for registering commands or looking at cards.
    template <typename Fn>
    decltype(auto) WithFirmware(Fn&& fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        return fn(firmware_);
    }

    // Faults for the next answer frame. Each applies once; several set before one answer
    // combine. The request is executed in every case.
    void DropNextAnswer();
    void DelayNextAnswer(uint32_t ms);
    void CorruptNextAnswerCrc();       // the CRC's low byte is inverted
    void WrongSequenceInNextAnswer();  // the request's sequence + 1, with a matching CRC
    // Only the first `bytesBeforeBreak` bytes (at least 1, fewer than the frame) go out, then
    // the link goes down.
    void BreakLinkInNextAnswer(size_t bytesBeforeBreak = 3);
    // The frame goes out in `pieces` parts with `gapMs` between them.
    void SplitNextAnswer(size_t pieces, uint32_t gapMs = 5);
    // The faults set so far pass over `answers` answers and apply to the one after them: a
    // fault in the middle of a transfer of many frames.
    void DeferFaults(size_t answers);
    void ClearFaults();

    // Called with every frame in both directions, under the reader's lock: the logger must not
    // call back into the reader.
    void SetFrameLogger(FrameLogger logger);

    // The answer to one request frame with the pending faults applied; nullopt when dropped.
    std::optional<Transmission> Serve(const Frame& request);
    void NoteNoise(size_t bytes);

  private:
    struct Faults {
        bool drop = false;
        uint32_t delayMs = 0;
        bool corruptCrc = false;
        bool wrongSequence = false;
        std::optional<size_t> breakAfter;
        size_t pieces = 1;
        uint32_t gapMs = 0;
        size_t deferred = 0;
    };

    void Log(FrameLogEntry entry);

    mutable std::mutex mutex_;
    Firmware firmware_;
    Faults faults_;
    FrameLogger logger_;
    uint64_t requestsServed_ = 0;
};

// The reader's end of one connection: finds request frames in the bytes from the host and
// turns each into its answer. One per client; not thread-safe.
class HostConnection {
  public:
    explicit HostConnection(VirtualReader& reader, size_t maxRequestData = kDefaultMaxRequestData);

    std::vector<Transmission> Receive(const uint8_t* data, size_t length);
    // No byte has come for a while: give up a partial frame (see FrameDecoder::LineQuiet).
    std::vector<Transmission> LineQuiet();
    bool HasPartialFrame() const { return decoder_.HasPartialFrame(); }
    void Reset() { decoder_.Reset(); }

  private:
    void OnFrame(const Frame& frame, std::vector<Transmission>& out);
    void ReportNoise();

    VirtualReader& reader_;
    FrameDecoder decoder_;
    size_t noiseReported_ = 0;
};

}  // namespace kestrel::sim
