// ISO/IEC 14443-3 Type B commands of the standard reader. The reader builds the air frames;
// the library passes the caller's bytes through and hands the card's answer back unread.
#include <cstring>

#include "reader/standard_reader.h"

namespace kestrel::reader {
namespace {

constexpr uint8_t kCmdTypeBRequest = 0xB0;
constexpr uint8_t kCmdTypeBRequestIdle = 0xB1;
constexpr uint8_t kCmdTypeBRequestWakeUp = 0xB2;
constexpr uint8_t kCmdTypeBAttrib = 0xB3;
constexpr uint8_t kCmdTypeBSlotMarker = 0xB4;
constexpr uint8_t kCmdTypeBHalt = 0xB5;

constexpr uint32_t kPupiLength = 4;
// Answer to ATTRIB: the first answer byte, the second answer byte, the count n of higher-layer
// bytes; the n bytes follow, except from readers that report only the count.
constexpr uint32_t kAttribHeader = 3;

// A caller's answer buffer with its capacity passed by pointer.
bool AnswerBufferUsable(const uint8_t* answer, const uint16_t* answerLength) {
    return answerLength != nullptr && (answer != nullptr || *answerLength == 0);
}

}  // namespace

// Sends one Type B command with its parameter bytes and hands the whole answer to the caller:
// its length is always stored; an answer longer than the capacity is not copied and gives
// KESTREL_ERR_READING_TOO_MUCH.
Result StandardReader::TypeBExchange(uint8_t code, std::initializer_list<uint8_t> parameters,
                                     uint8_t* answer, uint16_t* answerLength) {
    if (!AnswerBufferUsable(answer, answerLength)) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(code);
    for (uint8_t byte : parameters) cmd.PutByte(byte);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    const uint32_t capacity = *answerLength;
    const uint32_t size = command_->ResponseSize();
    *answerLength = static_cast<uint16_t>(size);
    if (size > capacity) return KESTREL_ERR_READING_TOO_MUCH;
    if (size > 0) std::memcpy(answer, command_->ResponseData(), size);
    return Status();
}

Result StandardReader::TypeBRequest(uint8_t first, uint8_t second, uint8_t third, uint8_t* answer,
                                    uint16_t* answerLength) {
    return TypeBExchange(kCmdTypeBRequest, {first, second, third}, answer, answerLength);
}

Result StandardReader::TypeBRequestIdle(uint8_t first, uint8_t second, uint8_t* answer,
                                        uint16_t* answerLength) {
    return TypeBExchange(kCmdTypeBRequestIdle, {first, second}, answer, answerLength);
}

Result StandardReader::TypeBRequestWakeUp(uint8_t first, uint8_t second, uint8_t* answer,
                                          uint16_t* answerLength) {
    return TypeBExchange(kCmdTypeBRequestWakeUp, {first, second}, answer, answerLength);
}

Result StandardReader::TypeBSlotMarker(uint8_t slot, uint8_t* answer, uint16_t* answerLength) {
    return TypeBExchange(kCmdTypeBSlotMarker, {slot}, answer, answerLength);
}

Result StandardReader::TypeBAttrib(const uint8_t* pupi, uint8_t param1, uint8_t param2,
                                   uint8_t param3, uint8_t* param4, uint8_t* second,
                                   uint8_t* higherLayerLength, uint8_t* higherLayerData) {
    if (pupi == nullptr || param4 == nullptr || second == nullptr || higherLayerLength == nullptr ||
        (higherLayerData == nullptr && *higherLayerLength != 0)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    // The entry length is both the count of bytes sent and the room for the card's answer;
    // the length byte is overwritten before the two are compared.
    const uint8_t capacity = *higherLayerLength;
    link::ReaderCommand& cmd = Begin(kCmdTypeBAttrib);
    cmd.PutBytes(pupi, kPupiLength);
    cmd.PutByte(param1);
    cmd.PutByte(param2);
    cmd.PutByte(param3);
    cmd.PutByte(*param4);
    cmd.PutByte(capacity);
    cmd.PutBytes(higherLayerData, capacity);
    if (Result r = Exchange(); r != KESTREL_OK) return r;

    // Three answer bytes, then either exactly as many higher-layer bytes as the third one
    // announces or none at all.
    const uint32_t size = command_->ResponseSize();
    const uint8_t* answer = command_->ResponseData();
    if (size < kAttribHeader) return KESTREL_ERR_READING_TOO_MUCH;
    const uint8_t announced = answer[2];
    const bool withBytes = size == kAttribHeader + announced;
    if (!withBytes && size != kAttribHeader) return KESTREL_ERR_READING_TOO_MUCH;
    *higherLayerLength = announced;
    if (announced > capacity) return KESTREL_ERR_READING_TOO_MUCH;
    *param4 = answer[0];
    *second = answer[1];
    if (withBytes && announced > 0) {
        std::memcpy(higherLayerData, answer + kAttribHeader, announced);
    }
    return Status();
}

Result StandardReader::TypeBHalt(const uint8_t* pupi) {
    if (pupi == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    Begin(kCmdTypeBHalt).PutBytes(pupi, kPupiLength);
    return Finish();
}

}  // namespace kestrel::reader
