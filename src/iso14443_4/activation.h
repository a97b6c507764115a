// Bringing a Type A card into ISO/IEC 14443-4: RATS after its activation, and PPS.
#pragma once

#include <cstdint>

#include "common/result.h"
#include "reader/block_exchange.h"
#include "reader/typea.h"

namespace kestrel::iso14443_4 {

// SAK bit of a card that speaks ISO/IEC 14443-4.
constexpr uint8_t kSakIso14443_4 = 0x20;
// RF reset that the activation after an RF reset starts with.
constexpr uint16_t kAtsRfResetDuration = 25;

// How the card is activated before RATS.
enum class AtsActivation {
    kIdle,          // activation of an idle card
    kAfterRfReset,  // RF reset, then the activation of an idle card
};

// Activates an idle card (UID into a buffer of its own), refuses a card whose SAK lacks the
// ISO/IEC 14443-4 bit (KESTREL_ERR_ISO14443_4_NOT_SUPPORTED), then sends RATS with
// `parameter`. `atsLength`: capacity in, length out.
Result RequestAts(reader::TypeA& typeA, reader::BlockExchange& blocks, AtsActivation activation,
                  uint8_t parameter, uint8_t* ats, uint16_t* atsLength);

// PPS request with the CID (low 4 bits), DSI and DRI, through the reader's timed exchange.
Result RequestPps(reader::BlockExchange& reader, uint8_t cid, uint8_t dsi, uint8_t dri);

}  // namespace kestrel::iso14443_4
