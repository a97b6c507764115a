#include "kestrel_sim/cards/card.h"

#include <stdexcept>

namespace kestrel::sim {

const char* CardStateName(CardState state) {
    switch (state) {
        case CardState::kIdle:
            return "idle";
        case CardState::kReady:
            return "ready";
        case CardState::kActive:
            return "active";
        case CardState::kHalt:
            return "halt";
    }
    return "unknown";
}

Card::Card(std::string type, Bytes uid, uint16_t atqa, uint8_t sak)
    : type_(std::move(type)), uid_(std::move(uid)), atqa_(atqa), sak_(sak) {
    const std::string problem = CheckUid(uid_);
    if (!problem.empty()) throw std::invalid_argument(problem);
    if (sak_ & iso14443a::kSakCascadeBit) {
        throw std::invalid_argument("the SAK of a complete UID has the cascade bit 0x04 clear");
    }
}

std::optional<CardReply> Card::HandleCommand(uint8_t /*code*/, const Bytes& /*params*/) {
    return std::nullopt;
}

bool Card::LoadImage(const Bytes& /*image*/, std::string* error) {
    if (error) *error = type_ + " cards have no memory image";
    return false;
}

int CascadeLevels(size_t uidLength) {
    switch (uidLength) {
        case 4:
            return 1;
        case 7:
            return 2;
        case 10:
            return 3;
        default:
            return 0;
    }
}

std::string CheckUid(const Bytes& uid) {
    const int levels = CascadeLevels(uid.size());
    if (levels == 0) {
        return "a UID has 4, 7 or 10 bytes, not " + std::to_string(uid.size());
    }
    // The first byte of the last level would read as the cascade tag.
    const size_t lastLevelStart = static_cast<size_t>(levels - 1) * 3;
    if (uid[lastLevelStart] == iso14443a::kCascadeTag) {
        return "UID byte " + std::to_string(lastLevelStart) + " must not be 88 (the cascade tag)";
    }
    return {};
}

std::array<uint8_t, 4> LevelSerial(const Bytes& uid, int level) {
    const int levels = CascadeLevels(uid.size());
    std::array<uint8_t, 4> serial{};
    if (level < 0 || level >= levels) return serial;
    const size_t start = static_cast<size_t>(level) * 3;
    if (level < levels - 1) {
        serial[0] = iso14443a::kCascadeTag;
        for (size_t i = 0; i < 3; ++i) serial[i + 1] = uid[start + i];
    } else {
        for (size_t i = 0; i < 4; ++i) serial[i] = uid[start + i];
    }
    return serial;
}

uint8_t SelectCode(int level) {
    static const uint8_t kCodes[] = {iso14443a::kSelectCl1, iso14443a::kSelectCl2,
                                     iso14443a::kSelectCl3};
    return (level >= 0 && level < 3) ? kCodes[level] : 0;
}

int LevelOfSelectCode(uint8_t selectCode) {
    for (int level = 0; level < 3; ++level) {
        if (SelectCode(level) == selectCode) return level;
    }
    return -1;
}

}  // namespace kestrel::sim
