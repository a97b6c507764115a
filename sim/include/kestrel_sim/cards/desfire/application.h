// What a DESFire card holds: applications with their keys and key settings, and the files of
// each application, with the EEPROM they take.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "kestrel_sim/cards/desfire/codes.h"
#include "kestrel_sim/helpers/bytes.h"

namespace kestrel::sim::desfire {

// The key type of an application's keys, as bits 6-7 of CreateApplication's key-count byte
// carry it (and bits 6-7 of ChangeKey's key number for the card master key).
enum class KeyType : uint8_t {
    kDes = 0,     // DES or two-key triple DES (K1, K2, K1): 16 bytes, equal halves for DES
    k3k3Des = 1,  // three-key triple DES (K1, K2, K3): 24 bytes
    kAes = 2,     // AES-128: 16 bytes, with a version byte of its own
};
// Key bytes: K1 = bytes 0-7, K2 = bytes 8-15, K3 = bytes 16-23 (three-key triple DES only; zero
// for the other types). AES keys take bytes 0-15.
using Key = std::array<uint8_t, 24>;
using Aid = std::array<uint8_t, 3>;    // in the order the bytes travel (lowest first)
constexpr Aid kCardLevel = {0, 0, 0};  // AID 000000: the card itself

// Bytes of a key of `type` (16 or 24), and the cipher block of its ciphers (8 or 16).
size_t KeySize(KeyType type);
size_t BlockSize(KeyType type);
// The type named by two key-type bits; nullopt for the unused value 3.
std::optional<KeyType> KeyTypeOfBits(uint8_t bits);

// A DES or triple DES key carries its version in the lowest bits of bytes 0 to 7 (the DES
// parity bits), byte 0 holding the version's highest bit.
uint8_t KeyVersion(const uint8_t* key);
// Equal halves (bytes 0-7 and 8-15): the key is a single DES key.
bool IsSingleDes(const Key& key);

// A file of an application. The access bytes are kept as they travel: byte 0 = read-and-write
// (high nibble) and change (low nibble), byte 1 = read (high) and write (low).
struct File {
    uint8_t type = file_type::kStandard;
    uint8_t communication = communication::kPlain;
    std::array<uint8_t, 2> access = {0xEE, 0xEE};
    std::optional<uint16_t> isoFileId;  // ISO/IEC 7816-4 file identifier, when it has one
    Bytes data;                         // standard and backup files: the whole file
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
    KeyType keyType = KeyType::kDes;  // of all its keys
    std::vector<Key> keys;            // 1 to kMaxKeys
    // The versions of AES keys, one per key (DES keys carry theirs in their parity bits).
    std::vector<uint8_t> aesVersions;
    std::map<uint8_t, File> files;  // by file number, 0 to kMaxFileNumber
    // ISO/IEC 7816-4 names: whether its files may have ISO file identifiers, its own file
    // identifier and its DF name (1 to 16 bytes), when it has them.
    bool isoFileIds = false;
    std::optional<uint16_t> isoFileId;
    Bytes dfName;

    // `count` keys of `type`, all zero bytes, version 0.
    void ResetKeys(KeyType type, size_t count);
    uint8_t KeyVersionOf(size_t number) const;
};

// The capacities the card comes in: 2048, 4096 and 8192 bytes of EEPROM.
bool IsCapacity(size_t bytes);
// EEPROM the card's allocation model charges: 64 bytes per application, and per file 32 bytes
// plus its contents rounded up to 32 bytes (a backup file twice, a value file none, a record
// file its record size times its maximum number of records).
size_t MemoryOf(const File& file);
size_t MemoryOf(const Application& application);

}  // namespace kestrel::sim::desfire
