// MIFARE Classic block and sector transfers. Each operation has one implementation that
// takes an Authentication: the plain, Auth and Single exports differ only in that value.
#pragma once

#include <array>
#include <cstdint>

#include "KestrelAPI.h"
#include "common/result.h"
#include "mifare/authentication.h"
#include "mifare/mifare_reader.h"
#include "reader/reader.h"

namespace kestrel::mifare {

using Block = std::array<uint8_t, kBlockSize>;

// Whether a write of several blocks leaves card block 0 (the manufacturer block) alone.
enum class BlockZero { kWrite, kSkip };

// Transfers `count` consecutive blocks from `first` (block numbers wrap at 256), 16 bytes
// each, stopping at the first failure.
Result ReadBlocks(MifareReader reader, uint8_t first, uint32_t count, uint8_t* out);
Result WriteBlocks(MifareReader reader, uint8_t first, uint32_t count, const uint8_t* in,
                   BlockZero blockZero);

// One block: open it with `auth`, then read or write it.
Result ReadBlock(MifareReader reader, Authentication auth, uint8_t block, uint8_t* data);
Result WriteBlock(MifareReader reader, Authentication auth, uint8_t block, const uint8_t* data);

// Opens the sector, then transfers `count` blocks from its first block + offset; a run
// whose 8-bit end is not above its start transfers nothing.
Result ReadBlockRun(MifareReader reader, Authentication auth, uint8_t sector, uint8_t offset,
                    uint8_t count, uint8_t* buffer);
Result WriteBlockRun(MifareReader reader, Authentication auth, uint8_t sector, uint8_t offset,
                     uint8_t count, const uint8_t* buffer);

// The data blocks of a sector. The low 8 bits of `size` must equal the sector's data size
// (KESTREL_ERR_BUFFER_SIZE, checked after the authentication). Writes skip card block 0.
Result ReadSectorData(MifareReader reader, Authentication auth, uint8_t sector, uint8_t* buffer,
                      uint32_t size);
Result WriteSectorData(MifareReader reader, Authentication auth, uint8_t sector,
                       const uint8_t* data, uint32_t size);

// A trailer given as access bytes and two key records: key A's six bytes, the four access
// bytes unchanged, key B's six bytes. The type bytes are not looked at.
struct SplitTrailer {
    const uint8_t* access;
    const MifareKey* keyA;
    const MifareKey* keyB;

    bool Complete() const { return access != nullptr && keyA != nullptr && keyB != nullptr; }
    Block Assemble() const;
};

// Outputs of a split trailer read; null ones are skipped.
struct TrailerParts {
    uint8_t* access;
    MifareKey* keyA;
    MifareKey* keyB;

    // Key A gets type KEY_TYPE_A and bytes 0-5, access bytes 6-9, key B type KEY_TYPE_B and
    // bytes 10-15.
    void Store(const uint8_t* trailer) const;
};

// Writes a trailer to `block` (not checked to be a trailer block) after opening the block.
Result WriteTrailer(MifareReader reader, Authentication auth, uint8_t block,
                    const uint8_t* trailer);
Result WriteTrailer(MifareReader reader, Authentication auth, uint8_t block,
                    const SplitTrailer& trailer);

// Writes the trailer block of `sector` after opening the sector.
Result WriteSectorTrailer(MifareReader reader, Authentication auth, uint8_t sector,
                          const uint8_t* trailer);
Result WriteSectorTrailer(MifareReader reader, Authentication auth, uint8_t sector,
                          const SplitTrailer& trailer);

// Reads the trailer block of `sector` after opening the sector. The split form fills its
// outputs only on success.
Result ReadSectorTrailer(MifareReader reader, Authentication auth, uint8_t sector,
                         uint8_t* trailer);
Result ReadSectorTrailer(MifareReader reader, Authentication auth, uint8_t sector,
                         const TrailerParts& parts);

// Whole sector: the data blocks (size as for WriteSectorData), then the trailer.
Result WriteSector(MifareReader reader, Authentication auth, uint8_t sector, const uint8_t* data,
                   uint32_t size, const SplitTrailer& trailer);
// Whole sector from one image of data size + 16 bytes: the data size is (size - 16) modulo
// 256 and the trailer is the 16 bytes that follow the data.
Result WriteSectorImage(MifareReader reader, Authentication auth, uint8_t sector,
                        const uint8_t* image, uint32_t size);

}  // namespace kestrel::mifare
