// The Type B reader commands: REQB/WUPB with slots, slot markers, ATTRIB and HLTB.
#include <vector>

#include "kestrel_sim/cards/iso14443_4/iso14443_4_card.h"
#include "kestrel_sim/cards/typeb/typeb_card.h"
#include "kestrel_sim/reader/firmware.h"
#include "reader/command_sets.h"

namespace kestrel::sim {

namespace {

std::vector<TypeBCard*> TypeBCards(Field& field) {
    std::vector<TypeBCard*> cards;
    for (Card* card : field.Cards()) {
        if (auto* typeB = dynamic_cast<TypeBCard*>(card)) cards.push_back(typeB);
    }
    return cards;
}

TypeBCard* FindByPupi(Field& field, const uint8_t* pupi) {
    const Bytes wanted(pupi, pupi + iso14443b::kPupiSize);
    return dynamic_cast<TypeBCard*>(field.Find(wanted));
}

// The ATQBs of the cards that answer in one time slot, as the reader hears them.
Answer SlotAnswer(const std::vector<TypeBCard*>& responders) {
    if (responders.empty()) return StatusOnly(status::kNoCard);
    if (responders.size() > 1) return StatusOnly(status::kCollision);
    return Answer{status::kOk, responders[0]->Atqb()};
}

// REQB or WUPB with `afi` and the slot count code of `param`.
Answer Request(Firmware& firmware, bool wakeUp, uint8_t afi, uint8_t param) {
    const uint8_t code = param & iso14443b::kSlotCodeMask;
    if (code > iso14443b::kMaxSlotCode) return StatusOnly(status::kBadParameter);
    const int slots = 1 << code;
    Field& field = firmware.field();
    std::vector<TypeBCard*> responders;
    for (TypeBCard* card : TypeBCards(field)) {
        const CardState state = field.StateOf(*card);
        // An active card takes a request for a frame of its higher layer and ignores it; a
        // halted card wakes up only for WUPB.
        if (state == CardState::kActive || (state == CardState::kHalt && !wakeUp)) continue;
        if (!card->AcceptsAfi(afi)) continue;
        const int slot = card->DrawSlot(slots);
        field.SetState(*card, CardState::kReady);
        card->SetAnticollision(slot, slot == 1);
        if (slot == 1) responders.push_back(card);
    }
    return SlotAnswer(responders);
}

Answer SlotMarker(Firmware& firmware, const Bytes& p) {
    if (p.size() != 1 || p[0] < 2 || p[0] > 16) return StatusOnly(status::kBadParameter);
    Field& field = firmware.field();
    std::vector<TypeBCard*> responders;
    for (TypeBCard* card : TypeBCards(field)) {
        if (field.StateOf(*card) != CardState::kReady || card->Declared()) continue;
        if (card->Slot() != p[0]) continue;
        card->SetAnticollision(card->Slot(), true);
        responders.push_back(card);
    }
    return SlotAnswer(responders);
}

Answer Attrib(Firmware& firmware, const Bytes& p) {
    // PUPI (4), param 1 to 4, the count n of higher-layer bytes, the n bytes.
    constexpr size_t kHeader = iso14443b::kPupiSize + 5;
    if (p.size() < kHeader || p.size() != kHeader + p[kHeader - 1]) {
        return StatusOnly(status::kBadParameter);
    }
    // A card that stays silent: the answer keeps its three bytes, so the host reports no card
    // rather than a malformed answer.
    const Answer silent{status::kNoCard, {0x00, 0x00, 0x00}};
    Field& field = firmware.field();
    TypeBCard* card = FindByPupi(field, p.data());
    if (card == nullptr || field.StateOf(*card) != CardState::kReady || !card->Declared()) {
        return silent;
    }
    const uint8_t param2 = p[5];
    const uint8_t param4 = p[7];
    const uint8_t cid = param4 & 0x0F;
    if (cid == 0x0F || (param4 & 0xF0) != 0) return silent;  // RFU values
    const uint8_t ownCid = card->SupportsCid() ? cid : 0;
    card->SetAttributes(ownCid, iso14443_4::FrameSizeOfIndex(param2 & 0x0F));
    field.SetState(*card, CardState::kActive);

    const Bytes higherLayer(p.begin() + kHeader, p.end());
    Bytes answer = card->HigherLayerAnswer(higherLayer);
    if (answer.size() > 0xFF) answer.resize(0xFF);
    Bytes data{ownCid, param2, static_cast<uint8_t>(answer.size())};  // MBLI 0: no limit told
    data.insert(data.end(), answer.begin(), answer.end());
    return Answer{status::kOk, std::move(data)};
}

Answer Halt(Firmware& firmware, const Bytes& p) {
    if (p.size() != iso14443b::kPupiSize) return StatusOnly(status::kBadParameter);
    Field& field = firmware.field();
    TypeBCard* card = FindByPupi(field, p.data());
    if (card == nullptr) return StatusOnly(status::kNoCard);
    const CardState state = field.StateOf(*card);
    const bool declared = state == CardState::kReady && card->Declared();
    if (state != CardState::kActive && !declared) return StatusOnly(status::kNoCard);
    field.SetState(*card, CardState::kHalt);
    return StatusOnly(status::kOk);
}

}  // namespace

void RegisterTypeBCommands(Firmware& firmware) {
    using namespace typeb_command;
    firmware.RegisterCommand(kRequest, "TypeBRequest", [](Firmware& f, const Bytes& p) {
        if (p.size() != 3 || p[0] != iso14443b::kApf) return StatusOnly(status::kBadParameter);
        return Request(f, (p[2] & iso14443b::kWakeUpBit) != 0, p[1], p[2]);
    });
    firmware.RegisterCommand(kRequestIdle, "TypeBRequestIdle", [](Firmware& f, const Bytes& p) {
        if (p.size() != 2) return StatusOnly(status::kBadParameter);
        return Request(f, false, p[0], p[1]);
    });
    firmware.RegisterCommand(kRequestWakeUp, "TypeBRequestWakeUp", [](Firmware& f, const Bytes& p) {
        if (p.size() != 2) return StatusOnly(status::kBadParameter);
        return Request(f, true, p[0], p[1]);
    });
    firmware.RegisterCommand(kAttrib, "TypeBAttrib", Attrib);
    firmware.RegisterCommand(kSlotMarker, "TypeBSlotMarker", SlotMarker);
    firmware.RegisterCommand(kHalt, "TypeBHalt", Halt);
}

}  // namespace kestrel::sim
