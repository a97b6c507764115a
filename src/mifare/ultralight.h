// MIFARE Ultralight: 7-byte UID, 4-byte pages, no authentication.
#pragma once

#include <cstdint>

#include "common/result.h"
#include "mifare/mifare_reader.h"
#include "reader/reader.h"

namespace kestrel::mifare {

constexpr uint8_t kUltralightUidLength = 7;
// Card commands of the generic read and write.
constexpr uint8_t kUltralightRead = 0x30;
constexpr uint8_t kUltralightCompatibilityWrite = 0xA0;
constexpr uint8_t kUltralightTransfer = 16;
// The result of an activation that found a card with a UID other than 7 bytes.
constexpr Result kNotUltralight = -1;

// Activates an idle card into `uid` (capacity 7): 0 for a 7-byte UID, kNotUltralight for
// any other length (the reported bytes stay in `uid`), else the activation's failure.
Result GetUltralight(MifareReader reader, uint8_t* uid);

// Reads four pages from `page` on (16 bytes) into `data`.
Result ReadUltralight16(MifareReader reader, uint8_t page, uint8_t* data);
// Reads `page` into `value` (its four bytes in memory order), only on success.
Result ReadUltralightPage(MifareReader reader, uint8_t page, uint32_t* value);
// Compatibility write of 16 bytes to `page`.
Result WriteUltralight16(MifareReader reader, uint8_t page, const uint8_t* data);
// Writes one page of 4 bytes.
Result WriteUltralightPage(MifareReader reader, uint8_t page, const uint8_t* data);

}  // namespace kestrel::mifare
