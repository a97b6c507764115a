#include "mifare/legacy.h"

#include <cstdlib>
#include <cstring>

#include "mifare/geometry.h"
#include "mifare/sector.h"
#include "mifare/value.h"

namespace kestrel::mifare {
namespace {

constexpr uint8_t kFourBlockSectorBytes = 4 * kBlockSize;  // 64, trailer included
constexpr uint8_t kFourBlockDataBytes = 3 * kBlockSize;    // 48
constexpr uint32_t kLargeSectorBytes = 16 * kBlockSize;    // 256, trailer included
constexpr uint32_t kLargeDataBytes = 15 * kBlockSize;      // 240
// A UID of up to three cascade levels.
constexpr uint8_t kUidCapacity = 10;

bool IsSmallSector(uint16_t sector) {
    return sector < kSmallSectorCount;
}
bool IsLargeSector(uint16_t sector) {
    return sector >= kSmallSectorCount && sector < kSectorCount;
}

// The descriptor of a 16-block sector over the caller's or a local buffer.
SectorExStruct LargeSector(uint16_t sector, uint8_t* data, uint8_t* trailer) {
    const SectorGeometry g = *Geometry(static_cast<uint8_t>(sector));
    return SectorExStruct{g.blockCount, g.firstBlock, data, trailer};
}

Result CheckDescriptor(const SectorExStruct* sector, WithTrailer withTrailer) {
    if (sector == nullptr || sector->blockCount == 0) return KESTREL_ERR_WRONG_PARAMETER;
    if (sector->blockCount > 1 && sector->data == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    if (withTrailer == WithTrailer::kYes && sector->trailer == nullptr) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    return KESTREL_OK;
}

uint8_t TrailerOf(const SectorExStruct& sector) {
    return static_cast<uint8_t>(sector.firstBlock + sector.blockCount - 1);
}

// Copies `length` bytes into a new block from malloc() and hands it over in `out`.
Result HandOver(const uint8_t* bytes, uint32_t length, AppDataStruct* out) {
    void* block = std::malloc(length);
    if (block == nullptr) return KESTREL_ERR_NOT_ENOUGH_MEMORY;
    std::memcpy(block, bytes, length);
    out->length = length;
    out->data = static_cast<uint8_t*>(block);
    return KESTREL_OK;
}

// Opens the first block of a 4-block sector with a fresh activation.
Result OpenFourBlockSector(MifareReader reader, const MifareKey* key, uint8_t sector,
                           const void* data, uint8_t* first) {
    if (key == nullptr || data == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    if (Result r = CheckFourBlockSector(sector); r != KESTREL_OK) return r;
    *first = Geometry(sector)->firstBlock;
    Authentication auth = Authentication::AfterRfReset(key);
    return OpenBlock(reader, auth, *first);
}

}  // namespace

Result CheckFourBlockSector(uint8_t sector) {
    return IsSmallSector(sector) ? KESTREL_OK : KESTREL_ERR_WRONG_PARAMETER;
}

Result ReadFourBlockSector(MifareReader reader, const MifareKey* key, uint8_t sector,
                           uint8_t* data) {
    uint8_t first = 0;
    if (Result r = OpenFourBlockSector(reader, key, sector, data, &first); r != KESTREL_OK) {
        return r;
    }
    return ReadBlocks(reader, first, kSmallSectorBlocks, data);
}

Result WriteFourBlockSector(MifareReader reader, const MifareKey* key, uint8_t sector,
                            const uint8_t* data) {
    uint8_t first = 0;
    if (Result r = OpenFourBlockSector(reader, key, sector, data, &first); r != KESTREL_OK) {
        return r;
    }
    return WriteBlocks(reader, first, kSmallSectorBlocks, data, BlockZero::kSkip);
}

Result WriteFourBlockSectorData(MifareReader reader, const MifareKey* key, uint8_t sector,
                                const uint8_t* data) {
    uint8_t first = 0;
    if (Result r = OpenFourBlockSector(reader, key, sector, data, &first); r != KESTREL_OK) {
        return r;
    }
    return WriteBlocks(reader, first, kSmallSectorBlocks - 1u, data, BlockZero::kSkip);
}

Result ReadSectorEx(MifareReader reader, Authentication auth, const SectorExStruct* sector,
                    WithTrailer withTrailer) {
    if (!auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    if (Result r = CheckDescriptor(sector, withTrailer); r != KESTREL_OK) return r;
    if (Result r = OpenBlock(reader, auth, sector->firstBlock); r != KESTREL_OK) return r;
    if (Result r = ReadBlocks(reader, sector->firstBlock, sector->blockCount - 1u, sector->data);
        r != KESTREL_OK) {
        return r;
    }
    if (withTrailer == WithTrailer::kNo) return KESTREL_OK;
    const uint8_t trailer = TrailerOf(*sector);
    if (Result r = auth.Authenticate(reader, trailer); r != KESTREL_OK) return r;
    return reader.primitives.MifareRead(trailer, sector->trailer);
}

Result WriteSectorEx(MifareReader reader, Authentication auth, const SectorExStruct* sector,
                     WithTrailer withTrailer) {
    if (!auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    if (Result r = CheckDescriptor(sector, withTrailer); r != KESTREL_OK) return r;
    if (Result r = OpenBlock(reader, auth, sector->firstBlock); r != KESTREL_OK) return r;
    if (Result r = WriteBlocks(reader, sector->firstBlock, sector->blockCount - 1u, sector->data,
                               BlockZero::kSkip);
        r != KESTREL_OK) {
        return r;
    }
    if (withTrailer == WithTrailer::kNo) return KESTREL_OK;
    const uint8_t trailer = TrailerOf(*sector);
    if (Result r = auth.Authenticate(reader, trailer); r != KESTREL_OK) return r;
    return reader.primitives.MifareWrite(trailer, sector->trailer);
}

Result WriteOrderedTrailer(MifareReader reader, uint8_t block, const uint8_t* access,
                           const MifareKey* authKey, const MifareKey* keyX, const MifareKey* keyY) {
    if (access == nullptr || authKey == nullptr || keyX == nullptr || keyY == nullptr) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    if (keyX->type == keyY->type) return KESTREL_ERR_INVALID_KEYS;
    const SplitTrailer trailer = keyX->type == KEY_TYPE_A ? SplitTrailer{access, keyX, keyY}
                                                          : SplitTrailer{access, keyY, keyX};
    return WriteTrailer(reader, Authentication::AfterRfReset(authKey), block, trailer);
}

Result TrailerBlockOf(uint16_t sector, uint8_t* block) {
    if (Result r = CheckTrailerSector(sector); r != KESTREL_OK) return r;
    *block = Geometry(static_cast<uint8_t>(sector))->trailerBlock;
    return KESTREL_OK;
}

Result CheckTrailerSector(uint16_t sector) {
    return sector < kSectorCount ? KESTREL_OK : KESTREL_ERR_WRONG_PARAMETER;
}

Result WriteTrailerData(MifareReader reader, uint16_t sector, const uint8_t* access,
                        const MifareKey* authKey, const MifareKey* keyX, const MifareKey* keyY) {
    uint8_t block = 0;
    if (Result r = TrailerBlockOf(sector, &block); r != KESTREL_OK) return r;
    return WriteOrderedTrailer(reader, block, access, authKey, keyX, keyY);
}

Result CreateValueBlock(MifareReader reader, uint8_t block, const MifareKey* newKeyX,
                        const MifareKey* newKeyY, const MifareKey* authKey) {
    if (newKeyX == nullptr || newKeyY == nullptr || authKey == nullptr) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    // The sector that holds the block, 16-block sectors included; its trailer cannot be a
    // value block (the image would overwrite the sector's keys).
    const uint8_t sector = SectorOfBlock(block);
    if (Geometry(sector)->trailerBlock == block) return KESTREL_ERR_WRONG_PARAMETER;
    const Block image = ValueBlock(0, block);

    uint8_t serial[kSerialLength] = {};
    if (Result r = SelectCard(reader, serial, nullptr, nullptr); r != KESTREL_OK) return r;
    if (Result r = WriteTrailerData(reader, sector, kValueSectorAccess, authKey, newKeyX, newKeyY);
        r != KESTREL_OK) {
        return r;
    }
    if (Result r = AuthBlock(reader, *newKeyY, serial, block); r != KESTREL_OK) return r;
    return reader.primitives.MifareWrite(block, image.data());
}

Result CheckReadSectorBytes(uint16_t sector, const AppDataStruct* out) {
    if (out == nullptr || sector >= kSectorCount) return KESTREL_ERR_WRONG_PARAMETER;
    return KESTREL_OK;
}

Result CheckWriteSectorBytes(uint16_t sector, const AppDataStruct* in) {
    if (in == nullptr || in->data == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    if (IsSmallSector(sector) && in->length == kFourBlockSectorBytes) return KESTREL_OK;
    if (IsLargeSector(sector) && in->length == kLargeSectorBytes) return KESTREL_OK;
    return KESTREL_ERR_WRONG_PARAMETER;
}

Result CheckWriteSectorDataBytes(uint16_t sector, const AppDataStruct* in) {
    if (in == nullptr || in->data == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    if (IsSmallSector(sector) && in->length == kFourBlockDataBytes) return KESTREL_OK;
    // A 16-block sector takes a whole-sector block of 256 bytes; its last 16 are not written.
    if (IsLargeSector(sector) && in->length == kLargeSectorBytes) return KESTREL_OK;
    return KESTREL_ERR_WRONG_PARAMETER;
}

Result CheckReadSectorDataBytes(const AppDataStruct* inOut) {
    if (inOut == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    if (inOut->length != 0 && inOut->data == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    return KESTREL_OK;
}

Result ReadSectorBytes(MifareReader reader, const MifareKey* key, uint16_t sector,
                       AppDataStruct* out) {
    if (Result r = CheckReadSectorBytes(sector, out); r != KESTREL_OK) return r;
    if (IsSmallSector(sector)) {
        uint8_t bytes[kFourBlockSectorBytes] = {};
        Result r = ReadFourBlockSector(reader, key, static_cast<uint8_t>(sector), bytes);
        if (r != KESTREL_OK) return r;
        return HandOver(bytes, sizeof bytes, out);
    }
    uint8_t bytes[kLargeSectorBytes] = {};
    const SectorExStruct descriptor = LargeSector(sector, bytes, bytes + kLargeDataBytes);
    Result r =
        ReadSectorEx(reader, Authentication::AfterRfReset(key), &descriptor, WithTrailer::kYes);
    if (r != KESTREL_OK) return r;
    return HandOver(bytes, sizeof bytes, out);
}

// The descriptors below point into the caller's constant block; the write functions only
// read through them.
Result WriteSectorBytes(MifareReader reader, const MifareKey* key, uint16_t sector,
                        const AppDataStruct* in) {
    if (Result r = CheckWriteSectorBytes(sector, in); r != KESTREL_OK) return r;
    if (IsSmallSector(sector)) {
        return WriteFourBlockSector(reader, key, static_cast<uint8_t>(sector), in->data);
    }
    const SectorExStruct descriptor = LargeSector(sector, in->data, in->data + kLargeDataBytes);
    return WriteSectorEx(reader, Authentication::AfterRfReset(key), &descriptor, WithTrailer::kYes);
}

Result WriteSectorDataBytes(MifareReader reader, const MifareKey* key, uint16_t sector,
                            const AppDataStruct* in) {
    if (Result r = CheckWriteSectorDataBytes(sector, in); r != KESTREL_OK) return r;
    if (IsSmallSector(sector)) {
        return WriteFourBlockSectorData(reader, key, static_cast<uint8_t>(sector), in->data);
    }
    const SectorExStruct descriptor = LargeSector(sector, in->data, nullptr);
    return WriteSectorEx(reader, Authentication::AfterRfReset(key), &descriptor, WithTrailer::kNo);
}

Result ReadSectorDataBytes(MifareReader reader, const MifareKey* key, uint16_t sector,
                           AppDataStruct* inOut) {
    if (Result r = CheckReadSectorDataBytes(inOut); r != KESTREL_OK) return r;
    if (key == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    uint8_t uid[kUidCapacity] = {};
    uint8_t uidLength = kUidCapacity;
    if (Result r = SelectCardEx(reader, uid, &uidLength, nullptr, nullptr); r != KESTREL_OK) {
        return r;
    }
    if (sector >= kSectorCount) return KESTREL_ERR_WRONG_PARAMETER;
    const SectorGeometry g = *Geometry(static_cast<uint8_t>(sector));
    uint8_t bytes[kLargeDataBytes] = {};
    const SectorExStruct descriptor{g.blockCount, g.firstBlock, bytes, nullptr};
    Result r =
        ReadSectorEx(reader, Authentication::WithSerial(key, uid), &descriptor, WithTrailer::kNo);
    if (r != KESTREL_OK) return r;
    if (inOut->length == 0) return HandOver(bytes, g.dataSize, inOut);
    if (inOut->length < g.dataSize) return KESTREL_ERR_NOT_ENOUGH_MEMORY;
    std::memcpy(inOut->data, bytes, g.dataSize);
    return KESTREL_OK;
}

Result FreeAppData(AppDataStruct* data) {
    if (data == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    if (data->length != 0 && data->data != nullptr) std::free(data->data);
    data->length = 0;
    data->data = nullptr;
    return KESTREL_OK;
}

}  // namespace kestrel::mifare
