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

Result StandardReader::ShortAnswer() const {
    const Result status = Status();
    return status != KESTREL_OK ? status : KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
}

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

Result StandardReader::SetCardTimeOut(uint32_t timeOutMs) {
    Begin(kCmdSetCardTimeOut).PutDword(timeOutMs);
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

Result StandardReader::Authenticate(uint8_t keyType, const uint8_t* serial, const uint8_t* codedKey,
                                    uint8_t block) {
    if (serial == nullptr || codedKey == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdAuthenticate);
    cmd.PutByte(keyType);
    cmd.PutBytes(serial, kMifareSerialLength);
    cmd.PutBytes(codedKey, kCodedKeyLength);
    cmd.PutByte(block);
    return Finish();
}

Result StandardReader::MifareRead(uint8_t block, uint8_t* data) {
    if (data == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    Begin(kCmdMifareRead).PutByte(block);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    // Never read past the answer: a block that did not arrive whole is not copied at all.
    if (command_->ResponseSize() < kMifareBlockSize) return ShortAnswer();
    std::memcpy(data, command_->ResponseData(), kMifareBlockSize);
    return Status();
}

Result StandardReader::MifareWrite(uint8_t block, const uint8_t* data) {
    if (data == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdMifareWrite);
    cmd.PutByte(block);
    cmd.PutBytes(data, kMifareBlockSize);
    return Finish();
}

Result StandardReader::ValueOperation(uint8_t operation, uint8_t block, const uint8_t* value,
                                      uint8_t transferBlock) {
    if (value == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdValueOperation);
    cmd.PutByte(operation);
    cmd.PutByte(block);
    cmd.PutBytes(value, 4);
    cmd.PutByte(transferBlock);
    return Finish();
}

Result StandardReader::PcdCommand14(uint8_t first, uint8_t second, uint8_t third) {
    link::ReaderCommand& cmd = Begin(kCmdPcd14);
    cmd.PutByte(first);
    cmd.PutByte(second);
    cmd.PutByte(third);
    return Finish();
}

Result StandardReader::PcdCommand15(uint8_t first, const uint8_t* serial, uint8_t second,
                                    uint8_t third) {
    if (serial == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdPcd15);
    cmd.PutByte(first);
    cmd.PutBytes(serial, kMifareSerialLength);
    cmd.PutByte(second);
    cmd.PutByte(third);
    return Finish();
}

Result StandardReader::PcdCommand17(uint8_t first, uint8_t second, const uint8_t* six) {
    if (six == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdPcd17);
    cmd.PutByte(first);
    cmd.PutByte(second);
    cmd.PutBytes(six, 6);
    return Finish();
}

Result StandardReader::ReadData(uint8_t cardCommand, uint8_t address, uint8_t length,
                                uint8_t* data) {
    if (data == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdReadData);
    cmd.PutByte(cardCommand);
    cmd.PutByte(address);
    cmd.PutByte(length);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    const uint32_t size = command_->ResponseSize();
    if (size > length) return KESTREL_ERR_WRONG_PARAMETER;
    if (size > 0) std::memcpy(data, command_->ResponseData(), size);
    return Status();
}

Result StandardReader::WritePage(uint8_t page, const uint8_t* data) {
    if (data == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdWritePage);
    cmd.PutByte(page);
    cmd.PutBytes(data, kPageSize);
    return Finish();
}

Result StandardReader::WriteData(uint8_t cardCommand, uint8_t address, uint8_t length,
                                 const uint8_t* data) {
    if (data == nullptr && length > 0) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdWriteData);
    cmd.PutByte(cardCommand);
    cmd.PutByte(address);
    cmd.PutByte(length);
    cmd.PutBytes(data, length);
    return Finish();
}

Result StandardReader::PcdCommand1C(uint8_t first, uint8_t second, const uint8_t* four) {
    if (four == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdPcd1C);
    cmd.PutByte(first);
    cmd.PutByte(second);
    cmd.PutBytes(four, 4);
    return Finish();
}

Result DerivedReader::SetRFScanMode(uint8_t on) {
    Begin(on != 0 ? kCmdSetRFScanOn : kCmdSetRFScanOff);
    return Finish();
}

Result DerivedReader::GetRFScanMode(uint8_t* state) {
    if (state == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    Begin(kCmdGetRFScanMode);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    if (command_->ResponseSize() != 1) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
    *state = command_->ResponseData()[0];
    return KESTREL_OK;
}

}  // namespace kestrel::reader
