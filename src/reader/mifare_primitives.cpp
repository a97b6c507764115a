// The MIFARE primitives of the standard reader, and the key coding every reader shares.
#include <cstring>

#include "reader/standard_reader.h"

namespace kestrel::reader {

// Each key byte becomes two: for each nibble N, in order high then low, the byte
// ((NOT N) << 4) | N. The reader checks that every coded byte carries its nibble twice.
Result MifarePrimitives::CodeKey(const uint8_t* key, uint8_t* codedKey) {
    if (key == nullptr || codedKey == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    for (uint32_t i = 0; i < kKeyLength; ++i) {
        const uint8_t high = key[i] >> 4;
        const uint8_t low = key[i] & 0x0F;
        codedKey[2 * i] = static_cast<uint8_t>(((~high & 0x0F) << 4) | high);
        codedKey[2 * i + 1] = static_cast<uint8_t>(((~low & 0x0F) << 4) | low);
    }
    return KESTREL_OK;
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

}  // namespace kestrel::reader
