// MIFARE Classic memory layout: sectors of 4 blocks (0-31) and of 16 blocks (32-39).
#pragma once

#include <cstdint>
#include <optional>

#include "common/result.h"

namespace kestrel::mifare {

constexpr uint32_t kBlockSize = 16;
constexpr uint32_t kSerialLength = 4;
constexpr uint32_t kKeyLength = 6;
constexpr uint8_t kSectorCount = 40;
constexpr uint8_t kSmallSectorCount = 32;
// Block 128 starts the first 16-block sector.
constexpr uint8_t kFirstLargeSectorBlock = 128;
constexpr uint8_t kSmallSectorBlocks = 4;
constexpr uint8_t kLargeSectorBlocks = 16;

struct SectorGeometry {
    uint8_t firstBlock;
    uint8_t blockCount;  // trailer included
    uint8_t trailerBlock;
    uint8_t dataSize;  // bytes of all blocks but the trailer
};

// The layout of `sector`; nothing for a sector number above 39.
std::optional<SectorGeometry> Geometry(uint8_t sector);

// KESTREL_ERR_INVALID_SECTOR for a sector number above 39, else 0.
inline Result CheckSector(uint8_t sector) {
    return sector < kSectorCount ? KESTREL_OK : KESTREL_ERR_INVALID_SECTOR;
}

enum class SectorField { kFirstBlock, kBlockCount, kDataSize, kTrailerBlock };

// One field of the sector's layout into `out`: 0, KESTREL_ERR_INVALID_SECTOR (checked first)
// or KESTREL_ERR_WRONG_PARAMETER for a null `out`; `out` is written only on success.
Result GetSectorField(uint8_t sector, SectorField field, uint8_t* out);

// The sector that holds `block`; every block 0-255 belongs to one.
uint8_t SectorOfBlock(uint8_t block);

}  // namespace kestrel::mifare
