// Byte strings, the currency of frames, cards and files.
#pragma once

#include <cstdint>
#include <vector>

namespace kestrel::sim {

using Bytes = std::vector<uint8_t>;

}  // namespace kestrel::sim
