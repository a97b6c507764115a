// MIFARE Classic access conditions in words: who may read, write, increment and decrement each
// block group, and who may read or write the trailer's keys and access bits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output.h"

namespace kestrel::tool {

// The three access bytes 6-8 of a trailer hold each bit twice, once inverted; a card whose
// copies disagree blocks the whole sector.
bool AccessBitsConsistent(const uint8_t* access);

// Which keys hold a privilege: "A or B", "A", "B", "never".
std::string KeysAllowed(uint32_t keyAMask, uint32_t keyBMask, uint32_t privilege);

// Whether key A (type KEY_TYPE_A) or key B may read data block group `group` (0-2), or the
// trailer's key B as data.
bool MayReadData(const uint8_t* access, int group, uint8_t keyType);
bool KeyBReadable(const uint8_t* access);

// The access conditions (4 bytes: 6-9 of the trailer) of a sector of `blocksInSector` blocks
// starting at block `firstBlock`, as a document:
//   {"access": "FF078069", "consistent": true, "groups": [{"blocks": "0", "condition": 0,
//    "read": "A or B", "write": ..., "increment": ..., "decrement": ...}, ...],
//    "trailer": {"block": 3, "condition": 1, "keyA": {"read": "never", "write": "A"},
//                "access": {...}, "keyB": {...}}, "generalPurposeByte": "69"}
// Inconsistent bits give "consistent": false and no groups.
Json DescribeAccess(const uint8_t* access, int firstBlock, int blocksInSector);
std::vector<std::string> AccessText(const Json& description);

// Why writing this trailer would lock the sector for ever ("" when it would not): access bits
// whose copies disagree (the card blocks the sector), or conditions that no key may change
// again.
std::string TrailerLockReason(const uint8_t* access);

}  // namespace kestrel::tool
