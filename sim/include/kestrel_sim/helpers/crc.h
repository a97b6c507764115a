// Checksums: the reader's block frames, and the CRCs of ISO/IEC 14443-3 air frames.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel::sim {

// CRC-16/MCRF4XX: reflected polynomial 0x8408, initial value 0xFFFF, no final XOR.
// `crc` lets a caller continue a checksum over several pieces.
uint16_t Crc16Mcrf4xx(const uint8_t* data, size_t length, uint16_t crc = 0xFFFF);

// CRC_A of ISO/IEC 14443-3 Type A frames: initial value 0x6363, no final inversion. On the air
// and in DESFire cryptograms it travels low byte first.
uint16_t Crc16A(const uint8_t* data, size_t length);
// CRC_B of Type B frames: initial value 0xFFFF, inverted at the end.
uint16_t Crc16B(const uint8_t* data, size_t length);

}  // namespace kestrel::sim
