// MIFARE Classic value blocks: the redundant format of a signed 32-bit value, and the
// operations that create, change, check and read them.
#pragma once

#include <cstdint>

#include "KestrelAPI.h"
#include "common/result.h"
#include "mifare/authentication.h"
#include "mifare/mifare_reader.h"
#include "mifare/sector.h"
#include "reader/reader.h"

namespace kestrel::mifare {

// value, NOT value, value (little-endian), then address, NOT address, address, NOT address.
Block ValueBlock(int32_t value, uint8_t address);

// Checks `data` as a value block of block number `block`: KESTREL_ERR_VALUE_CORRUPTED,
// then KESTREL_ERR_VALUE_ADDRESS_CORRUPTED, then KESTREL_ERR_VALUE_ADDRESS_MISMATCH. The
// value is stored only when all checks pass.
Result DecodeValueBlock(const uint8_t* data, uint8_t block, int32_t* value);

// Writes a value block of `value` to `block` after opening it with `auth`.
Result CreateValue(MifareReader reader, Authentication auth, uint8_t block, int32_t value);

// Opens `block` with `auth`, then the card applies `operation` with `value` to the block and
// stores the result back in it.
Result ProcessValue(MifareReader reader, Authentication auth, uint8_t operation, uint8_t block,
                    int32_t value);

// Opens `block` with `auth`, reads it and decodes it (DecodeValueBlock).
Result ReadValue(MifareReader reader, Authentication auth, uint8_t block, int32_t* value);

// The access conditions of a value sector.
extern const uint8_t kValueSectorAccess[4];

// Opens the sector with `auth` and writes its trailer as newKeyA, the value-sector access
// bytes, newKeyB.
Result FormatValueSector(MifareReader reader, Authentication auth, uint8_t sector,
                         const MifareKey* newKeyA, const MifareKey* newKeyB);

}  // namespace kestrel::mifare
