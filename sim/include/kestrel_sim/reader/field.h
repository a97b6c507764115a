// The RF field of the reader and the Type A cards in it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrel_sim/cards/card.h"

namespace kestrel::sim {

struct AnticollisionResult {
    size_t responders = 0;  // cards that answered
    // Answers that differ in a bit. Cards whose bytes of this level are equal (7- and 10-byte
    // UIDs with the same first bytes) answer in unison: no collision.
    bool collision = false;
    // Without a collision the four bytes of the level. With one the bits the responders share,
    // in front of the first bit on which they differ; the rest is 0.
    std::array<uint8_t, 4> serial{};
    int validBits = 0;  // bits of `serial` that are valid (32 without a collision)
};

// The cards in the field and the ISO/IEC 14443-3 state machine of each. Every air operation
// stands for one frame of the reader that every Type A card in the field receives: a card
// answers or not and changes its state as the standard says, including the rule that a
// frame a card does not expect in the ready or active state sends it back to idle (or to halt
// when WUPA had woken it from halt). Not thread-safe.
class Field {
  public:
    Field() = default;
    Field(const Field&) = delete;
    Field& operator=(const Field&) = delete;

    // A card enters the field idle. False (and *error) when a card with the same UID is there.
    bool Add(std::unique_ptr<Card> card, std::string* error = nullptr);
    // The card leaves the field; nullptr when no card has that UID.
    std::unique_ptr<Card> Remove(const Bytes& uid);

    size_t Count() const { return slots_.size(); }
    std::vector<Card*> Cards() const;  // in the order they entered
    Card* Find(const Bytes& uid) const;
    CardState StateOf(const Card& card) const;
    // Forces a state, for models of other technologies and for tests. A card set to ready
    // starts at the first cascade level.
    void SetState(const Card& card, CardState state);
    // The Type A card in the active state, nullptr when none. Cards of another technology
    // (AnswersTypeA false) are never it: their commands come through their own table entries.
    Card* ActiveCard() const;

    // REQA (wakeUp false) or WUPA: the OR of the ATQAs that came back, nullopt when none.
    std::optional<uint16_t> Request(bool wakeUp);
    // Anticollision on cascade level `level` (0 to 2) with the first `knownBits` bits of
    // `serial` (byte 0 first, least significant bit first).
    AnticollisionResult Anticollision(int level, const std::array<uint8_t, 4>& serial,
                                      int knownBits);
    // SELECT on cascade level `level`: the SAK (OR of all that answered), nullopt when none.
    std::optional<uint8_t> Select(int level, const std::array<uint8_t, 4>& serial);
    // HLTA: the active card goes to halt. False when there was no active card.
    bool Halt();
    // Field off and on: every card powers up idle.
    void Reset();
    // A card-level command moved the active card out of the active state.
    void Leave(const Card& card, CardExit exit);

  private:
    struct Slot {
        std::unique_ptr<Card> card;
        CardState state = CardState::kIdle;
        bool wokenFromHalt = false;  // where an unexpected frame sends the card back to
        int level = 0;               // cascade level the card expects while ready
    };

    Slot* SlotOf(const Card& card);
    const Slot* SlotOf(const Card& card) const;
    static bool TakesPart(const Slot& slot) { return slot.card->AnswersTypeA(); }
    // An unexpected frame in the ready or active state.
    static void FallBack(Slot& slot);
    static void Enter(Slot& slot, CardState state);

    std::vector<Slot> slots_;
};

}  // namespace kestrel::sim
