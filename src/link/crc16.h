// CRC of the block frames between host and reader.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel::link {

// CRC-16/MCRF4XX: reflected polynomial 0x8408, initial value 0xFFFF, no final XOR.
uint16_t Crc16Mcrf4xx(const uint8_t* data, size_t length);

}  // namespace kestrel::link
