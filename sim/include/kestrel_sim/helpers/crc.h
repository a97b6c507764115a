// Checksums: the reader's block frames, the CRCs of ISO/IEC 14443-3 air frames and the CRC32
// of DESFire cryptograms.
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

// The CRC32 of DESFire cryptograms after an ISO or AES authentication: the reflected IEEE 802.3
// polynomial (0xEDB88320), initial value 0xFFFFFFFF and, unlike the usual CRC-32, no final
// inversion. It travels low byte first. `crc` lets a caller continue over several pieces.
uint32_t Crc32Desfire(const uint8_t* data, size_t length, uint32_t crc = 0xFFFFFFFF);

}  // namespace kestrel::sim
