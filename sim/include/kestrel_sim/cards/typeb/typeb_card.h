// ISO/IEC 14443-3 Type B cards: ATQB, AFI, the time slot of the anticollision and the
// attributes that ATTRIB sets.
#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "kestrel_sim/cards/card.h"

namespace kestrel::sim {

// ISO/IEC 14443-3 Type B constants.
namespace iso14443b {
constexpr uint8_t kApf = 0x05;           // anticollision prefix of REQB/WUPB
constexpr uint8_t kAtqbStart = 0x50;     // first byte of ATQB
constexpr uint8_t kSlotCodeMask = 0x07;  // PARAM bits 0-2: N = 2^code slots (code 0 to 4)
constexpr uint8_t kWakeUpBit = 0x08;     // PARAM bit 3: WUPB
constexpr uint8_t kMaxSlotCode = 4;      // 16 slots
constexpr size_t kPupiSize = 4;
constexpr size_t kAtqbSize = 12;  // 0x50, PUPI, application data, protocol info
}  // namespace iso14443b

// A Type B card. Its PUPI is its identity in the field (Card::Uid). The field keeps its
// ISO/IEC 14443-3 state: idle, ready (REQUESTED or DECLARED, see Declared), active, halt.
class TypeBCard : public Card {
  public:
    struct Options {
        uint8_t afi = 0x00;  // 0: the card answers requests of every application family
        // Application data of the ATQB after the AFI byte: CRC_B of the AID (2), number of
        // applications.
        std::array<uint8_t, 3> applicationData{0x00, 0x00, 0x01};
        // Protocol info: bit rates (only 106 kbit/s), FSCI 5 (64 bytes) | ISO/IEC 14443-4,
        // FWI 7 | CID supported.
        std::array<uint8_t, 3> protocolInfo{0x00, 0x51, 0x71};
        // What the card answers to higher-layer data that comes with ATTRIB.
        Bytes higherLayerAnswer;
    };

    explicit TypeBCard(Bytes pupi) : TypeBCard(std::move(pupi), Options{}) {}
    // Throws std::invalid_argument unless `pupi` has 4 bytes.
    TypeBCard(Bytes pupi, Options options);

    bool AnswersTypeA() const override { return false; }

    const Bytes& Pupi() const { return Uid(); }
    const Options& options() const { return options_; }
    // 0x50, PUPI (4), AFI, application data (3), protocol info (3): 12 bytes.
    Bytes Atqb() const;
    // The AFI rules of ISO/IEC 14443-3: 00 every family; X0 every sub-family of X; XY only
    // that sub-family; 0Y only proprietary sub-family Y. A card with AFI 00 answers all.
    bool AcceptsAfi(uint8_t requestAfi) const;

    // The slot (1 to `slots`) the card answers in after a request. Random (a generator seeded
    // from the PUPI) unless FixSlot chose one; a fixed slot above `slots` becomes `slots`.
    int DrawSlot(int slots);
    void FixSlot(int slot) { fixedSlot_ = slot; }  // 0: random again

    // Anticollision state while the field has the card ready: the slot it drew and whether it
    // has sent its ATQB (READY-DECLARED) or waits for its slot marker (READY-REQUESTED).
    int Slot() const { return slot_; }
    bool Declared() const { return declared_; }
    void SetAnticollision(int slot, bool declared) {
        slot_ = slot;
        declared_ = declared;
    }

    // The ATTRIB the card accepted: CID (0 when it supports none) and the host's frame size.
    uint8_t Cid() const { return cid_; }
    size_t Fsd() const { return fsd_; }
    void SetAttributes(uint8_t cid, size_t fsd) {
        cid_ = cid;
        fsd_ = fsd;
    }
    bool SupportsCid() const { return (options_.protocolInfo[2] & 0x01) != 0; }

    // The answer to the higher-layer data of an ATTRIB: none for none, else the configured
    // answer. Models override it.
    virtual Bytes HigherLayerAnswer(const Bytes& data);

  private:
    Options options_;
    std::mt19937 random_;
    int fixedSlot_ = 0;
    int slot_ = 0;
    bool declared_ = false;
    uint8_t cid_ = 0;
    size_t fsd_ = 16;
};

}  // namespace kestrel::sim
