// The older MIFARE Classic sector functions: they activate the card themselves (RF reset
// first) unless the caller gives the serial, address sectors by 4-block number, by a
// descriptor or through byte blocks, and order trailer keys by their type bytes.
#pragma once

#include <cstdint>

#include "KestrelAPI.h"
#include "common/result.h"
#include "mifare/authentication.h"
#include "mifare/mifare_reader.h"
#include "reader/reader.h"

namespace kestrel::mifare {

// The sectors 4-block sector numbers reach: 0-31. The older functions refuse the others
// with KESTREL_ERR_WRONG_PARAMETER where the 4-block layout cannot be mapped.
Result CheckFourBlockSector(uint8_t sector);

// Activates, authenticates the sector's first block and reads its four blocks (64 bytes).
Result ReadFourBlockSector(MifareReader reader, const MifareKey* key, uint8_t sector,
                           uint8_t* data);
// The same, writing the four blocks (trailer included); card block 0 is skipped.
Result WriteFourBlockSector(MifareReader reader, const MifareKey* key, uint8_t sector,
                            const uint8_t* data);
// The same, writing the three data blocks (48 bytes); card block 0 is skipped.
Result WriteFourBlockSectorData(MifareReader reader, const MifareKey* key, uint8_t sector,
                                const uint8_t* data);

// Whether a descriptor transfer covers the trailer too.
enum class WithTrailer { kNo, kYes };

// Authenticates the descriptor's first block, transfers its data blocks and, when asked,
// authenticates the trailer block and transfers the trailer. Writes skip card block 0.
Result ReadSectorEx(MifareReader reader, Authentication auth, const SectorExStruct* sector,
                    WithTrailer withTrailer);
Result WriteSectorEx(MifareReader reader, Authentication auth, const SectorExStruct* sector,
                     WithTrailer withTrailer);

// Activates, authenticates `block` with authKey and writes access between keyX and keyY,
// the key of type KEY_TYPE_A first. Equal type bytes give KESTREL_ERR_INVALID_KEYS before
// any traffic.
Result WriteOrderedTrailer(MifareReader reader, uint8_t block, const uint8_t* access,
                           const MifareKey* authKey, const MifareKey* keyX, const MifareKey* keyY);

// The trailer block of sectors 0-39 (16-block trailers from 32 on); any other number gives
// KESTREL_ERR_WRONG_PARAMETER.
Result TrailerBlockOf(uint16_t sector, uint8_t* block);

// TrailerBlockOf's check alone: made before the session by the exports.
Result CheckTrailerSector(uint16_t sector);

// WriteOrderedTrailer on the trailer of `sector` (TrailerBlockOf).
Result WriteTrailerData(MifareReader reader, uint16_t sector, const uint8_t* access,
                        const MifareKey* authKey, const MifareKey* keyX, const MifareKey* keyY);

// Makes `block` a value block of value 0 in a value sector: the trailer of the sector that
// holds the block (16-block sectors from block 128 on) through WriteTrailerData with authKey,
// then the block, authenticated with newKeyY. A trailer block is refused with
// KESTREL_ERR_WRONG_PARAMETER before any traffic.
Result CreateValueBlock(MifareReader reader, uint8_t block, const MifareKey* newKeyX,
                        const MifareKey* newKeyY, const MifareKey* authKey);

// Byte-block forms. The checks made before the session (sector, length, null structure or
// data): KESTREL_ERR_WRONG_PARAMETER or 0.
Result CheckReadSectorBytes(uint16_t sector, const AppDataStruct* out);
Result CheckWriteSectorBytes(uint16_t sector, const AppDataStruct* in);
Result CheckWriteSectorDataBytes(uint16_t sector, const AppDataStruct* in);
Result CheckReadSectorDataBytes(const AppDataStruct* inOut);

// The transfers after those checks.
Result ReadSectorBytes(MifareReader reader, const MifareKey* key, uint16_t sector,
                       AppDataStruct* out);
Result WriteSectorBytes(MifareReader reader, const MifareKey* key, uint16_t sector,
                        const AppDataStruct* in);
Result WriteSectorDataBytes(MifareReader reader, const MifareKey* key, uint16_t sector,
                            const AppDataStruct* in);
// Activates (RF reset, ActivateIdle), checks the sector, reads the data blocks with the UID's
// first four bytes as serial, then hands them over by the caller's length.
Result ReadSectorDataBytes(MifareReader reader, const MifareKey* key, uint16_t sector,
                           AppDataStruct* inOut);

// Releases a block that the library handed out in an AppDataStruct and zeroes the fields.
Result FreeAppData(AppDataStruct* data);

}  // namespace kestrel::mifare
