// What a DESFire card holds: applications with their keys and key settings, and the files of
// each application, with the EEPROM they take.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "kestrel_sim/cards/desfire/codes.h"
#include "kestrel_sim/helpers/bytes.h"

namespace kestrel::sim::desfire {

using Key = std::array<uint8_t, 16>;   // K1 = bytes 0-7, K2 = bytes 8-15
using Aid = std::array<uint8_t, 3>;    // in the order the bytes travel (lowest first)
constexpr Aid kCardLevel = {0, 0, 0};  // AID 000000: the card itself

// A DES or triple DES key carries its version in the lowest bits of bytes 0 to 7 (the DES
// parity bits), byte 0 holding the version's highest bit.
uint8_t KeyVersion(const Key& key);
// Equal halves: the key is a single DES key.
bool IsSingleDes(const Key& key);

// A file of an application. The access bytes are kept as they travel: byte 0 = read-and-write
// (high nibble) and change (low nibble), byte 1 = read (high) and write (low).
struct File {
    uint8_t type = file_type::kStandard;
    uint8_t communication = communication::kPlain;
    std::array<uint8_t, 2> access = {0xEE, 0xEE};
    Bytes data;  // standard and backup files: the whole file
    // Value files.
    int32_t lowerLimit = 0;
    int32_t upperLimit = 0;
    int32_t value = 0;
    bool limitedCreditEnabled = false;
    int32_t limitedCreditValue = 0;  // what a LimitedCredit may add at most
    // Record files: the records, oldest first.
    uint32_t recordSize = 0;
    uint32_t maxRecords = 0;
    std::vector<Bytes> records;

    uint8_t ReadRight() const { return access[1] >> 4; }
    uint8_t WriteRight() const { return access[1] & 0x0F; }
    uint8_t ReadWriteRight() const { return access[0] >> 4; }
    uint8_t ChangeRight() const { return access[0] & 0x0F; }
    bool IsRecordFile() const {
        return type == file_type::kLinearRecord || type == file_type::kCyclicRecord;
    }
};

// An application, or the card level (AID 000000, one key, no files).
struct Application {
    Aid aid = kCardLevel;
    uint8_t keySettings = kFactoryKeySettings;
    std::vector<Key> keys;          // 1 to kMaxKeys
    std::map<uint8_t, File> files;  // by file number, 0 to kMaxFileNumber
};

// The capacities the card comes in: 2048, 4096 and 8192 bytes of EEPROM.
bool IsCapacity(size_t bytes);
// EEPROM the card's allocation model charges: 64 bytes per application, and per file 32 bytes
// plus its contents rounded up to 32 bytes (a backup file twice, a value file none, a record
// file its record size times its maximum number of records).
size_t MemoryOf(const File& file);
size_t MemoryOf(const Application& application);

}  // namespace kestrel::sim::desfire
