#include "acl.h"

#include "KestrelAPI.h"
#include "hexdata.h"

namespace kestrel::tool {

bool AccessBitsConsistent(const uint8_t* access) {
    const uint8_t notC1 = access[0] & 0x0F, notC2 = access[0] >> 4;
    const uint8_t c1 = access[1] >> 4, notC3 = access[1] & 0x0F;
    const uint8_t c3 = access[2] >> 4, c2 = access[2] & 0x0F;
    return (c1 ^ notC1) == 0x0F && (c2 ^ notC2) == 0x0F && (c3 ^ notC3) == 0x0F;
}

std::string KeysAllowed(uint32_t keyAMask, uint32_t keyBMask, uint32_t privilege) {
    const bool a = (keyAMask & privilege) != 0, b = (keyBMask & privilege) != 0;
    if (a && b) return "A or B";
    if (a) return "A";
    if (b) return "B";
    return "never";
}

bool MayReadData(const uint8_t* access, int group, uint8_t keyType) {
    uint32_t keyA = 0, keyB = 0;
    if (ACL_ParseDataConditions(group, access, &keyA, &keyB) < 0) return false;
    return ((keyType == KEY_TYPE_A ? keyA : keyB) & DATA_PRIV_READ) != 0;
}

bool KeyBReadable(const uint8_t* access) {
    uint32_t keyA = 0, keyB = 0;
    ACL_ParseTrailerConditions(access, &keyA, &keyB);
    return (keyA & TRAILER_PRIV_READ_KEY_B) != 0;
}

namespace {

std::string BlockRange(int first, int last) {
    return first == last ? std::to_string(first)
                         : std::to_string(first) + "-" + std::to_string(last);
}

}  // namespace

Json DescribeAccess(const uint8_t* access, int firstBlock, int blocksInSector) {
    Json description;
    description["access"] = ToHex(access, 4);
    description["consistent"] = AccessBitsConsistent(access);
    description["generalPurposeByte"] = ToHex(access + 3, 1);
    if (!AccessBitsConsistent(access)) return description;

    const int perGroup = blocksInSector == 4 ? 1 : 5;
    Json groups = Json::array();
    for (int group = 0; group < 3; ++group) {
        uint32_t keyA = 0, keyB = 0;
        const int condition = ACL_ParseDataConditions(group, access, &keyA, &keyB);
        const int first = firstBlock + group * perGroup;
        groups.push_back({{"blocks", BlockRange(first, first + perGroup - 1)},
                          {"condition", condition},
                          {"read", KeysAllowed(keyA, keyB, DATA_PRIV_READ)},
                          {"write", KeysAllowed(keyA, keyB, DATA_PRIV_WRITE)},
                          {"increment", KeysAllowed(keyA, keyB, DATA_PRIV_INCREMENT)},
                          {"decrement", KeysAllowed(keyA, keyB, DATA_PRIV_DECREMENT)}});
    }
    description["groups"] = groups;

    uint32_t keyA = 0, keyB = 0;
    const int condition = ACL_ParseTrailerConditions(access, &keyA, &keyB);
    description["trailer"] = {
        {"block", firstBlock + blocksInSector - 1},
        {"condition", condition},
        {"keyA", {{"read", "never"}, {"write", KeysAllowed(keyA, keyB, TRAILER_PRIV_WRITE_KEY_A)}}},
        {"access",
         {{"read", KeysAllowed(keyA, keyB, TRAILER_PRIV_READ_ACCESS)},
          {"write", KeysAllowed(keyA, keyB, TRAILER_PRIV_WRITE_ACCESS)}}},
        {"keyB",
         {{"read", KeysAllowed(keyA, keyB, TRAILER_PRIV_READ_KEY_B)},
          {"write", KeysAllowed(keyA, keyB, TRAILER_PRIV_WRITE_KEY_B)}}}};
    return description;
}

std::vector<std::string> AccessText(const Json& d) {
    std::vector<std::string> lines;
    lines.push_back("access bytes " + d["access"].get<std::string>() + " (general purpose byte " +
                    d["generalPurposeByte"].get<std::string>() + ")");
    if (!d["consistent"].get<bool>()) {
        lines.push_back(
            "the inverted copies of the access bits disagree: the card blocks "
            "every block of this sector");
        return lines;
    }
    for (const Json& g : d["groups"]) {
        const std::string blocks = g["blocks"].get<std::string>();
        lines.push_back((blocks.find('-') == std::string::npos ? "block " : "blocks ") + blocks +
                        " (condition " + std::to_string(g["condition"].get<int>()) + "): read " +
                        g["read"].get<std::string>() + ", write " + g["write"].get<std::string>() +
                        ", increment " + g["increment"].get<std::string>() +
                        ", decrement/transfer/restore " + g["decrement"].get<std::string>());
    }
    const Json& t = d["trailer"];
    lines.push_back("trailer block " + std::to_string(t["block"].get<int>()) + " (condition " +
                    std::to_string(t["condition"].get<int>()) + "): key A read never, write " +
                    t["keyA"]["write"].get<std::string>() + "; access bits read " +
                    t["access"]["read"].get<std::string>() + ", write " +
                    t["access"]["write"].get<std::string>() + "; key B read " +
                    t["keyB"]["read"].get<std::string>() + ", write " +
                    t["keyB"]["write"].get<std::string>());
    if (t["keyB"]["read"] != "never") {
        lines.push_back("key B is readable, so it serves as data, not as a key");
    }
    return lines;
}

std::string TrailerLockReason(const uint8_t* access) {
    if (!AccessBitsConsistent(access)) {
        return "its access bits " + ToHex(access, 3) +
               " do not match their inverted copies: the card would block the sector for ever";
    }
    uint32_t keyA = 0, keyB = 0;
    ACL_ParseTrailerConditions(access, &keyA, &keyB);
    if (((keyA | keyB) & TRAILER_PRIV_WRITE_ACCESS) == 0) {
        return "its access conditions " + ToHex(access, 3) +
               " allow no key to change them again: the sector's conditions would be fixed for "
               "ever";
    }
    return "";
}

}  // namespace kestrel::tool
