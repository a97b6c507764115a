#include "kestrel_sim/crc.h"

namespace kestrel::sim {

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

}  // namespace kestrel::sim
