// Building blocks of DESFire commands: numbers least significant byte first, on as many bytes
// as the field has (3 for identifiers, sizes, offsets and counts, 4 for values and limits),
// and the exchange of a command whose answer carries no data the caller wants.
#pragma once

#include <cstddef>
#include <cstdint>

#include "desfire/exchange.h"

namespace kestrel::desfire {

constexpr size_t kAidLength = 3;
constexpr size_t kSizeLength = 3;
constexpr size_t kValueLength = 4;

// Writes the low `bytes` bytes of `value`; higher bytes are dropped.
inline uint8_t* PutLittleEndian(uint8_t* out, uint32_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
    return out + bytes;
}

inline uint32_t GetLittleEndian(const uint8_t* in, size_t bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(in[i]) << (8 * i);
    return value;
}

// The full exchange (continuations, card status) with the answer's data counted, not kept.
inline Result SendCommand(const DesfireCard& card, const uint8_t* command, size_t length) {
    return SendNativeCommandEx(card, command, static_cast<uint16_t>(length), nullptr, nullptr);
}

}  // namespace kestrel::desfire
