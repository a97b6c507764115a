#include "mifare/access_conditions.h"

#include "KestrelAPI.h"

namespace kestrel::mifare {
namespace {

constexpr uint32_t kReadWriteIncDec =
    DATA_PRIV_READ | DATA_PRIV_WRITE | DATA_PRIV_INCREMENT | DATA_PRIV_DECREMENT;
constexpr uint32_t kReadDecrement = DATA_PRIV_READ | DATA_PRIV_DECREMENT;
constexpr uint32_t kReadWrite = DATA_PRIV_READ | DATA_PRIV_WRITE;

int Bit(uint8_t byte, int bit) {
    return (byte >> bit) & 1;
}

void PutBit(uint8_t& byte, int bit, int value) {
    byte = static_cast<uint8_t>(value ? byte | (1u << bit) : byte & ~(1u << bit));
}

}  // namespace

const std::array<Privileges, kConditionCount> kDataPrivileges = {{
    {kReadWriteIncDec, kReadWriteIncDec},  // 000: everything with either key
    {kReadDecrement, kReadDecrement},      // 001: read and decrement with either key
    {DATA_PRIV_READ, DATA_PRIV_READ},      // 010: read only
    {0, kReadWrite},                       // 011: key B reads and writes
    {DATA_PRIV_READ, kReadWrite},          // 100: either reads, key B writes
    {0, DATA_PRIV_READ},                   // 101: key B reads
    {kReadDecrement, kReadWriteIncDec},    // 110: value block
    {0, 0},                                // 111: no access
}};

const std::array<Privileges, kConditionCount> kTrailerPrivileges = {{
    {TRAILER_PRIV_WRITE_KEY_A | TRAILER_PRIV_READ_ACCESS | TRAILER_PRIV_READ_KEY_B |
         TRAILER_PRIV_WRITE_KEY_B,
     0},
    {TRAILER_PRIV_WRITE_KEY_A | TRAILER_PRIV_READ_ACCESS | TRAILER_PRIV_WRITE_ACCESS |
         TRAILER_PRIV_READ_KEY_B | TRAILER_PRIV_WRITE_KEY_B,
     0},
    {TRAILER_PRIV_READ_ACCESS | TRAILER_PRIV_READ_KEY_B, 0},
    {TRAILER_PRIV_READ_ACCESS, TRAILER_PRIV_WRITE_KEY_A | TRAILER_PRIV_READ_ACCESS |
                                   TRAILER_PRIV_WRITE_ACCESS | TRAILER_PRIV_WRITE_KEY_B},
    {TRAILER_PRIV_READ_ACCESS,
     TRAILER_PRIV_WRITE_KEY_A | TRAILER_PRIV_READ_ACCESS | TRAILER_PRIV_WRITE_KEY_B},
    {TRAILER_PRIV_READ_ACCESS, TRAILER_PRIV_READ_ACCESS | TRAILER_PRIV_WRITE_ACCESS},
    {TRAILER_PRIV_READ_ACCESS, TRAILER_PRIV_READ_ACCESS},
    // 111 grants what 110 grants: a lookup by masks always finds 110.
    {TRAILER_PRIV_READ_ACCESS, TRAILER_PRIV_READ_ACCESS},
}};

// Byte 1 high nibble holds C1, byte 2 low nibble C2 and high nibble C3; group n is bit n of
// each nibble. Byte 0 (NOT C1 low, NOT C2 high) and the low nibble of byte 1 (NOT C3) hold
// the inverted copies.
int ConditionIndex(const uint8_t* access, int group) {
    const int c1 = Bit(access[1], 4 + group);
    const int c2 = Bit(access[2], group);
    const int c3 = Bit(access[2], 4 + group);
    return 4 * c1 + 2 * c2 + c3;
}

void SetCondition(uint8_t* access, int group, int index) {
    const int c1 = (index >> 2) & 1;
    const int c2 = (index >> 1) & 1;
    const int c3 = index & 1;
    PutBit(access[1], 4 + group, c1);
    PutBit(access[2], group, c2);
    PutBit(access[2], 4 + group, c3);
    PutBit(access[0], group, !c1);
    PutBit(access[0], 4 + group, !c2);
    PutBit(access[1], group, !c3);
}

std::optional<int> FindCondition(const std::array<Privileges, kConditionCount>& table,
                                 Privileges wanted) {
    for (uint32_t i = 0; i < kConditionCount; ++i) {
        if (table[i] == wanted) return static_cast<int>(i);
    }
    return std::nullopt;
}

namespace {

bool IsDataGroup(int32_t blockIndex) {
    return blockIndex >= 0 && blockIndex < kTrailerGroup;
}

void StorePrivileges(const Privileges& p, uint32_t* keyA, uint32_t* keyB) {
    if (keyA != nullptr) *keyA = p.keyA;
    if (keyB != nullptr) *keyB = p.keyB;
}

int Parse(int group, const std::array<Privileges, kConditionCount>& table, const uint8_t* access,
          uint32_t* keyA, uint32_t* keyB) {
    if (access == nullptr) return kNoCondition;
    const int index = ConditionIndex(access, group);
    StorePrivileges(table[index], keyA, keyB);
    return index;
}

int Generate(int group, const std::array<Privileges, kConditionCount>& table, uint8_t* access,
             Privileges wanted) {
    if (access == nullptr) return kNoCondition;
    const std::optional<int> index = FindCondition(table, wanted);
    if (!index) return kNoCondition;
    SetCondition(access, group, *index);
    return *index;
}

int GetRow(const std::array<Privileges, kConditionCount>& table, uint32_t index, uint32_t* keyA,
           uint32_t* keyB) {
    if (index >= kConditionCount) return kNoCondition;
    StorePrivileges(table[index], keyA, keyB);
    return 0;
}

}  // namespace

int ParseDataConditions(int32_t blockIndex, const uint8_t* access, uint32_t* keyA, uint32_t* keyB) {
    if (!IsDataGroup(blockIndex)) return kNoCondition;
    return Parse(blockIndex, kDataPrivileges, access, keyA, keyB);
}

int ParseTrailerConditions(const uint8_t* access, uint32_t* keyA, uint32_t* keyB) {
    return Parse(kTrailerGroup, kTrailerPrivileges, access, keyA, keyB);
}

int GenerateDataConditions(int32_t blockIndex, uint8_t* access, uint32_t keyA, uint32_t keyB) {
    if (!IsDataGroup(blockIndex)) return kNoCondition;
    return Generate(blockIndex, kDataPrivileges, access, {keyA, keyB});
}

int GenerateTrailerConditions(uint8_t* access, uint32_t keyA, uint32_t keyB) {
    return Generate(kTrailerGroup, kTrailerPrivileges, access, {keyA, keyB});
}

int GetDataPrivileges(uint32_t index, uint32_t* keyA, uint32_t* keyB) {
    return GetRow(kDataPrivileges, index, keyA, keyB);
}

int GetTrailerPrivileges(uint32_t index, uint32_t* keyA, uint32_t* keyB) {
    return GetRow(kTrailerPrivileges, index, keyA, keyB);
}

}  // namespace kestrel::mifare
