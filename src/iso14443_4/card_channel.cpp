#include "iso14443_4/card_channel.h"

#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "iso14443_4/tcl_protocol.h"

namespace kestrel::iso14443_4 {
namespace {

// The CID every message block carries.
constexpr uint8_t kCid = 0;

}  // namespace

Result ReaderChannel::Activate(AtsActivation activation, uint8_t parameter, uint8_t* ats,
                               uint16_t* atsLength) {
    return RequestAts(typeA_, blocks_, activation, parameter, ats, atsLength);
}

Result ReaderChannel::Exchange(uint8_t* blockNumber, uint16_t frameSize, const uint8_t* request,
                               uint16_t requestLength, uint8_t* answer, uint16_t* answerLength,
                               uint32_t cardTimeOut) {
    if (blockNumber == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    TclProtocol card(blocks_, frameSize, kCid, cardTimeOut, *blockNumber);
    const Result r = card.Exchange(request, requestLength, answer, answerLength);
    if (r == KESTREL_OK) *blockNumber = card.BlockNumber();
    return r;
}

Result ReaderChannel::Ping(const uint8_t* blockNumber, uint16_t capacity, uint32_t cardTimeOut) {
    if (blockNumber == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    return TclProtocol(blocks_, 0, kCid, cardTimeOut, *blockNumber).Ping(capacity);
}

Result ReaderChannel::Deselect(uint16_t capacity) {
    std::vector<uint8_t> answer(capacity);
    uint16_t length = capacity;
    const auto cardTimeOut = static_cast<uint32_t>(reader_.ExchangeTimeOut());
    return TclProtocol(blocks_, 0, std::nullopt, cardTimeOut, 0).Deselect(answer.data(), &length);
}

Result SendApdu(CardChannel& channel, ApduContext* context, const uint8_t* apdu,
                uint16_t apduLength, uint8_t* response, uint16_t* responseLength,
                uint16_t* statusWord) {
    if (context == nullptr || responseLength == nullptr || statusWord == nullptr ||
        (apdu == nullptr && apduLength > 0) || (response == nullptr && *responseLength > 0)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    const uint16_t capacity = *responseLength;
    // Room for the data and the status word, without wrapping round at 16 bits.
    constexpr uint32_t kLargest = std::numeric_limits<uint16_t>::max();
    const uint32_t room = capacity + 2u < kLargest ? capacity + 2u : kLargest;
    std::vector<uint8_t> buffer(room);
    uint16_t length = static_cast<uint16_t>(room);
    if (Result r = channel.Exchange(&context->blockNumber, context->frameSize, apdu, apduLength,
                                    buffer.data(), &length, context->cardTimeOut);
        r != KESTREL_OK) {
        return r;
    }
    if (length < 2) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
    const uint16_t dataLength = static_cast<uint16_t>(length - 2);
    *statusWord = static_cast<uint16_t>((buffer[dataLength] << 8) | buffer[dataLength + 1]);
    Result result = KESTREL_OK;
    if (dataLength <= capacity) {
        if (dataLength > 0) std::memcpy(response, buffer.data(), dataLength);
    } else {
        result = KESTREL_ERR_BUFFER_SIZE;
    }
    *responseLength = dataLength;
    return result;
}

}  // namespace kestrel::iso14443_4
