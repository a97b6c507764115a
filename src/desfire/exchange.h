// The DESFire native command exchange: one command byte and its parameters out, a status
// byte and data back, carried by the ISO/IEC 14443-4 block protocol of the reader, with the
// card's "additional frame" continuations.
#pragma once

#include <cstdint>
#include <vector>

#include "common/result.h"
#include "desfire/context.h"
#include "iso14443_4/card_channel.h"

namespace kestrel::desfire {

// How long the reader waits for the card's answer to a DESFire command, in milliseconds
// (DF_SendNativeCMD takes the caller's instead).
constexpr uint32_t kCardTimeOutMs = 1000;

// Room for one card response: the status byte and up to 299 data bytes. A longer response
// fails in the block protocol (KESTREL_ERR_READING_TOO_MUCH).
constexpr uint16_t kResponseCapacity = 300;

// Card status bytes that are not errors, and the command that fetches the next frame.
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusAdditionalFrame = 0xAF;
constexpr uint8_t kCmdAdditionalFrame = 0xAF;

// A card response without even its status byte.
constexpr Result kEmptyResponse = KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;

// The result for a card status other than kStatusOk and kStatusAdditionalFrame:
// 0xA100 + status, a positive number (0xA1AE = 41390).
constexpr Result CardStatusResult(uint8_t status) {
    return KESTREL_ERR_DF_CARD_STATUS_BASE + status;
}

// The card and the DESFire state of one session: what every native command needs.
struct DesfireCard {
    iso14443_4::CardChannel& channel;
    DesfireContext& context;
};

// Activates an idle card and puts it into ISO/IEC 14443-4 (RATS with parameter 0); then sets
// the frame size to kConnectFrameSize. KESTREL_ERR_ISO14443_4_NOT_SUPPORTED, without RATS,
// for a card whose SAK lacks bit 0x20; the reader's failures unchanged.
Result Connect(const DesfireCard& card);

// One command out through the block protocol (CID 0, no NAD, the context's frame size and
// block number), the card's raw response (status byte first) back, with no status handling.
// *responseLength: capacity in, bytes received out. The block protocol's result, unchanged.
Result SendNativeCommand(const DesfireCard& card, const uint8_t* command, uint16_t length,
                         uint8_t* response, uint16_t* responseLength, uint32_t timeOutMs);

// The full exchange with the card time-out kCardTimeOutMs: continuation frames (status 0xAF) are
// fetched with the one-byte command 0xAF until the card answers 0x00. Each frame's data is
// copied whole behind the previous frames' data when it fits the capacity (*dataLength on
// entry; 0 when `data` or `dataLength` is null); a frame that does not fit is not copied but
// counted, and since the count then exceeds the capacity, nothing after it is copied either.
// *dataLength (when not null) receives the count of data bytes of all frames, also on failure
// (the frames before the failing one). Failures: the block protocol's, 0xA100 + status for a
// card error (that frame's data dropped), kEmptyResponse for a response without status byte
// (nothing counted), KESTREL_ERR_READING_TOO_MUCH when the count would exceed 65535.
Result SendNativeCommandEx(const DesfireCard& card, const uint8_t* command, uint16_t length,
                           uint8_t* data, uint16_t* dataLength);

// The same exchange for answers of unknown size: `data` is replaced by the data of all frames,
// nothing dropped; on failure it holds the frames received before.
Result DfExchangeAlloc(const DesfireCard& card, const uint8_t* command, uint16_t length,
                       std::vector<uint8_t>& data);

// ISO/IEC 14443-4 presence check with the context's block number, the frame size as the
// answer's capacity, and the card time-out kCardTimeOutMs.
Result Ping(const DesfireCard& card);

}  // namespace kestrel::desfire
