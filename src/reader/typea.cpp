// Type A activation, halt and RF reset of the standard reader.
#include "reader/standard_reader.h"

#include <cstring>

namespace kestrel::reader {
namespace {

constexpr uint32_t kSerialLength = 4;
// ATQA (2), SAK (1), UID length (1) in front of the UID of an activation answer.
constexpr uint32_t kActivationHeader = 4;
// ATQA (2), SAK (1): the least a wake-up answer holds.
constexpr uint32_t kWakeUpAnswer = 3;

}  // namespace

Result StandardReader::RequestWith(uint8_t code, uint8_t requestCode, uint16_t* atqa) {
    Begin(code).PutByte(requestCode);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    // The length is checked before the status: a failed request without its two bytes is a
    // malformed answer whatever the reader says.
    if (command_->ResponseSize() != 2) return KESTREL_ERR_WRONG_PARAMETER;
    uint16_t value = 0;
    command_->GetWord(&value);
    if (atqa != nullptr) *atqa = value;
    return Status();
}

Result StandardReader::Request(uint8_t requestCode, uint16_t* atqa) {
    return RequestWith(kCmdRequest, requestCode, atqa);
}

Result StandardReader::RequestA(uint8_t requestCode, uint16_t* atqa) {
    return RequestWith(kCmdRequestA, requestCode, atqa);
}

// Exchanges the command filled so far and copies the first four answer bytes into `serial`.
Result StandardReader::SerialCommand(uint8_t* serial) {
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    if (command_->ResponseSize() < kSerialLength) return ShortAnswer();
    std::memcpy(serial, command_->ResponseData(), kSerialLength);
    return Status();
}

// Exchanges the command filled so far and stores the first answer byte through `sak`.
Result StandardReader::SakCommand(uint8_t* sak) {
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    if (command_->ResponseSize() < 1) return ShortAnswer();
    if (sak != nullptr) *sak = command_->ResponseData()[0];
    return Status();
}

Result StandardReader::Anticollision(uint8_t knownBits, uint8_t* serial) {
    if (serial == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdAnticollision);
    cmd.PutByte(knownBits);
    cmd.PutBytes(serial, kSerialLength);
    return SerialCommand(serial);
}

Result StandardReader::CascadeAnticollision(uint8_t first, uint8_t second, uint8_t* serial) {
    if (serial == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdCascadeAnticollision);
    cmd.PutByte(first);
    cmd.PutByte(second);
    cmd.PutBytes(serial, kSerialLength);
    return SerialCommand(serial);
}

Result StandardReader::Select(const uint8_t* serial, uint8_t* sak) {
    if (serial == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    Begin(kCmdSelect).PutBytes(serial, kSerialLength);
    return SakCommand(sak);
}

Result StandardReader::CascadeSelect(uint8_t first, const uint8_t* serial, uint8_t* sak) {
    if (serial == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdCascadeSelect);
    cmd.PutByte(first);
    cmd.PutBytes(serial, kSerialLength);
    return SakCommand(sak);
}

Result StandardReader::RfReset(uint16_t duration) {
    Begin(kCmdRfReset).PutWord(duration);
    return Finish();
}

Result StandardReader::Halt() {
    Begin(kCmdHalt);
    return Finish();
}

Result StandardReader::ActivateIdle(uint8_t option, uint16_t* atqa, uint8_t* sak, uint8_t* uid,
                                    uint8_t* uidLength) {
    if (uid == nullptr || uidLength == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    const uint32_t capacity = *uidLength;
    Begin(kCmdActivateIdle).PutByte(option);
    if (Result r = Exchange(); r != KESTREL_OK) return r;

    const uint32_t size = command_->ResponseSize();
    if (size > capacity + kActivationHeader) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
    if (size == 0 && Status() != KESTREL_OK) return Status();
    if (size < kActivationHeader) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
    const uint8_t* answer = command_->ResponseData();
    // The UID must fit both the caller's buffer and the answer itself; otherwise nothing
    // is written.
    const uint8_t length = answer[3];
    if (length > capacity || kActivationHeader + length > size) {
        return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
    }
    if (atqa != nullptr) *atqa = static_cast<uint16_t>(answer[0] | (answer[1] << 8));
    if (sak != nullptr) *sak = answer[2];
    *uidLength = length;
    std::memcpy(uid, answer + kActivationHeader, length);
    return Status();
}

Result StandardReader::ActivateIdleRetry(uint8_t option, uint16_t* atqa, uint8_t* sak, uint8_t* uid,
                                         uint8_t* uidLength, uint8_t repeatFactor) {
    if (repeatFactor == 0) return ActivateIdle(option, atqa, sak, uid, uidLength);
    if (repeatFactor > kMaxActivateRepeat) return KESTREL_ERR_WRONG_PARAMETER;
    // Each attempt must see the caller's capacity, not the length a failed attempt left.
    const uint8_t capacity = uidLength != nullptr ? *uidLength : 0;
    Result r = KESTREL_OK;
    for (int attempt = 0; attempt < 5 * repeatFactor; ++attempt) {
        if (uidLength != nullptr) *uidLength = capacity;
        r = ActivateIdle(option, atqa, sak, uid, uidLength);
        if (r == KESTREL_OK) return KESTREL_OK;
    }
    return r;
}

Result StandardReader::ActivateWakeUp(uint8_t option, uint16_t* atqa, uint8_t* sak,
                                      const uint8_t* uid, const uint8_t* uidLength) {
    if (uid == nullptr || uidLength == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdActivateWakeUp);
    cmd.PutByte(option);
    cmd.PutByte(*uidLength);
    cmd.PutBytes(uid, *uidLength);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    if (command_->ResponseSize() < kWakeUpAnswer) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
    const uint8_t* answer = command_->ResponseData();
    if (atqa != nullptr) *atqa = static_cast<uint16_t>(answer[0] | (answer[1] << 8));
    if (sak != nullptr) *sak = answer[2];
    return Status();
}

}  // namespace kestrel::reader
