// MIFARE Classic access conditions: the trailer's bytes 6-9 and the privilege masks that
// stand for each condition index.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace kestrel::mifare {

constexpr uint32_t kAccessLength = 4;
// Block groups of the access bytes: 0-2 data blocks, 3 the trailer.
constexpr int kTrailerGroup = 3;
constexpr uint32_t kConditionCount = 8;

struct Privileges {
    uint32_t keyA;
    uint32_t keyB;
    bool operator==(const Privileges& other) const {
        return keyA == other.keyA && keyB == other.keyB;
    }
};

// Key A and key B masks of each condition index (C1 C2 C3 read as a 3-bit number).
extern const std::array<Privileges, kConditionCount> kDataPrivileges;
extern const std::array<Privileges, kConditionCount> kTrailerPrivileges;

// The condition index (0-7) of block group `group` (0-3), read from the non-inverted bits
// only: bytes whose inverted copies disagree still parse.
int ConditionIndex(const uint8_t* access, int group);

// Sets the six bits of `group` (three conditions, three inverted copies) for `index`;
// every other bit, byte 3 included, stays as it was.
void SetCondition(uint8_t* access, int group, int index);

// The first index of `table` whose masks equal `wanted` exactly; nothing when no row does.
std::optional<int> FindCondition(const std::array<Privileges, kConditionCount>& table,
                                 Privileges wanted);

// The forms the exports take: an index 0-7, or kNoCondition for a bad block index, a mask
// pair in no row or a null access pointer. Output pointers may be null (skipped); nothing
// is written on failure.
constexpr int kNoCondition = -1;
int ParseDataConditions(int32_t blockIndex, const uint8_t* access, uint32_t* keyA, uint32_t* keyB);
int ParseTrailerConditions(const uint8_t* access, uint32_t* keyA, uint32_t* keyB);
int GenerateDataConditions(int32_t blockIndex, uint8_t* access, uint32_t keyA, uint32_t keyB);
int GenerateTrailerConditions(uint8_t* access, uint32_t keyA, uint32_t keyB);
// 0 with the row stored, or kNoCondition for an index above 7.
int GetDataPrivileges(uint32_t index, uint32_t* keyA, uint32_t* keyB);
int GetTrailerPrivileges(uint32_t index, uint32_t* keyA, uint32_t* keyB);

}  // namespace kestrel::mifare
