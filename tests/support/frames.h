// Block frames for tests, built independently of the library's framing code.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace kestrel::test {

using Bytes = std::vector<uint8_t>;

// CRC-16/MCRF4XX, bit by bit.
inline uint16_t FrameCrc(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return crc;
}

// 0xA5, sequence, command code or status, length (2), data, CRC (2).
inline Bytes Frame(uint8_t sequence, uint8_t codeOrStatus, const Bytes& data = {}) {
    Bytes frame = {0xA5, sequence, codeOrStatus, static_cast<uint8_t>(data.size() & 0xFF),
                   static_cast<uint8_t>(data.size() >> 8)};
    frame.insert(frame.end(), data.begin(), data.end());
    const uint16_t crc = FrameCrc(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

}  // namespace kestrel::test
