#include "kestrel_sim/helpers/crc.h"

namespace kestrel::sim {

namespace {

// The ISO/IEC 14443-3 CRC (polynomial x^16 + x^12 + x^5 + 1, reflected), byte-wise.
uint16_t Crc16Iso14443(const uint8_t* data, size_t length, uint16_t crc) {
    for (size_t i = 0; i < length; ++i) {
        uint8_t c = static_cast<uint8_t>(data[i] ^ (crc & 0xFF));
        c = static_cast<uint8_t>(c ^ (c << 4));
        crc = static_cast<uint16_t>((crc >> 8) ^ (c << 8) ^ (c << 3) ^ (c >> 4));
    }
    return crc;
}

}  // namespace

uint16_t Crc16Mcrf4xx(const uint8_t* data, size_t length, uint16_t crc) {
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408u)
                             : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

uint16_t Crc16A(const uint8_t* data, size_t length) {
    return Crc16Iso14443(data, length, 0x6363);
}

uint16_t Crc16B(const uint8_t* data, size_t length) {
    return static_cast<uint16_t>(~Crc16Iso14443(data, length, 0xFFFF));
}

uint32_t Crc32Desfire(const uint8_t* data, size_t length, uint32_t crc) {
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

}  // namespace kestrel::sim
