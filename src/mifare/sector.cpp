#include "mifare/sector.h"

#include <algorithm>

namespace kestrel::mifare {
namespace {

constexpr uint32_t kKeyAOffset = 0;
constexpr uint32_t kAccessOffset = 6;
constexpr uint32_t kKeyBOffset = 10;

// Data blocks, then the trailer, of a sector that is open already.
Result WriteOpenedSector(MifareReader reader, const SectorGeometry& g, const uint8_t* data,
                         uint32_t size, const uint8_t* trailer) {
    if ((size & 0xFF) != g.dataSize) return KESTREL_ERR_BUFFER_SIZE;
    if (Result r = WriteBlocks(reader, g.firstBlock, g.blockCount - 1u, data, BlockZero::kSkip);
        r != KESTREL_OK) {
        return r;
    }
    return reader.primitives.MifareWrite(g.trailerBlock, trailer);
}

Result WriteWholeSector(MifareReader reader, Authentication& auth, uint8_t sector,
                        const uint8_t* data, uint32_t size, const uint8_t* trailer) {
    SectorGeometry g{};
    if (Result r = OpenSector(reader, auth, sector, g); r != KESTREL_OK) return r;
    return WriteOpenedSector(reader, g, data, size, trailer);
}

}  // namespace

Result ReadBlocks(MifareReader reader, uint8_t first, uint32_t count, uint8_t* out) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t block = static_cast<uint8_t>(first + i);
        if (Result r = reader.primitives.MifareRead(block, out + kBlockSize * i); r != KESTREL_OK)
            return r;
    }
    return KESTREL_OK;
}

Result WriteBlocks(MifareReader reader, uint8_t first, uint32_t count, const uint8_t* in,
                   BlockZero blockZero) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t block = static_cast<uint8_t>(first + i);
        if (block == 0 && blockZero == BlockZero::kSkip) continue;
        if (Result r = reader.primitives.MifareWrite(block, in + kBlockSize * i); r != KESTREL_OK)
            return r;
    }
    return KESTREL_OK;
}

Result ReadBlock(MifareReader reader, Authentication auth, uint8_t block, uint8_t* data) {
    if (data == nullptr || !auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    if (Result r = OpenBlock(reader, auth, block); r != KESTREL_OK) return r;
    return reader.primitives.MifareRead(block, data);
}

Result WriteBlock(MifareReader reader, Authentication auth, uint8_t block, const uint8_t* data) {
    if (data == nullptr || !auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    if (Result r = OpenBlock(reader, auth, block); r != KESTREL_OK) return r;
    return reader.primitives.MifareWrite(block, data);
}

namespace {

// The blocks of a run: start = first block + offset, end = start + count, both 8-bit.
// Nothing when end is not above start.
struct Run {
    uint8_t start;
    uint32_t count;
};

Result OpenRun(MifareReader reader, Authentication& auth, uint8_t sector, uint8_t offset,
               uint8_t count, Run& run) {
    SectorGeometry g{};
    if (Result r = OpenSector(reader, auth, sector, g); r != KESTREL_OK) return r;
    const uint8_t start = static_cast<uint8_t>(g.firstBlock + offset);
    const uint8_t end = static_cast<uint8_t>(start + count);
    run = {start, start < end ? static_cast<uint32_t>(end - start) : 0u};
    return KESTREL_OK;
}

}  // namespace

Result ReadBlockRun(MifareReader reader, Authentication auth, uint8_t sector, uint8_t offset,
                    uint8_t count, uint8_t* buffer) {
    if (buffer == nullptr || !auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    Run run{};
    if (Result r = OpenRun(reader, auth, sector, offset, count, run); r != KESTREL_OK) return r;
    return ReadBlocks(reader, run.start, run.count, buffer);
}

Result WriteBlockRun(MifareReader reader, Authentication auth, uint8_t sector, uint8_t offset,
                     uint8_t count, const uint8_t* buffer) {
    if (buffer == nullptr || !auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    Run run{};
    if (Result r = OpenRun(reader, auth, sector, offset, count, run); r != KESTREL_OK) return r;
    return WriteBlocks(reader, run.start, run.count, buffer, BlockZero::kWrite);
}

Result ReadSectorData(MifareReader reader, Authentication auth, uint8_t sector, uint8_t* buffer,
                      uint32_t size) {
    if (buffer == nullptr || !auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    SectorGeometry g{};
    if (Result r = OpenSector(reader, auth, sector, g); r != KESTREL_OK) return r;
    if ((size & 0xFF) != g.dataSize) return KESTREL_ERR_BUFFER_SIZE;
    return ReadBlocks(reader, g.firstBlock, g.blockCount - 1u, buffer);
}

Result WriteSectorData(MifareReader reader, Authentication auth, uint8_t sector,
                       const uint8_t* data, uint32_t size) {
    if (data == nullptr || !auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    SectorGeometry g{};
    if (Result r = OpenSector(reader, auth, sector, g); r != KESTREL_OK) return r;
    if ((size & 0xFF) != g.dataSize) return KESTREL_ERR_BUFFER_SIZE;
    return WriteBlocks(reader, g.firstBlock, g.blockCount - 1u, data, BlockZero::kSkip);
}

Block SplitTrailer::Assemble() const {
    Block trailer{};
    std::copy(keyA->key, keyA->key + kKeyLength, trailer.begin() + kKeyAOffset);
    std::copy(access, access + 4, trailer.begin() + kAccessOffset);
    std::copy(keyB->key, keyB->key + kKeyLength, trailer.begin() + kKeyBOffset);
    return trailer;
}

void TrailerParts::Store(const uint8_t* trailer) const {
    if (keyA != nullptr) {
        keyA->type = KEY_TYPE_A;
        std::copy(trailer + kKeyAOffset, trailer + kKeyAOffset + kKeyLength, keyA->key);
    }
    if (access != nullptr) {
        std::copy(trailer + kAccessOffset, trailer + kAccessOffset + 4, access);
    }
    if (keyB != nullptr) {
        keyB->type = KEY_TYPE_B;
        std::copy(trailer + kKeyBOffset, trailer + kKeyBOffset + kKeyLength, keyB->key);
    }
}

Result WriteTrailer(MifareReader reader, Authentication auth, uint8_t block,
                    const uint8_t* trailer) {
    return WriteBlock(reader, auth, block, trailer);
}

Result WriteTrailer(MifareReader reader, Authentication auth, uint8_t block,
                    const SplitTrailer& trailer) {
    if (!trailer.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    const Block bytes = trailer.Assemble();
    return WriteBlock(reader, auth, block, bytes.data());
}

Result WriteSectorTrailer(MifareReader reader, Authentication auth, uint8_t sector,
                          const uint8_t* trailer) {
    if (trailer == nullptr || !auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    SectorGeometry g{};
    if (Result r = OpenSector(reader, auth, sector, g); r != KESTREL_OK) return r;
    return reader.primitives.MifareWrite(g.trailerBlock, trailer);
}

Result WriteSectorTrailer(MifareReader reader, Authentication auth, uint8_t sector,
                          const SplitTrailer& trailer) {
    if (!trailer.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    const Block bytes = trailer.Assemble();
    return WriteSectorTrailer(reader, auth, sector, bytes.data());
}

Result ReadSectorTrailer(MifareReader reader, Authentication auth, uint8_t sector,
                         uint8_t* trailer) {
    if (trailer == nullptr || !auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    SectorGeometry g{};
    if (Result r = OpenSector(reader, auth, sector, g); r != KESTREL_OK) return r;
    return reader.primitives.MifareRead(g.trailerBlock, trailer);
}

Result ReadSectorTrailer(MifareReader reader, Authentication auth, uint8_t sector,
                         const TrailerParts& parts) {
    Block trailer{};
    if (Result r = ReadSectorTrailer(reader, auth, sector, trailer.data()); r != KESTREL_OK) {
        return r;
    }
    parts.Store(trailer.data());
    return KESTREL_OK;
}

Result WriteSector(MifareReader reader, Authentication auth, uint8_t sector, const uint8_t* data,
                   uint32_t size, const SplitTrailer& trailer) {
    if (data == nullptr || !trailer.Complete() || !auth.Complete()) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    const Block bytes = trailer.Assemble();
    return WriteWholeSector(reader, auth, sector, data, size, bytes.data());
}

Result WriteSectorImage(MifareReader reader, Authentication auth, uint8_t sector,
                        const uint8_t* image, uint32_t size) {
    if (image == nullptr || !auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    const uint8_t dataSize = static_cast<uint8_t>(size - kBlockSize);
    return WriteWholeSector(reader, auth, sector, image, dataSize, image + dataSize);
}

}  // namespace kestrel::mifare
