#include "keys.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "output.h"

namespace kestrel::tool {

std::vector<ClassicKey> ParseClassicKeys(const std::string& text, const std::string& fileName) {
    std::vector<ClassicKey> keys;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const size_t comment = line.find('#');
        if (comment != std::string::npos) line.erase(comment);
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const std::string where = fileName + ": line " + std::to_string(number);
        const Bytes bytes = ParseHexOfSize(line, 6, where);
        ClassicKey key;
        std::copy(bytes.begin(), bytes.end(), key.begin());
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    }
    if (keys.empty()) throw UsageError(fileName + ": no keys in the file");
    return keys;
}

std::vector<ClassicKey> LoadClassicKeys(const std::string& path) {
    if (path.empty()) return DefaultClassicKeys();
    std::ifstream file(path);
    if (!file) throw UsageError("cannot read key file " + path);
    std::ostringstream text;
    text << file.rdbuf();
    return ParseClassicKeys(text.str(), path);
}

const std::vector<ClassicKey>& DefaultClassicKeys() {
    static const std::vector<ClassicKey> kKeys = {
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},  // factory (transport) key
        {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5},  // MAD sector key A
        {0xD3, 0xF7, 0xD3, 0xF7, 0xD3, 0xF7},  // NDEF data sectors key A
        {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5}, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
        {0x4D, 0x3A, 0x99, 0xC3, 0x51, 0xDD}, {0x1A, 0x98, 0x2C, 0x7E, 0x45, 0x9A},
        {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF},
    };
    return kKeys;
}

MifareKey MakeMifareKey(uint8_t type, const ClassicKey& key) {
    MifareKey result{};
    result.type = type;
    std::copy(key.begin(), key.end(), result.key);
    return result;
}

std::string DescribeClassicKey(uint8_t type, const ClassicKey& key) {
    return std::string(type == KEY_TYPE_A ? "A " : "B ") + ToHex(key.data(), key.size());
}

std::array<uint8_t, DF_KEY_LENGTH> ParseDesfireKeyValue(const std::string& text,
                                                        const std::string& what) {
    const Bytes bytes = ParseHex(text, what);
    std::array<uint8_t, DF_KEY_LENGTH> key{};
    if (bytes.size() == 8) {
        // Single DES: the library takes it as a triple DES key with equal halves.
        std::copy(bytes.begin(), bytes.end(), key.begin());
        std::copy(bytes.begin(), bytes.end(), key.begin() + 8);
    } else if (bytes.size() == DF_KEY_LENGTH) {
        std::copy(bytes.begin(), bytes.end(), key.begin());
    } else {
        throw UsageError(what + ": a key is 8 bytes (DES) or 16 bytes (two-key triple DES)");
    }
    return key;
}

DesfireKey ParseDesfireKey(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        throw UsageError("key '" + text +
                         "': KEYNO:HEX expected, for example 0:" + std::string(32, '0'));
    }
    DesfireKey key;
    key.number = static_cast<uint8_t>(ParseNumber(text.substr(0, colon), 13, "key number"));
    key.bytes = ParseDesfireKeyValue(text.substr(colon + 1), "key");
    key.type = std::equal(key.bytes.begin(), key.bytes.begin() + 8, key.bytes.begin() + 8)
                   ? DesfireKey::Type::Des
                   : DesfireKey::Type::TwoKeyTripleDes;
    return key;
}

}  // namespace kestrel::tool
