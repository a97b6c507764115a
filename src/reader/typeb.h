// Capability: ISO/IEC 14443-3 Type B. The reader builds the air frames; the library passes
// the caller's bytes through and hands the card's answer back unread.
#pragma once

#include <cstdint>

#include "common/result.h"

namespace kestrel::reader {

// The requests and the slot marker store the answer length through `answerLength` (capacity
// in) and copy the answer when it fits, else give KESTREL_ERR_READING_TOO_MUCH with nothing
// copied. A null length pointer, or a null buffer with a non-zero capacity, gives
// KESTREL_ERR_WRONG_PARAMETER without traffic.
class TypeB {
  public:
    virtual ~TypeB() = default;

    virtual Result TypeBRequest(uint8_t first, uint8_t second, uint8_t third, uint8_t* answer,
                                uint16_t* answerLength) = 0;
    virtual Result TypeBRequestIdle(uint8_t first, uint8_t second, uint8_t* answer,
                                    uint16_t* answerLength) = 0;
    virtual Result TypeBRequestWakeUp(uint8_t first, uint8_t second, uint8_t* answer,
                                      uint16_t* answerLength) = 0;
    // Sends the PUPI, the four parameter bytes, the higher-layer length and that many bytes of
    // `higherLayerData`. The answer must be three bytes plus as many higher-layer bytes as its
    // third byte announces (else KESTREL_ERR_READING_TOO_MUCH, nothing stored). The announced
    // count is stored in `higherLayerLength`; a count above the entry length gives
    // KESTREL_ERR_READING_TOO_MUCH; else the first two bytes go to `param4` and `second` and
    // the higher-layer bytes to `higherLayerData`. Null pointers (the data only when the
    // length is not 0) give KESTREL_ERR_WRONG_PARAMETER without traffic.
    virtual Result TypeBAttrib(const uint8_t* pupi, uint8_t param1, uint8_t param2, uint8_t param3,
                               uint8_t* param4, uint8_t* second, uint8_t* higherLayerLength,
                               uint8_t* higherLayerData) = 0;
    virtual Result TypeBSlotMarker(uint8_t slot, uint8_t* answer, uint16_t* answerLength) = 0;
    virtual Result TypeBHalt(const uint8_t* pupi) = 0;
};

}  // namespace kestrel::reader
