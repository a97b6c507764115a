// Reader configuration and diagnostics of the standard reader: chip commands, attributes,
// registers, memory, firmware version, line speed, echo test and free-form commands.
#include <cstring>

#include "reader/standard_reader.h"

namespace kestrel::reader {
namespace {

constexpr uint8_t kCmdWriteReg = 0x01;
constexpr uint8_t kCmdReadReg = 0x02;
constexpr uint8_t kCmdReadMemory = 0x23;
constexpr uint8_t kCmdWriteMemory = 0x24;
constexpr uint8_t kCmdSetDefaultAttrib = 0x45;
constexpr uint8_t kCmdSetAttrib = 0x46;
constexpr uint8_t kCmdGetAttrib = 0x47;
constexpr uint8_t kCmdGetFWVersion = 0x63;
constexpr uint8_t kCmdSetReaderBaudRate = 0x82;
constexpr uint8_t kCmdGetReaderBaudRate = 0x83;
constexpr uint8_t kCmdEchoTest = 0x86;
constexpr uint8_t kCmdSetIODevState = 0xE6;
constexpr uint8_t kCmdSetCardType = 0xEA;
constexpr uint8_t kCmdLoadConfig = 0xED;

constexpr uint32_t kAttribCount = 5;

// The reader's line-speed indices; any speed not listed is sent as index 3.
constexpr uint32_t kBaudRates[] = {9600, 19200, 57600, 115200, 38400};
constexpr uint8_t kDefaultBaudIndex = 3;

}  // namespace

Result StandardReader::SetDefaultAttrib() {
    Begin(kCmdSetDefaultAttrib);
    return Finish();
}

Result StandardReader::SetAttrib(uint8_t first, uint8_t second) {
    link::ReaderCommand& cmd = Begin(kCmdSetAttrib);
    cmd.PutByte(first);
    cmd.PutByte(second);
    return Finish();
}

Result StandardReader::GetAttrib(uint8_t* a0, uint8_t* a1, uint8_t* a2, uint8_t* a3, uint8_t* a4) {
    uint8_t* const out[kAttribCount] = {a0, a1, a2, a3, a4};
    for (uint8_t* p : out) {
        if (p == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    }
    Begin(kCmdGetAttrib);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    if (command_->ResponseSize() != kAttribCount) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
    for (uint32_t i = 0; i < kAttribCount; ++i) *out[i] = command_->ResponseData()[i];
    return Status();
}

Result StandardReader::ReadMemory(uint16_t address, uint8_t length, uint8_t* data) {
    if (data == nullptr && length > 0) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdReadMemory);
    cmd.PutWord(address);
    cmd.PutByte(length);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    const uint32_t size = command_->ResponseSize();
    if (size > length) return KESTREL_ERR_WRONG_PARAMETER;
    if (size > 0) std::memcpy(data, command_->ResponseData(), size);
    return Status();
}

Result StandardReader::WriteMemory(uint16_t address, uint8_t length, const uint8_t* data) {
    if (data == nullptr && length > 0) return KESTREL_ERR_WRONG_PARAMETER;
    link::ReaderCommand& cmd = Begin(kCmdWriteMemory);
    cmd.PutWord(address);
    cmd.PutByte(length);
    cmd.PutBytes(data, length);
    return Finish();
}

Result StandardReader::GetFWVersion(char* text, uint8_t* length) {
    if (length == nullptr || (text == nullptr && *length > 0)) return KESTREL_ERR_WRONG_PARAMETER;
    Begin(kCmdGetFWVersion);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    uint16_t announced = 0;
    if (command_->GetWord(&announced) != KESTREL_OK) {
        const Result status = Status();
        return status != KESTREL_OK ? status : KESTREL_ERR_READING_TOO_MUCH;
    }
    // A text longer than the caller's room is refused with the caller's length left as it
    // was. Lengths of 0x8000 and more (negative as a signed 16-bit number) can never fit the
    // one-byte capacity either and are refused alike.
    if (announced > *length) return KESTREL_ERR_NOT_ENOUGH_MEMORY;
    if (command_->ResponseSize() - 2 < announced) return KESTREL_ERR_READING_TOO_MUCH;
    *length = static_cast<uint8_t>(announced);
    if (announced > 0) std::memcpy(text, command_->ResponseData() + 2, announced);
    return Status();
}

Result StandardReader::WriteReg(uint8_t reg, uint8_t value) {
    link::ReaderCommand& cmd = Begin(kCmdWriteReg);
    cmd.PutByte(reg);
    cmd.PutByte(value);
    return Finish();
}

Result StandardReader::ReadReg(uint8_t reg, uint8_t* value) {
    if (value == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    Begin(kCmdReadReg).PutByte(reg);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    if (command_->ResponseSize() != 1) return KESTREL_ERR_READING_TOO_MUCH;
    *value = command_->ResponseData()[0];
    return Status();
}

Result StandardReader::SetIODevState(uint8_t device, uint8_t state) {
    link::ReaderCommand& cmd = Begin(kCmdSetIODevState);
    cmd.PutByte(device);
    cmd.PutByte(state);
    return Finish();
}

Result StandardReader::LoadConfig(uint16_t number) {
    Begin(kCmdLoadConfig).PutWord(number);
    return Finish();
}

Result StandardReader::SetCardType(uint8_t type) {
    Begin(kCmdSetCardType).PutByte(type);
    return Finish();
}

Result StandardReader::DirectCommand(uint8_t code, const uint8_t* data, uint32_t length,
                                     uint8_t* answer, uint32_t* answerLength) {
    const bool wantAnswer = answerLength != nullptr && *answerLength != 0;
    if ((data == nullptr && length > 0) || (wantAnswer && answer == nullptr)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    Begin(code).PutBytes(data, length);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    if (wantAnswer) {
        const uint32_t capacity = *answerLength;
        const uint32_t size = command_->ResponseSize();
        *answerLength = size;
        if (size > capacity) return KESTREL_ERR_WRONG_PARAMETER;
        if (size > 0) std::memcpy(answer, command_->ResponseData(), size);
    }
    return Status();
}

Result StandardReader::RawExchange(link::ReaderCommand& command) {
    if (Result r = command.RequestError(); r != KESTREL_OK) return r;
    return link_.Exchange(command, static_cast<uint32_t>(exchangeTimeOut_));
}

Result StandardReader::SetReaderBaudRate(uint32_t baudRate) {
    uint8_t index = kDefaultBaudIndex;
    for (uint8_t i = 0; i < sizeof kBaudRates / sizeof kBaudRates[0]; ++i) {
        if (kBaudRates[i] == baudRate) index = i;
    }
    Begin(kCmdSetReaderBaudRate).PutByte(index);
    return Finish();
}

Result StandardReader::GetReaderBaudRate(uint32_t* baudRate) {
    if (baudRate == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    Begin(kCmdGetReaderBaudRate);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    if (command_->ResponseSize() < 1) return ShortAnswer();
    const uint8_t index = command_->ResponseData()[0];
    *baudRate = index < sizeof kBaudRates / sizeof kBaudRates[0] ? kBaudRates[index]
                                                                 : kBaudRates[kDefaultBaudIndex];
    return Status();
}

Result StandardReader::EchoTest(uint8_t* buffer, uint16_t* length) {
    if (length == nullptr || (buffer == nullptr && *length > 0)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    const uint16_t sent = *length;
    Begin(kCmdEchoTest).PutBytes(buffer, sent);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    if (command_->ResponseSize() != sent) return KESTREL_ERR_WRONG_PARAMETER;
    if (sent > 0) std::memcpy(buffer, command_->ResponseData(), sent);
    return Status();
}

}  // namespace kestrel::reader
