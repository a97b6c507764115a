#include "kestrel_sim/reader/frame.h"

#include <algorithm>

#include "kestrel_sim/helpers/crc.h"

namespace kestrel::sim {

Bytes EncodeFrame(uint8_t sequence, uint8_t codeOrStatus, const uint8_t* data, size_t length) {
    Bytes frame;
    frame.reserve(length + kFrameOverhead);
    frame.push_back(kStartByte);
    frame.push_back(sequence);
    frame.push_back(codeOrStatus);
    frame.push_back(static_cast<uint8_t>(length & 0xFF));
    frame.push_back(static_cast<uint8_t>((length >> 8) & 0xFF));
    if (length > 0) frame.insert(frame.end(), data, data + length);
    const uint16_t crc = Crc16Mcrf4xx(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

Bytes EncodeFrame(uint8_t sequence, uint8_t codeOrStatus, const Bytes& data) {
    return EncodeFrame(sequence, codeOrStatus, data.data(), data.size());
}

FrameDecoder::FrameDecoder(size_t maxData) : maxData_(std::min(maxData, kMaxFrameData)) {
    buffer_.reserve(Capacity());
}

void FrameDecoder::Feed(const uint8_t* data, size_t length, const FrameSink& sink) {
    // Parse leaves at most one incomplete frame of at most Capacity() - 1 bytes behind, so
    // every round takes at least one byte.
    while (length > 0) {
        const size_t room = Capacity() - buffer_.size();
        const size_t take = std::min(length, room);
        buffer_.insert(buffer_.end(), data, data + take);
        data += take;
        length -= take;
        Parse(sink);
    }
}

void FrameDecoder::LineQuiet(const FrameSink& sink) {
    while (!buffer_.empty()) {
        Drop(1);
        Parse(sink);
    }
}

void FrameDecoder::Reset() {
    buffer_.clear();
}

void FrameDecoder::Drop(size_t count) {
    count = std::min(count, buffer_.size());
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
    discarded_ += count;
}

bool FrameDecoder::CrcOkAt(size_t pos, size_t dataLength) const {
    const size_t covered = kHeaderSize + dataLength;
    const uint16_t crc = Crc16Mcrf4xx(buffer_.data() + pos, covered);
    return buffer_[pos + covered] == (crc & 0xFF) && buffer_[pos + covered + 1] == (crc >> 8);
}

size_t FrameDecoder::FrameLengthAt(size_t pos) const {
    if (buffer_[pos] != kStartByte || pos + kHeaderSize > buffer_.size()) return 0;
    const size_t dataLength = buffer_[pos + 3] | (static_cast<size_t>(buffer_[pos + 4]) << 8);
    if (dataLength > maxData_) return 0;
    if (pos + dataLength + kFrameOverhead > buffer_.size()) return 0;
    return CrcOkAt(pos, dataLength) ? dataLength + kFrameOverhead : 0;
}

void FrameDecoder::Parse(const FrameSink& sink) {
    for (;;) {
        const auto start = std::find(buffer_.begin(), buffer_.end(), kStartByte);
        Drop(static_cast<size_t>(start - buffer_.begin()));
        if (buffer_.size() < kHeaderSize) return;

        const size_t dataLength = buffer_[3] | (static_cast<size_t>(buffer_[4]) << 8);
        if (dataLength > maxData_) {
            Drop(1);
            continue;
        }
        const size_t total = dataLength + kFrameOverhead;
        if (buffer_.size() < total) return;

        const bool crcOk = CrcOkAt(0, dataLength);
        if (!crcOk) {
            size_t inner = 1;
            while (inner < total && FrameLengthAt(inner) == 0) ++inner;
            if (inner < total) {
                Drop(inner);
                continue;
            }
        }
        Frame frame;
        frame.sequence = buffer_[1];
        frame.code = buffer_[2];
        frame.data.assign(buffer_.begin() + kHeaderSize,
                          buffer_.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + dataLength));
        frame.crcOk = crcOk;
        frame.raw.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
        sink(frame);
    }
}

}  // namespace kestrel::sim
