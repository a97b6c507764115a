#include "desfire_card.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace kestrel::tool {

uint32_t ParseAid(const std::string& text) {
    const Bytes bytes = ParseHex(std::string(text.size() % 2, '0') + text, "AID");
    if (bytes.empty() || bytes.size() > 3)
        throw UsageError("AID '" + text + "': 1 to 6 hex digits");
    uint32_t aid = 0;
    for (uint8_t byte : bytes) aid = aid << 8 | byte;
    return aid;
}

std::string AidText(uint32_t aid) {
    char text[8];
    std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(aid & 0xFFFFFF));
    return text;
}

int32_t ParseMode(const std::string& name) {
    if (name == "plain") return DF_COMM_PLAIN;
    if (name == "mac") return DF_COMM_MACED;
    if (name == "enc") return DF_COMM_ENCIPHERED;
    throw UsageError("mode '" + name + "': plain, mac or enc");
}

std::string ModeName(int32_t mode) {
    return mode == DF_COMM_MACED ? "mac" : mode == DF_COMM_ENCIPHERED ? "enc" : "plain";
}

Json DescribeKeySettings(uint8_t settings, uint8_t maxKeys, bool application) {
    Json d = {{"settings", ToHex(&settings, 1)},
              {"keys", maxKeys & 0x0F},
              {"masterKeyChangeable", (settings & 0x01) != 0},
              {"listWithoutMasterKey", (settings & 0x02) != 0},
              {"createDeleteWithoutMasterKey", (settings & 0x04) != 0},
              {"settingsChangeable", (settings & 0x08) != 0}};
    if (application) {
        const int changeKey = settings >> 4;
        d["changeKeysWith"] = changeKey == 0x0E   ? "each key itself"
                              : changeKey == 0x0F ? "none (keys frozen)"
                                                  : "key " + std::to_string(changeKey);
    }
    return d;
}

namespace {

uint32_t Little(const Bytes& bytes, size_t at, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count && at + i < bytes.size(); ++i) {
        value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    }
    return value;
}

std::string RightText(uint8_t right) {
    if (right == DF_ACCESS_FREE) return "free";
    if (right == DF_ACCESS_NEVER) return "never";
    return "key " + std::to_string(right);
}

}  // namespace

int32_t FileSettings::mode() const {
    return (comm & 3) == 3 ? DF_COMM_ENCIPHERED : (comm & 3) == 1 ? DF_COMM_MACED : DF_COMM_PLAIN;
}
uint32_t FileSettings::size() const {
    return Little(specific, 0, 3);
}
uint32_t FileSettings::recordSize() const {
    return Little(specific, 0, 3);
}
uint32_t FileSettings::maxRecords() const {
    return Little(specific, 3, 3);
}
uint32_t FileSettings::records() const {
    return Little(specific, 6, 3);
}

Json DescribeFile(const FileSettings& f) {
    static const char* kTypes[] = {"standard", "backup", "value", "linear record", "cyclic record"};
    Json d = {{"file", f.number},
              {"type", f.type < 5 ? kTypes[f.type] : "unknown " + std::to_string(f.type)},
              {"communication", ModeName(f.mode())},
              {"access",
               {{"read", RightText(f.access[0])},
                {"write", RightText(f.access[1])},
                {"readWrite", RightText(f.access[2])},
                {"change", RightText(f.access[3])}}}};
    if (f.isData()) {
        d["size"] = f.size();
    } else if (f.isValue()) {
        int32_t lower, upper, limited;
        const uint32_t l = Little(f.specific, 0, 4), u = Little(f.specific, 4, 4),
                       c = Little(f.specific, 8, 4);
        std::memcpy(&lower, &l, 4);
        std::memcpy(&upper, &u, 4);
        std::memcpy(&limited, &c, 4);
        d["lowerLimit"] = lower;
        d["upperLimit"] = upper;
        d["limitedCreditValue"] = limited;
        d["limitedCredit"] = f.specific.size() > 12 && (f.specific[12] & 1) != 0;
    } else if (f.isRecord()) {
        d["recordSize"] = f.recordSize();
        d["maxRecords"] = f.maxRecords();
        d["records"] = f.records();
    }
    return d;
}

std::array<uint8_t, 4> ParseAccessRights(const std::string& text) {
    std::array<uint8_t, 4> rights{};
    std::istringstream parts(text);
    std::string part;
    size_t count = 0;
    while (std::getline(parts, part, ',')) {
        uint8_t right;
        if (part == "E" || part == "e" || part == "free") {
            right = DF_ACCESS_FREE;
        } else if (part == "F" || part == "f" || part == "never") {
            right = DF_ACCESS_NEVER;
        } else {
            right = static_cast<uint8_t>(ParseNumber(part, 13, "access right"));
        }
        if (count < rights.size()) rights[count] = right;
        ++count;
    }
    if (count != rights.size()) {
        throw UsageError("--access '" + text +
                         "': four rights R,W,RW,C, each a key number 0-13, free or never");
    }
    return rights;
}

DesfireCard::DesfireCard(const Reader& reader) : reader_(reader) {
    reader_.Check(DF_Connect(session()), "activate the DESFire card");
}

DesfireCard::~DesfireCard() {
    DF_FreeData(session());
}

void DesfireCard::Select(uint32_t aid) {
    Check(DF_SelectApp(session(), aid), "select application " + AidText(aid));
    authKey_.reset();
}

void DesfireCard::Authenticate(const DesfireKey& key) {
    Check(DF_AuthKey(session(), key.number, key.bytes.data(), sessionKey_.data()),
          "authenticate with key " + std::to_string(key.number));
    authKey_ = key.number;
}

int32_t DesfireCard::ModeFor(const FileSettings& file, std::initializer_list<int> rights) const {
    if (!authKey_) return DF_COMM_PLAIN;
    for (int right : rights) {
        if (file.access[right] == *authKey_) return file.mode();
    }
    return DF_COMM_PLAIN;
}

Bytes DesfireCard::Version() {
    uint8_t version[64];
    uint16_t length = sizeof version;
    Check(DF_GetVersion(session(), version, &length), "read the card's version");
    return Bytes(version, version + std::min<size_t>(length, sizeof version));
}

std::vector<uint32_t> DesfireCard::Applications() {
    uint32_t aids[28];
    uint16_t count = 28;
    Check(DF_ListApps(session(), aids, &count), "list the applications");
    return std::vector<uint32_t>(aids, aids + std::min<uint16_t>(count, 28));
}

std::vector<uint8_t> DesfireCard::FileIds() {
    uint8_t ids[16];
    uint8_t count = 0;
    Check(DF_GetFileIDs(session(), &count, ids), "list the files");
    return std::vector<uint8_t>(ids, ids + std::min<uint8_t>(count, 16));
}

FileSettings DesfireCard::File(uint8_t number) {
    FileSettings file;
    file.number = number;
    uint8_t specific[13];
    uint8_t specificLength = sizeof specific;
    Check(DF_GetFileSettings(session(), number, &file.comm, &file.type, file.access,
                             &specificLength, specific),
          "read the settings of file " + std::to_string(number));
    file.specific.assign(specific, specific + std::min<size_t>(specificLength, sizeof specific));
    return file;
}

std::optional<std::pair<uint8_t, uint8_t>> DesfireCard::KeySettings() {
    uint8_t settings = 0, maxKeys = 0;
    const int32_t code = DF_GetKeySettings(session(), &settings, &maxKeys);
    if (code == KESTREL_ERR_DF_AUTHENTICATION || code == KESTREL_ERR_DF_PERMISSION_DENIED) {
        return std::nullopt;
    }
    Check(code, "read the key settings");
    return std::make_pair(settings, maxKeys);
}

std::optional<uint32_t> DesfireCard::FreeMemory() {
    // FreeMemory (0x6E) has no export of its own: the raw native command.
    const uint8_t command = 0x6E;
    uint8_t answer[8];
    uint16_t length = sizeof answer;
    if (DF_SendNativeCMDEx(session(), &command, 1, answer, &length) != KESTREL_OK || length != 3) {
        return std::nullopt;
    }
    return Little(Bytes(answer, answer + 3), 0, 3);
}

}  // namespace kestrel::tool
