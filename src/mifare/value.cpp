#include "mifare/value.h"

namespace kestrel::mifare {
namespace {

void PutValue(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetValueBytes(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
           (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

}  // namespace

const uint8_t kValueSectorAccess[4] = VALUE_SECTOR_ACCESS;

Block ValueBlock(int32_t value, uint8_t address) {
    const uint32_t bits = static_cast<uint32_t>(value);
    Block block{};
    PutValue(block.data(), bits);
    PutValue(block.data() + 4, ~bits);
    PutValue(block.data() + 8, bits);
    const uint8_t inverted = static_cast<uint8_t>(~address);
    block[12] = address;
    block[13] = inverted;
    block[14] = address;
    block[15] = inverted;
    return block;
}

Result DecodeValueBlock(const uint8_t* data, uint8_t block, int32_t* value) {
    const uint32_t bits = GetValueBytes(data);
    if (GetValueBytes(data + 8) != bits || GetValueBytes(data + 4) != ~bits) {
        return KESTREL_ERR_VALUE_CORRUPTED;
    }
    const uint8_t address = data[12];
    const uint8_t inverted = static_cast<uint8_t>(~address);
    if (data[14] != address || data[13] != inverted || data[15] != inverted) {
        return KESTREL_ERR_VALUE_ADDRESS_CORRUPTED;
    }
    if (address != block) return KESTREL_ERR_VALUE_ADDRESS_MISMATCH;
    *value = static_cast<int32_t>(bits);
    return KESTREL_OK;
}

Result CreateValue(MifareReader reader, Authentication auth, uint8_t block, int32_t value) {
    const Block image = ValueBlock(value, block);
    return WriteBlock(reader, auth, block, image.data());
}

Result ProcessValue(MifareReader reader, Authentication auth, uint8_t operation, uint8_t block,
                    int32_t value) {
    if (!auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    if (Result r = OpenBlock(reader, auth, block); r != KESTREL_OK) return r;
    uint8_t operand[4];
    PutValue(operand, static_cast<uint32_t>(value));
    return reader.primitives.ValueOperation(operation, block, operand, block);
}

Result ReadValue(MifareReader reader, Authentication auth, uint8_t block, int32_t* value) {
    if (value == nullptr || !auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    Block data{};
    if (Result r = ReadBlock(reader, auth, block, data.data()); r != KESTREL_OK) return r;
    return DecodeValueBlock(data.data(), block, value);
}

Result FormatValueSector(MifareReader reader, Authentication auth, uint8_t sector,
                         const MifareKey* newKeyA, const MifareKey* newKeyB) {
    return WriteSectorTrailer(reader, auth, sector,
                              SplitTrailer{kValueSectorAccess, newKeyA, newKeyB});
}

}  // namespace kestrel::mifare
