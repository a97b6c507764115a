#include "iso14443_4/activation.h"

#include "reader/reader.h"

namespace kestrel::iso14443_4 {
namespace {

// PPS: start byte (OR the CID), PPS0 (PPS1 follows), how long the reader waits for the card,
// the flag byte of the timed exchange, and the room for the card's answer.
constexpr uint8_t kPpsStart = 0xD0;
constexpr uint8_t kPps0 = 0x11;
constexpr uint32_t kPpsCardTimeOutMs = 1000;
constexpr uint8_t kPpsFlag = 1;
constexpr uint16_t kPpsAnswerCapacity = 3;

}  // namespace

Result RequestAts(reader::TypeA& typeA, reader::BlockExchange& blocks, AtsActivation activation,
                  uint8_t parameter, uint8_t* ats, uint16_t* atsLength) {
    if (atsLength == nullptr || (ats == nullptr && *atsLength > 0)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    if (activation == AtsActivation::kAfterRfReset) {
        if (Result r = typeA.RfReset(kAtsRfResetDuration); r != KESTREL_OK) return r;
    }
    uint8_t uid[reader::kMaxUidLength];
    uint8_t uidLength = reader::kMaxUidLength;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    if (Result r = typeA.ActivateIdle(0, &atqa, &sak, uid, &uidLength); r != KESTREL_OK) {
        return r;
    }
    if ((sak & kSakIso14443_4) == 0) return KESTREL_ERR_ISO14443_4_NOT_SUPPORTED;
    return blocks.RequestATS(parameter, ats, atsLength);
}

Result RequestPps(reader::BlockExchange& reader, uint8_t cid, uint8_t dsi, uint8_t dri) {
    // DSI and DRI go out as given: the card judges them.
    const uint8_t frame[5] = {static_cast<uint8_t>(kPpsStart | (cid & 0x0F)), kPps0,
                              static_cast<uint8_t>((dsi << 2) | dri), 0x00, 0x00};
    uint8_t answer[kPpsAnswerCapacity];
    uint16_t answerLength = kPpsAnswerCapacity;
    return reader.ExchangeTimed(frame, sizeof frame, answer, &answerLength, kPpsFlag,
                                kPpsCardTimeOutMs);
}

}  // namespace kestrel::iso14443_4
