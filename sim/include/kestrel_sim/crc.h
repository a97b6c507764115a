// Checksum of the reader's block frames.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel::sim {

// CRC-16/MCRF4XX: reflected polynomial 0x8408, initial value 0xFFFF, no final XOR.
// `crc` lets a caller continue a checksum over several pieces.
uint16_t Crc16Mcrf4xx(const uint8_t* data, size_t length, uint16_t crc = 0xFFFF);

}  // namespace kestrel::sim
