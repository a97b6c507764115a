// The DESFire state of one session.
#pragma once

#include <cstdint>

namespace kestrel::desfire {

// The card frame size that a DESFire connection uses, whatever the card announces.
constexpr uint16_t kConnectFrameSize = 16;

// Created by DF_InitData (or DF_Connect) and owned by the session, in a field of its own: the
// application's user data word is never taken for it.
struct DesfireContext {
    // Stored and returned for the application; no exchange reads it.
    uint32_t commandFormat = 0;
    // ISO/IEC 14443-4 block number of the next I-block; the block protocol reads it and
    // hands the next one back after every successful exchange.
    uint8_t blockNumber = 0;
    // The card's largest frame, by which the block protocol cuts commands into I-blocks.
    uint16_t frameSize = 0;
};

}  // namespace kestrel::desfire
