// ISO/IEC 14443-3 Type B cards and the reader commands that reach them: REQB/WUPB with
// slots, slot markers, ATTRIB and HLTB.
#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "kestrel_sim/cards/card.h"

namespace kestrel::sim {

class Firmware;

// Reader commands of Type B.
namespace typeb_command {
constexpr uint8_t kRequest = 0xB0;        // APf, AFI, PARAM: the whole REQB/WUPB command
constexpr uint8_t kRequestIdle = 0xB1;    // AFI, PARAM: REQB
constexpr uint8_t kRequestWakeUp = 0xB2;  // AFI, PARAM: WUPB
constexpr uint8_t kAttrib = 0xB3;         // PUPI (4), param 1-4, n, n higher-layer bytes
constexpr uint8_t kSlotMarker = 0xB4;     // slot number (2 to 16)
constexpr uint8_t kHalt = 0xB5;           // PUPI (4)
}  // namespace typeb_command

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

// Adds the Type B reader commands (typeb_command) to the table. Answers:
//   REQB/WUPB (0xB0-0xB2), slot marker (0xB4): the ATQB of the one card that answers in that
//     slot; 0xFF and no data when none does; 0xE8 and no data when several do (they are
//     declared all the same, as their ATQBs went out).
//   ATTRIB (0xB3): MBLI/CID byte, the parameter-2 byte the card accepted, n, then n bytes of
//     the card's higher-layer answer. 0xFF with 00 00 00 when no declared card has the PUPI.
//   HLTB (0xB5): no data; 0xFF when no declared or active card has the PUPI.
//   0xFA for parameters of the wrong length or a slot count code or slot number out of range.
void RegisterTypeBCommands(Firmware& firmware);

}  // namespace kestrel::sim
