// Capability: ISO/IEC 14443-3 Type A activation, halt and RF reset.
#pragma once

#include <cstdint>

#include "common/result.h"

namespace kestrel::reader {

// Outputs are written only after the answer passed its length check, whatever the reader's
// status, and never after a failed exchange.
class TypeA {
  public:
    virtual ~TypeA() = default;

    // REQA/WUPA with `requestCode`; the answer must be the two ATQA bytes.
    virtual Result Request(uint8_t requestCode, uint16_t* atqa) = 0;
    virtual Result RequestA(uint8_t requestCode, uint16_t* atqa) = 0;
    // Anticollision of cascade level 1 with `knownBits`; the four serial bytes back.
    virtual Result Anticollision(uint8_t knownBits, uint8_t* serial) = 0;
    virtual Result CascadeAnticollision(uint8_t first, uint8_t second, uint8_t* serial) = 0;
    virtual Result Select(const uint8_t* serial, uint8_t* sak) = 0;
    virtual Result CascadeSelect(uint8_t first, const uint8_t* serial, uint8_t* sak) = 0;
    // Request, anticollision and select of every cascade level in one reader command.
    // `uidLength`: capacity in, length out.
    virtual Result ActivateIdle(uint8_t option, uint16_t* atqa, uint8_t* sak, uint8_t* uid,
                                uint8_t* uidLength) = 0;
    // ActivateIdle tried five times per unit of `repeatFactor` (at most kMaxActivateRepeat).
    virtual Result ActivateIdleRetry(uint8_t option, uint16_t* atqa, uint8_t* sak, uint8_t* uid,
                                     uint8_t* uidLength, uint8_t repeatFactor) = 0;
    // Wake-up and selection of the card with the given UID.
    virtual Result ActivateWakeUp(uint8_t option, uint16_t* atqa, uint8_t* sak, const uint8_t* uid,
                                  const uint8_t* uidLength) = 0;
    virtual Result Halt() = 0;
    // The field off for `duration` ms, then on again.
    virtual Result RfReset(uint16_t duration) = 0;
};

}  // namespace kestrel::reader
