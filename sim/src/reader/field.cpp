#include "kestrel_sim/reader/field.h"

#include <algorithm>

#include "kestrel_sim/helpers/hex.h"

namespace kestrel::sim {

namespace {

bool Bit(const std::array<uint8_t, 4>& serial, int index) {
    return (serial[static_cast<size_t>(index / 8)] >> (index % 8)) & 1u;
}

void SetBit(std::array<uint8_t, 4>& serial, int index, bool value) {
    const uint8_t mask = static_cast<uint8_t>(1u << (index % 8));
    uint8_t& byte = serial[static_cast<size_t>(index / 8)];
    byte = value ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
}

bool PrefixMatches(const std::array<uint8_t, 4>& a, const std::array<uint8_t, 4>& b, int bits) {
    for (int i = 0; i < bits; ++i) {
        if (Bit(a, i) != Bit(b, i)) return false;
    }
    return true;
}

}  // namespace

bool Field::Add(std::unique_ptr<Card> card, std::string* error) {
    if (!card) {
        if (error) *error = "no card";
        return false;
    }
    if (Find(card->Uid()) != nullptr) {
        if (error) *error = "a card with UID " + ToHex(card->Uid()) + " is already in the field";
        return false;
    }
    Slot slot;
    slot.card = std::move(card);
    slots_.push_back(std::move(slot));
    return true;
}

std::unique_ptr<Card> Field::Remove(const Bytes& uid) {
    for (auto it = slots_.begin(); it != slots_.end(); ++it) {
        if (it->card->Uid() == uid) {
            if (it->state == CardState::kActive) it->card->OnDeactivated();
            std::unique_ptr<Card> card = std::move(it->card);
            slots_.erase(it);
            return card;
        }
    }
    return nullptr;
}

std::vector<Card*> Field::Cards() const {
    std::vector<Card*> cards;
    cards.reserve(slots_.size());
    for (const Slot& slot : slots_) cards.push_back(slot.card.get());
    return cards;
}

Card* Field::Find(const Bytes& uid) const {
    for (const Slot& slot : slots_) {
        if (slot.card->Uid() == uid) return slot.card.get();
    }
    return nullptr;
}

Field::Slot* Field::SlotOf(const Card& card) {
    for (Slot& slot : slots_) {
        if (slot.card.get() == &card) return &slot;
    }
    return nullptr;
}

const Field::Slot* Field::SlotOf(const Card& card) const {
    for (const Slot& slot : slots_) {
        if (slot.card.get() == &card) return &slot;
    }
    return nullptr;
}

CardState Field::StateOf(const Card& card) const {
    const Slot* slot = SlotOf(card);
    return slot ? slot->state : CardState::kIdle;
}

void Field::SetState(const Card& card, CardState state) {
    Slot* slot = SlotOf(card);
    if (slot == nullptr) return;
    slot->wokenFromHalt = false;
    Enter(*slot, state);
}

Card* Field::ActiveCard() const {
    for (const Slot& slot : slots_) {
        if (slot.state == CardState::kActive && TakesPart(slot)) return slot.card.get();
    }
    return nullptr;
}

void Field::Enter(Slot& slot, CardState state) {
    const bool wasActive = slot.state == CardState::kActive;
    slot.state = state;
    slot.level = 0;
    if (wasActive && state != CardState::kActive) slot.card->OnDeactivated();
    if (!wasActive && state == CardState::kActive) slot.card->OnActivated();
}

void Field::FallBack(Slot& slot) {
    if (slot.state == CardState::kReady || slot.state == CardState::kActive) {
        Enter(slot, slot.wokenFromHalt ? CardState::kHalt : CardState::kIdle);
    }
}

std::optional<uint16_t> Field::Request(bool wakeUp) {
    std::optional<uint16_t> atqa;
    for (Slot& slot : slots_) {
        if (!TakesPart(slot)) continue;
        switch (slot.state) {
            case CardState::kHalt:
                if (!wakeUp) break;
                slot.wokenFromHalt = true;
                Enter(slot, CardState::kReady);
                atqa = static_cast<uint16_t>(atqa.value_or(0) | slot.card->Atqa());
                break;
            case CardState::kIdle:
                slot.wokenFromHalt = false;
                Enter(slot, CardState::kReady);
                atqa = static_cast<uint16_t>(atqa.value_or(0) | slot.card->Atqa());
                break;
            case CardState::kReady:
            case CardState::kActive:
                FallBack(slot);
                break;
        }
    }
    return atqa;
}

AnticollisionResult Field::Anticollision(int level, const std::array<uint8_t, 4>& serial,
                                         int knownBits) {
    AnticollisionResult result;
    knownBits = std::clamp(knownBits, 0, iso14443a::kLevelBits);
    std::array<uint8_t, 4> first{};
    int firstDifference = iso14443a::kLevelBits;
    for (Slot& slot : slots_) {
        if (!TakesPart(slot)) continue;
        if (slot.state == CardState::kActive ||
            (slot.state == CardState::kReady && slot.level != level)) {
            FallBack(slot);
            continue;
        }
        if (slot.state != CardState::kReady) continue;
        const std::array<uint8_t, 4> own = LevelSerial(slot.card->Uid(), level);
        // A card whose UID does not continue the known bits stays silent and ready.
        if (!PrefixMatches(own, serial, knownBits)) continue;
        if (result.responders == 0) {
            first = own;
        } else {
            for (int i = 0; i < firstDifference; ++i) {
                if (Bit(own, i) != Bit(first, i)) {
                    firstDifference = i;
                    break;
                }
            }
        }
        ++result.responders;
    }
    if (result.responders == 0) return result;
    result.collision = firstDifference < iso14443a::kLevelBits;
    for (int i = 0; i < firstDifference; ++i) SetBit(result.serial, i, Bit(first, i));
    result.validBits = firstDifference;
    return result;
}

std::optional<uint8_t> Field::Select(int level, const std::array<uint8_t, 4>& serial) {
    std::optional<uint8_t> sak;
    for (Slot& slot : slots_) {
        if (!TakesPart(slot)) continue;
        if (slot.state == CardState::kActive) {
            FallBack(slot);
            continue;
        }
        if (slot.state != CardState::kReady) continue;
        if (slot.level != level || LevelSerial(slot.card->Uid(), level) != serial) {
            FallBack(slot);
            continue;
        }
        const bool complete = level == CascadeLevels(slot.card->Uid().size()) - 1;
        const uint8_t answer =
            complete ? slot.card->Sak()
                     : static_cast<uint8_t>(slot.card->Sak() | iso14443a::kSakCascadeBit);
        sak = static_cast<uint8_t>(sak.value_or(0) | answer);
        if (complete) {
            Enter(slot, CardState::kActive);
        } else {
            slot.level = level + 1;
        }
    }
    return sak;
}

bool Field::Halt() {
    bool halted = false;
    for (Slot& slot : slots_) {
        if (!TakesPart(slot)) continue;
        if (slot.state == CardState::kActive) {
            slot.wokenFromHalt = false;
            Enter(slot, CardState::kHalt);
            halted = true;
        } else if (slot.state == CardState::kReady) {
            FallBack(slot);
        }
    }
    return halted;
}

void Field::Reset() {
    for (Slot& slot : slots_) {
        slot.wokenFromHalt = false;
        Enter(slot, CardState::kIdle);
    }
}

void Field::Leave(const Card& card, CardExit exit) {
    Slot* slot = SlotOf(card);
    if (slot == nullptr || slot->state != CardState::kActive) return;
    switch (exit) {
        case CardExit::kStay:
            break;
        case CardExit::kIdle:
            FallBack(*slot);
            break;
        case CardExit::kHalt:
            slot->wokenFromHalt = false;
            Enter(*slot, CardState::kHalt);
            break;
    }
}

}  // namespace kestrel::sim
