// A DESFire card in the field through the library's DESFire context: selection,
// authentication with the user's key, and the card's answers decoded into documents.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "keys.h"
#include "reader.h"

namespace kestrel::tool {

// "F51234" (the AID as a number, most significant digit first; up to 6 hex digits).
uint32_t ParseAid(const std::string& text);
std::string AidText(uint32_t aid);

// Communication modes by name: plain, mac, enc.
int32_t ParseMode(const std::string& name);
std::string ModeName(int32_t mode);

// Key settings in words: the card's (bits 0-3) and, for an application, the key that changes
// the other keys (bits 4-7).
Json DescribeKeySettings(uint8_t settings, uint8_t maxKeys, bool application);

struct FileSettings {
    uint8_t number = 0;
    uint8_t comm = 0;
    uint8_t type = 0;
    uint8_t access[4] = {};  // read, write, read-and-write, change
    Bytes specific;

    int32_t mode() const;         // the communication mode of the file's data
    uint32_t size() const;        // data files: the file size
    uint32_t recordSize() const;  // record files
    uint32_t maxRecords() const;
    uint32_t records() const;  // record files: how many the file holds now
    bool isData() const { return type <= 1; }
    bool isValue() const { return type == 2; }
    bool isRecord() const { return type == 3 || type == 4; }
    bool needsCommit() const { return type >= 1; }
};
// {"file": 1, "type": "backup", "communication": "mac", "access": {"read": "key 1", ...},
//  "size": 32} (value files: limits and limited credit; record files: sizes and count).
Json DescribeFile(const FileSettings& file);
// The access-rights argument "R,W,RW,C": key numbers 0-13, E/free or F/never.
std::array<uint8_t, 4> ParseAccessRights(const std::string& text);

class DesfireCard {
  public:
    explicit DesfireCard(const Reader& reader);  // activates the card (DF_Connect)
    ~DesfireCard();
    DesfireCard(const DesfireCard&) = delete;
    DesfireCard& operator=(const DesfireCard&) = delete;

    const Reader& reader() const { return reader_; }
    KestrelSession* session() const { return reader_.session(); }
    void Check(int32_t code, const std::string& operation) const { reader_.Check(code, operation); }

    void Select(uint32_t aid);
    // Authenticates with the key at the selected level; the session key is kept for the
    // protected transfers.
    void Authenticate(const DesfireKey& key);
    bool authenticated() const { return authKey_.has_value(); }
    const uint8_t* sessionKey() const { return authenticated() ? sessionKey_.data() : nullptr; }

    // The mode data travels in when `rights` (indices into the access array) grant the
    // operation: the file's own mode when the key authenticated with is among them, plain
    // when only free access grants it.
    int32_t ModeFor(const FileSettings& file, std::initializer_list<int> rights) const;

    Bytes Version();
    std::vector<uint32_t> Applications();
    std::vector<uint8_t> FileIds();
    FileSettings File(uint8_t number);
    // The key settings and the number of keys; nullopt when the card wants authentication.
    std::optional<std::pair<uint8_t, uint8_t>> KeySettings();
    std::optional<uint32_t> FreeMemory();

  private:
    const Reader& reader_;
    std::optional<uint8_t> authKey_;
    std::array<uint8_t, DF_KEY_LENGTH> sessionKey_{};
};

}  // namespace kestrel::tool
