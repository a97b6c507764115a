#include "kestrel_sim/reader/firmware.h"

#include <cstdio>

#include "reader/command_sets.h"

namespace kestrel::sim {

namespace {

Answer BadParameter() {
    return StatusOnly(status::kBadParameter);
}

std::array<uint8_t, 4> SerialFrom(const uint8_t* bytes) {
    return {bytes[0], bytes[1], bytes[2], bytes[3]};
}

}  // namespace

Firmware::Firmware() {
    using namespace command;
    RegisterCommand(kRequest, "Request", [](Firmware& f, const Bytes& p) { return f.Request(p); });
    RegisterCommand(kRequestA, "RequestA",
                    [](Firmware& f, const Bytes& p) { return f.Request(p); });
    // Anticollision and Select work on the first cascade level.
    RegisterCommand(kAnticollision, "Anticollision", [](Firmware& f, const Bytes& p) {
        if (p.size() != 5) return BadParameter();
        return f.Anticollision(0, p[0], &p[1]);
    });
    RegisterCommand(kSelect, "Select", [](Firmware& f, const Bytes& p) {
        if (p.size() != 4) return BadParameter();
        return f.Select(0, p.data());
    });
    // The cascade commands name the level by its select code.
    RegisterCommand(kCascadeAnticollision, "CascadeAnticollision", [](Firmware& f, const Bytes& p) {
        if (p.size() != 6) return BadParameter();
        const int level = LevelOfSelectCode(p[0]);
        if (level < 0) return BadParameter();
        return f.Anticollision(level, p[1], &p[2]);
    });
    RegisterCommand(kCascadeSelect, "CascadeSelect", [](Firmware& f, const Bytes& p) {
        if (p.size() != 5) return BadParameter();
        const int level = LevelOfSelectCode(p[0]);
        if (level < 0) return BadParameter();
        return f.Select(level, &p[1]);
    });
    // The option byte is accepted and has no effect.
    RegisterCommand(kActivateIdle, "ActivateIdle", [](Firmware& f, const Bytes& p) {
        if (p.size() != 1) return BadParameter();
        return f.Activate(false, nullptr);
    });
    RegisterCommand(kActivateWakeUp, "ActivateWakeUp", [](Firmware& f, const Bytes& p) {
        if (p.size() < 2 || p.size() != 2u + p[1]) return BadParameter();
        const Bytes uid(p.begin() + 2, p.end());
        if (CascadeLevels(uid.size()) == 0) return BadParameter();
        return f.Activate(true, &uid);
    });
    RegisterCommand(kHalt, "Halt", [](Firmware& f, const Bytes& p) { return f.Halt(p); });
    RegisterCommand(kRfReset, "RfReset", [](Firmware& f, const Bytes& p) { return f.RfReset(p); });
    RegisterCommand(kSetCardTimeOut, "SetCardTimeOut",
                    [](Firmware& f, const Bytes& p) { return f.SetCardTimeOut(p); });
    // ExchangeBlock, RequestATS and ExchangeTimed carry ISO/IEC 14443-4 frames to the card.
    RegisterIso14443_4Commands(*this);
    // Type B cards, and the reader's configuration and diagnostics.
    RegisterTypeBCommands(*this);
    RegisterReaderConfigCommands(*this);
}

void Firmware::RegisterCommand(uint8_t code, std::string name, Handler handler) {
    table_[code] = Entry{std::move(name), std::move(handler)};
}

std::string Firmware::CommandName(uint8_t code) const {
    if (!table_[code].name.empty()) return table_[code].name;
    // Commands that card models serve have no handler but a name in the logs.
    switch (code) {
        case card_command::kAuthenticate:
            return "Authenticate";
        case card_command::kReadBlock:
            return "MifareRead";
        case card_command::kWriteBlock:
            return "MifareWrite";
        case card_command::kValueOperation:
            return "ValueOperation";
        case card_command::kWritePage:
            return "WritePage";
        case card_command::kWriteData:
            return "WriteData";
        case card_command::kReadData:
            return "ReadData";
        default:
            break;
    }
    char text[16];
    std::snprintf(text, sizeof text, "command 0x%02X", code);
    return text;
}

Answer Firmware::Execute(uint8_t code, const Bytes& params) {
    if (table_[code].handler) return table_[code].handler(*this, params);
    if (Card* card = field_.ActiveCard()) {
        if (std::optional<CardReply> reply = card->HandleCommand(code, params)) {
            field_.Leave(*card, reply->exit);
            return std::move(reply->answer);
        }
    }
    return StatusOnly(status::kUnknownCommand);
}

Answer Firmware::Request(const Bytes& params) {
    if (params.size() != 1) return BadParameter();
    if (params[0] != iso14443a::kReqA && params[0] != iso14443a::kWupA) return BadParameter();
    // A card that was ready or active drops back on a request without answering; like
    // ActivateIdle, the firmware repeats a request nobody answered, so the card answers then.
    const bool wakeUp = params[0] == iso14443a::kWupA;
    std::optional<uint16_t> atqa = field_.Request(wakeUp);
    if (!atqa) atqa = field_.Request(wakeUp);
    // Silence on the air is reported with an empty ATQA, so the answer keeps its length.
    if (!atqa) return Answer{status::kNoCard, {0x00, 0x00}};
    return Answer{status::kOk,
                  {static_cast<uint8_t>(*atqa & 0xFF), static_cast<uint8_t>(*atqa >> 8)}};
}

Answer Firmware::Anticollision(int level, uint8_t knownBits, const uint8_t* serial) {
    if (knownBits > iso14443a::kLevelBits) return BadParameter();
    const AnticollisionResult result = field_.Anticollision(level, SerialFrom(serial), knownBits);
    if (result.responders == 0) return StatusOnly(status::kNoCard);
    Answer answer{status::kOk, Bytes(result.serial.begin(), result.serial.end())};
    if (result.collision) {
        // The bits up to the first collision, then the number of those bits: a caller repeats
        // the command with validBits + 1 known bits and its choice of the colliding bit.
        answer.status = status::kCollision;
        answer.data.push_back(static_cast<uint8_t>(result.validBits));
    }
    return answer;
}

Answer Firmware::Select(int level, const uint8_t* serial) {
    const std::optional<uint8_t> sak = field_.Select(level, SerialFrom(serial));
    if (!sak) return StatusOnly(status::kNoCard);
    return Answer{status::kOk, {*sak}};
}

Answer Firmware::Activate(bool wakeUp, const Bytes* uid) {
    // A failed wake-up keeps the length of its answer (ATQA and SAK, all zero); a failed
    // activation of an idle card answers with the status alone.
    const Answer nobody =
        uid ? Answer{status::kNoCard, {0x00, 0x00, 0x00}} : StatusOnly(status::kNoCard);
    // A card that was ready or active drops back on the first request without answering; the
    // firmware asks a second time before it gives up, as readers do.
    std::optional<uint16_t> atqa = field_.Request(wakeUp);
    if (!atqa) atqa = field_.Request(wakeUp);
    if (!atqa) return nobody;

    Bytes found;
    uint8_t sak = 0;
    const int levels = uid ? CascadeLevels(uid->size()) : 3;
    for (int level = 0; level < levels; ++level) {
        std::array<uint8_t, 4> serial{};
        if (uid) {
            serial = LevelSerial(*uid, level);
        } else {
            // Bit-wise anticollision; at every collision the reader goes on with the 0 bit, so
            // it finds the card whose UID bits, in the order they travel, are lowest.
            int knownBits = 0;
            for (int round = 0; round <= iso14443a::kLevelBits; ++round) {
                const AnticollisionResult result = field_.Anticollision(level, serial, knownBits);
                if (result.responders == 0) return nobody;
                serial = result.serial;
                if (!result.collision) break;
                knownBits = result.validBits + 1;  // the colliding bit stays 0
            }
        }
        const std::optional<uint8_t> levelSak = field_.Select(level, serial);
        if (!levelSak) return nobody;
        sak = *levelSak;
        const bool more = (sak & iso14443a::kSakCascadeBit) != 0;
        found.insert(found.end(), serial.begin() + (more ? 1 : 0), serial.end());
        if (!more) break;
    }
    // A UID given for waking up must name a whole card, not the first levels of a longer UID.
    if ((sak & iso14443a::kSakCascadeBit) != 0 || (uid && found != *uid)) return nobody;
    Answer answer{status::kOk,
                  {static_cast<uint8_t>(*atqa & 0xFF), static_cast<uint8_t>(*atqa >> 8), sak,
                   static_cast<uint8_t>(found.size())}};
    answer.data.insert(answer.data.end(), found.begin(), found.end());
    return answer;
}

Answer Firmware::Halt(const Bytes& params) {
    if (!params.empty()) return BadParameter();
    return StatusOnly(field_.Halt() ? status::kOk : status::kNoCard);
}

Answer Firmware::RfReset(const Bytes& params) {
    // The duration (milliseconds with the field off) is not waited for.
    if (params.size() != 2) return BadParameter();
    field_.Reset();
    return StatusOnly(status::kOk);
}

Answer Firmware::SetCardTimeOut(const Bytes& params) {
    if (params.size() != 4) return BadParameter();
    cardTimeOut_ = static_cast<uint32_t>(params[0]) | (static_cast<uint32_t>(params[1]) << 8) |
                   (static_cast<uint32_t>(params[2]) << 16) |
                   (static_cast<uint32_t>(params[3]) << 24);
    return StatusOnly(status::kOk);
}

}  // namespace kestrel::sim
