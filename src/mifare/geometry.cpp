#include "mifare/geometry.h"

namespace kestrel::mifare {

std::optional<SectorGeometry> Geometry(uint8_t sector) {
    if (sector >= kSectorCount) return std::nullopt;
    SectorGeometry g{};
    if (sector < kSmallSectorCount) {
        g.firstBlock = static_cast<uint8_t>(sector * kSmallSectorBlocks);
        g.blockCount = kSmallSectorBlocks;
    } else {
        g.firstBlock = static_cast<uint8_t>(kFirstLargeSectorBlock +
                                            (sector - kSmallSectorCount) * kLargeSectorBlocks);
        g.blockCount = kLargeSectorBlocks;
    }
    g.trailerBlock = static_cast<uint8_t>(g.firstBlock + g.blockCount - 1);
    g.dataSize = static_cast<uint8_t>((g.blockCount - 1) * kBlockSize);
    return g;
}

Result GetSectorField(uint8_t sector, SectorField field, uint8_t* out) {
    const std::optional<SectorGeometry> g = Geometry(sector);
    if (!g) return KESTREL_ERR_INVALID_SECTOR;
    if (out == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    switch (field) {
        case SectorField::kFirstBlock:
            *out = g->firstBlock;
            break;
        case SectorField::kBlockCount:
            *out = g->blockCount;
            break;
        case SectorField::kDataSize:
            *out = g->dataSize;
            break;
        case SectorField::kTrailerBlock:
            *out = g->trailerBlock;
            break;
    }
    return KESTREL_OK;
}

uint8_t SectorOfBlock(uint8_t block) {
    if (block < kFirstLargeSectorBlock) return block / kSmallSectorBlocks;
    return static_cast<uint8_t>(kSmallSectorCount +
                                (block - kFirstLargeSectorBlock) / kLargeSectorBlocks);
}

}  // namespace kestrel::mifare
