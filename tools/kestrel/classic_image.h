// MIFARE Classic memory as the tool handles it: the raw image file (1024 or 4096 bytes,
// blocks in order, trailers with their keys) and the value-block format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "hexdata.h"

namespace kestrel::tool {

constexpr size_t kBlockSize = 16;

struct ClassicLayout {
    const char* name;  // "classic1k", "classic4k"
    int sectors;
    int blocks;
    size_t bytes() const { return static_cast<size_t>(blocks) * kBlockSize; }
};

// The layout of a card from its SAK (0x08 1K, 0x18 4K; nullopt for other cards).
std::optional<ClassicLayout> LayoutForSak(uint8_t sak);
// The layout of an image from its size; any other size is a UsageError naming the file.
ClassicLayout LayoutForImage(size_t bytes, const std::string& fileName);

// Sector geometry, from the library's pure functions.
int FirstBlock(int sector);
int BlocksInSector(int sector);
int TrailerBlock(int sector);
// The data-block access group (0-2) of a block within its sector.
int AccessGroup(int sector, int block);

// A value block: value, ~value, value (little endian), then addr, ~addr, addr, ~addr.
std::optional<int32_t> DecodeValueBlock(const uint8_t* block, uint8_t* address = nullptr);
Bytes EncodeValueBlock(int32_t value, uint8_t address);

}  // namespace kestrel::tool
