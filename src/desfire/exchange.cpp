#include "desfire/exchange.h"

#include <cstring>

namespace kestrel::desfire {
namespace {

// The largest count of data bytes a 16-bit data length can report.
constexpr uint32_t kMaxDataLength = 0xFFFF;

// Runs `command` and its continuation frames, handing the data of each frame to
// take(bytes, n, offset), where offset counts the data bytes of the frames before. `total`
// ends as the count of data bytes of all frames taken.
template <typename Take>
Result RunExchange(const DesfireCard& card, const uint8_t* command, uint16_t length,
                   uint32_t& total, Take&& take) {
    uint8_t response[kResponseCapacity];
    const uint8_t* request = command;
    uint16_t requestLength = length;
    for (;;) {
        uint16_t responseLength = kResponseCapacity;
        if (Result r = SendNativeCommand(card, request, requestLength, response, &responseLength,
                                         kCardTimeOutMs);
            r != KESTREL_OK) {
            return r;
        }
        if (responseLength == 0) return kEmptyResponse;
        const uint8_t status = response[0];
        if (status != kStatusOk && status != kStatusAdditionalFrame) {
            return CardStatusResult(status);
        }
        const uint32_t n = responseLength - 1u;
        if (total + n > kMaxDataLength) return KESTREL_ERR_READING_TOO_MUCH;
        take(response + 1, n, total);
        total += n;
        if (status == kStatusOk) return KESTREL_OK;
        request = &kCmdAdditionalFrame;
        requestLength = 1;
    }
}

}  // namespace

Result Connect(const DesfireCard& card) {
    // The answer to select is not looked at: DESFire cards take the fixed frame size.
    uint8_t ats[100];
    uint16_t atsLength = sizeof ats;
    if (Result r = card.channel.Activate(iso14443_4::AtsActivation::kIdle, 0, ats, &atsLength);
        r != KESTREL_OK) {
        return r;
    }
    card.context.frameSize = kConnectFrameSize;
    return KESTREL_OK;
}

Result SendNativeCommand(const DesfireCard& card, const uint8_t* command, uint16_t length,
                         uint8_t* response, uint16_t* responseLength, uint32_t timeOutMs) {
    return card.channel.Exchange(&card.context.blockNumber, card.context.frameSize, command, length,
                                 response, responseLength, timeOutMs);
}

Result SendNativeCommandEx(const DesfireCard& card, const uint8_t* command, uint16_t length,
                           uint8_t* data, uint16_t* dataLength) {
    const uint32_t capacity = (data != nullptr && dataLength != nullptr) ? *dataLength : 0;
    uint32_t total = 0;
    const Result r = RunExchange(card, command, length, total,
                                 [&](const uint8_t* bytes, uint32_t n, uint32_t offset) {
                                     if (n > 0 && offset + n <= capacity)
                                         std::memcpy(data + offset, bytes, n);
                                 });
    if (dataLength != nullptr) *dataLength = static_cast<uint16_t>(total);
    return r;
}

Result DfExchangeAlloc(const DesfireCard& card, const uint8_t* command, uint16_t length,
                       std::vector<uint8_t>& data) {
    data.clear();
    data.reserve(kResponseCapacity);
    uint32_t total = 0;
    return RunExchange(card, command, length, total,
                       [&](const uint8_t* bytes, uint32_t n, uint32_t /*offset*/) {
                           data.insert(data.end(), bytes, bytes + n);
                       });
}

Result Ping(const DesfireCard& card) {
    return card.channel.Ping(&card.context.blockNumber, card.context.frameSize, kCardTimeOutMs);
}

}  // namespace kestrel::desfire
