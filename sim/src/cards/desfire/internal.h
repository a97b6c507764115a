// What the files of the DESFire card share: short names, and the little-endian fields of
// commands and answers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/helpers/bytes.h"

namespace kestrel::sim {

namespace df = desfire;
namespace st = desfire::status;
using desfire::NativeAnswer;

namespace desfire {

inline uint16_t Le16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline uint32_t Le24(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0] | (bytes[1] << 8) | (bytes[2] << 16));
}

inline int32_t Le32(const uint8_t* bytes) {
    return static_cast<int32_t>(
        static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
        (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24));
}

// Appends the `length` lowest bytes of `value`, lowest first.
inline void PutLe(Bytes& out, uint32_t value, size_t length) {
    for (size_t i = 0; i < length; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace desfire

}  // namespace kestrel::sim
