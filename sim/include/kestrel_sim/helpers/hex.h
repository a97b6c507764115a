// Hexadecimal text of byte strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kestrel_sim/helpers/bytes.h"

namespace kestrel::sim {

// Upper-case hex; with `spaced` a blank between bytes ("A5 00 1D").
std::string ToHex(const uint8_t* data, size_t length, bool spaced = false);
std::string ToHex(const Bytes& bytes, bool spaced = false);

// Parses an even number of hex digits (either case, nothing else); nullopt otherwise.
std::optional<Bytes> ParseHex(const std::string& text);

}  // namespace kestrel::sim
