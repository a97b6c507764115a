// Keys the user gives: MIFARE Classic key files and DESFire key arguments. Every kind of key
// the tool takes is parsed here, so that a new key type is added in one place.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "KestrelAPI.h"
#include "hexdata.h"

namespace kestrel::tool {

using ClassicKey = std::array<uint8_t, 6>;

// The key file: one key of 12 hex digits per line; '#' starts a comment; blank lines are
// skipped. A line that is not a key is a UsageError with the file name and line number.
// Repeated keys are kept once, in their first place.
std::vector<ClassicKey> ParseClassicKeys(const std::string& text, const std::string& fileName);
// The keys of the file `path`, or the well-known transport keys when path is empty.
std::vector<ClassicKey> LoadClassicKeys(const std::string& path);
// The well-known transport and default keys, most common first.
const std::vector<ClassicKey>& DefaultClassicKeys();

MifareKey MakeMifareKey(uint8_t type, const ClassicKey& key);
// "A FFFFFFFFFFFF" / "B ...".
std::string DescribeClassicKey(uint8_t type, const ClassicKey& key);

// A DESFire key with the number it authenticates as: "KEYNO:HEX".
struct DesfireKey {
    enum class Type { Des, TwoKeyTripleDes };
    uint8_t number = 0;
    Type type = Type::TwoKeyTripleDes;
    // The key as the library takes it: DF_KEY_LENGTH bytes (a single DES key has equal halves).
    std::array<uint8_t, DF_KEY_LENGTH> bytes{};
};
// KEYNO 0-13; HEX 8 bytes (DES) or 16 bytes (two-key triple DES, a DES key when both halves
// are equal). Anything else is a UsageError.
DesfireKey ParseDesfireKey(const std::string& text);
// A key value alone (16 or 8 bytes of hex), for new keys and old keys of change-key.
std::array<uint8_t, DF_KEY_LENGTH> ParseDesfireKeyValue(const std::string& text,
                                                        const std::string& what);

}  // namespace kestrel::tool
