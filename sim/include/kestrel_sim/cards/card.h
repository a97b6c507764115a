// A card in the reader's field: the interface that card models implement.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "kestrel_sim/helpers/bytes.h"
#include "kestrel_sim/helpers/codes.h"

namespace kestrel::sim {

// ISO/IEC 14443-3 states of a Type A card. The field keeps them; a card model only sees
// OnActivated and OnDeactivated.
enum class CardState { kIdle, kReady, kActive, kHalt };
const char* CardStateName(CardState state);  // "idle", "ready", "active", "halt"

// What the reader puts in an answer frame.
struct Answer {
    uint8_t status = status::kOk;
    Bytes data;
};
// An answer of a status byte and no data.
inline Answer StatusOnly(uint8_t statusByte) {
    return Answer{statusByte, {}};
}

// Where a card goes after a command it handled (for example halt after a deselect, idle
// after a failed authentication).
enum class CardExit { kStay, kIdle, kHalt };

struct CardReply {
    Answer answer;
    CardExit exit = CardExit::kStay;
};

// A card. The base class is a Type A card that answers the anticollision and selection of the
// field with its UID, ATQA and SAK and knows no further commands. Card models (memory,
// authentication, ISO 14443-4 protocols) derive from it and override HandleCommand; the
// firmware core does not change for them.
class Card {
  public:
    // `uid` must be 4, 7 or 10 bytes and must not start its last cascade level with the
    // cascade tag 0x88 (see CheckUid); `sak` is the SAK of the complete UID and must have the
    // cascade bit 0x04 clear (on the levels before the last the card answers sak | 0x04).
    // Throws std::invalid_argument otherwise.
    Card(std::string type, Bytes uid, uint16_t atqa, uint8_t sak);
    virtual ~Card() = default;
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    const std::string& Type() const { return type_; }
    const Bytes& Uid() const { return uid_; }
    uint16_t Atqa() const { return atqa_; }
    uint8_t Sak() const { return sak_; }

    // False for cards of another technology (Type B): the Type A air commands of the field
    // (REQA, WUPA, anticollision, select, halt) pass them by.
    virtual bool AnswersTypeA() const { return true; }

    // A reader command that the firmware has no handler for, while this card is the active
    // one. nullopt means the card does not know the command either.
    virtual std::optional<CardReply> HandleCommand(uint8_t code, const Bytes& params);

    // The card became active (selected with its whole UID).
    virtual void OnActivated() {}
    // The card left the active state (halt, field reset, an unexpected frame, removal from
    // the field while active): drop session state such as an authentication.
    virtual void OnDeactivated() {}

    // Cards with a memory that a raw dump holds (MIFARE Classic, Ultralight) override these.
    // Size of the dump in bytes; 0 for cards without one.
    virtual size_t ImageSize() const { return 0; }
    // The whole memory, in the order of a dump.
    virtual Bytes SaveImage() const { return {}; }
    // Replaces the whole memory. False and *error when the image has the wrong size or holds
    // another UID than the card's; the memory is then unchanged.
    virtual bool LoadImage(const Bytes& image, std::string* error);

    // The file the card's image is loaded from and saved to (kestrel-sim); empty for none.
    const std::string& ImagePath() const { return imagePath_; }
    void SetImagePath(std::string path) { imagePath_ = std::move(path); }

  private:
    std::string type_;
    Bytes uid_;
    uint16_t atqa_;
    uint8_t sak_;
    std::string imagePath_;
};

// Empty when `uid` can be a Type A UID, else what is wrong with it.
std::string CheckUid(const Bytes& uid);
// Cascade levels of a UID of `uidLength` bytes: 1, 2 or 3 (0 for other lengths).
int CascadeLevels(size_t uidLength);
// The four UID bytes that travel on cascade level `level` (0 = first): the cascade tag and
// three UID bytes on every level but the last, four UID bytes on the last.
std::array<uint8_t, 4> LevelSerial(const Bytes& uid, int level);
// The select code of cascade level `level` (0x93, 0x95, 0x97), and back (-1 when none).
uint8_t SelectCode(int level);
int LevelOfSelectCode(uint8_t selectCode);

}  // namespace kestrel::sim
