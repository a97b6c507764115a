// Capability: carrying ISO/IEC 14443-4 to the card. The reader adds and checks the CRC; the
// host builds every block (src/iso14443_4).
#pragma once

#include <cstdint>

#include "common/result.h"

namespace kestrel::reader {

// Pointers a command needs (answer length, a buffer with a non-zero length or capacity) must
// not be null: KESTREL_ERR_WRONG_PARAMETER without traffic.
class BlockExchange {
  public:
    virtual ~BlockExchange() = default;

    // One block to the card and the card's block back. The answer length is stored first; an
    // answer longer than the capacity then gives KESTREL_ERR_WRONG_PARAMETER and copies
    // nothing.
    virtual Result ExchangeBlock(uint8_t parameter, const uint8_t* block, uint16_t length,
                                 uint8_t* answer, uint16_t* answerLength) = 0;
    // `frame` to the card with the reader waiting up to `cardTimeOut` ms for its answer. This
    // one exchange gets the longer of the exchange time-out and the card time-out (plus a
    // tenth for the way to and from the reader).
    virtual Result ExchangeTimed(const uint8_t* frame, uint16_t length, uint8_t* answer,
                                 uint16_t* answerLength, uint8_t flag, uint32_t cardTimeOut) = 0;
    // RATS. An ATS longer than the capacity gives KESTREL_ERR_WRONG_PARAMETER with nothing
    // copied and the length untouched.
    virtual Result RequestATS(uint8_t parameter, uint8_t* ats, uint16_t* atsLength) = 0;
    // How long the reader waits for the card's answer to each block from now on.
    virtual Result SetCardTimeOut(uint32_t timeOutMs) = 0;
    // How the host waits before it retries a failed block.
    virtual void PauseBeforeRetry(uint32_t ms) = 0;
};

}  // namespace kestrel::reader
