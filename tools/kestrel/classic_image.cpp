#include "classic_image.h"

#include <cstring>

#include "KestrelAPI.h"
#include "output.h"

namespace kestrel::tool {

namespace {

const ClassicLayout k1K{"classic1k", 16, 64};
const ClassicLayout k4K{"classic4k", 40, 256};

uint8_t Geometry(int32_t(KESTREL_CALL* function)(uint8_t, uint8_t*), int sector) {
    uint8_t value = 0;
    if (function(static_cast<uint8_t>(sector), &value) != KESTREL_OK) {
        throw UsageError("sector " + std::to_string(sector) + " does not exist (0-39)");
    }
    return value;
}

uint32_t Little32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

std::optional<ClassicLayout> LayoutForSak(uint8_t sak) {
    // Bit 0x80 only tells of a card emulated by another device; the type bits stay.
    switch (sak & 0x7F) {
        case 0x08:
            return k1K;
        case 0x18:
            return k4K;
        default:
            return std::nullopt;
    }
}

ClassicLayout LayoutForImage(size_t bytes, const std::string& fileName) {
    if (bytes == k1K.bytes()) return k1K;
    if (bytes == k4K.bytes()) return k4K;
    throw UsageError(fileName + ": a MIFARE Classic image has 1024 or 4096 bytes, not " +
                     std::to_string(bytes));
}

int FirstBlock(int sector) {
    return Geometry(MifC_GetSectorFirstBlock, sector);
}
int BlocksInSector(int sector) {
    return Geometry(MifC_GetSectorBlocksCount, sector);
}
int TrailerBlock(int sector) {
    return Geometry(MifC_GetSectorTrailerBlock, sector);
}

int AccessGroup(int sector, int block) {
    const int offset = block - FirstBlock(sector);
    return BlocksInSector(sector) == 4 ? offset : offset / 5;
}

std::optional<int32_t> DecodeValueBlock(const uint8_t* block, uint8_t* address) {
    const uint32_t value = Little32(block);
    if (Little32(block + 4) != ~value || Little32(block + 8) != value) return std::nullopt;
    if (block[12] != block[14] || block[13] != block[15] ||
        block[12] != static_cast<uint8_t>(~block[13])) {
        return std::nullopt;
    }
    if (address != nullptr) *address = block[12];
    int32_t signedValue;
    std::memcpy(&signedValue, &value, sizeof signedValue);
    return signedValue;
}

Bytes EncodeValueBlock(int32_t value, uint8_t address) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    Bytes block(kBlockSize);
    for (int i = 0; i < 4; ++i) {
        const uint8_t byte = static_cast<uint8_t>(bits >> (8 * i));
        block[i] = byte;
        block[4 + i] = static_cast<uint8_t>(~byte);
        block[8 + i] = byte;
    }
    block[12] = block[14] = address;
    block[13] = block[15] = static_cast<uint8_t>(~address);
    return block;
}

}  // namespace kestrel::tool
