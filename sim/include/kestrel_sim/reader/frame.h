// Block frames between host and reader, and a decoder that finds them in a byte stream.
//
// Layout, both directions: start byte 0xA5, sequence byte, command code (request) or status
// byte (answer), data length N (u16, low byte first), N data bytes, CRC-16/MCRF4XX over all
// bytes before it (low byte first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "kestrel_sim/helpers/bytes.h"

namespace kestrel::sim {

constexpr uint8_t kStartByte = 0xA5;
constexpr size_t kHeaderSize = 5;
constexpr size_t kFrameOverhead = 7;  // header and CRC
constexpr size_t kMaxFrameData = 0xFFFF;
// Longest request the reader accepts. A header announcing more is taken for line noise.
constexpr size_t kDefaultMaxRequestData = 4096;

// Builds a whole frame. `length` must not exceed kMaxFrameData.
Bytes EncodeFrame(uint8_t sequence, uint8_t codeOrStatus, const uint8_t* data, size_t length);
Bytes EncodeFrame(uint8_t sequence, uint8_t codeOrStatus, const Bytes& data = {});

struct Frame {
    uint8_t sequence = 0;
    uint8_t code = 0;  // command code of a request, status byte of an answer
    Bytes data;
    bool crcOk = false;
    Bytes raw;  // the frame's bytes as they arrived
};

// Finds frames in a stream that may hold noise, partial frames and frames whose CRC is wrong.
//
// Bytes before a start byte are skipped. A header whose length exceeds the limit is noise: its
// start byte is dropped and the scan goes on after it. A complete frame with a good CRC is
// handed out. A complete frame with a wrong CRC is handed out with crcOk false (the reader
// answers it with "bad frame") unless a frame with a good CRC starts inside it and is complete
// in the buffer: then the bytes before that frame were noise and are dropped. The buffer never
// holds more than one frame of the largest accepted size.
class FrameDecoder {
  public:
    using FrameSink = std::function<void(const Frame&)>;

    explicit FrameDecoder(size_t maxData = kDefaultMaxRequestData);

    void Feed(const uint8_t* data, size_t length, const FrameSink& sink);
    // The line has gone quiet: a partial frame will not be completed. Frames that are complete
    // in the buffer behind a false start are still handed out; everything else is dropped.
    void LineQuiet(const FrameSink& sink);
    void Reset();

    bool HasPartialFrame() const { return !buffer_.empty(); }
    size_t BufferedBytes() const { return buffer_.size(); }
    size_t Capacity() const { return maxData_ + kFrameOverhead; }
    // Bytes skipped as noise since construction.
    size_t DiscardedBytes() const { return discarded_; }

  private:
    void Parse(const FrameSink& sink);
    void Drop(size_t count);
    size_t FrameLengthAt(size_t pos) const;  // 0 when no plausible complete frame starts there
    bool CrcOkAt(size_t pos, size_t dataLength) const;

    size_t maxData_;
    Bytes buffer_;
    size_t discarded_ = 0;
};

}  // namespace kestrel::sim
