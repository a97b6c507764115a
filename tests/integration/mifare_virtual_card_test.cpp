// MIFARE Classic and Ultralight functions end to end against the virtual reader's card
// models, which enforce keys, access conditions, value formats and lock bits as cards do; over
// the in-process link and over a USB HID reader on the fake HID bus.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "kestrel_sim/cards/classic/classic_card.h"
#include "kestrel_sim/cards/ultralight/ultralight_card.h"
#include "support/card_scenario.h"

namespace kestrel::test {
namespace {

const MifareKey kTransportA = {KEY_TYPE_A, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
const MifareKey kTransportB = {KEY_TYPE_B, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
const MifareKey kNewA = {KEY_TYPE_A, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}};
const MifareKey kNewB = {KEY_TYPE_B, {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5}};
const uint8_t kTransportAccess[4] = {0xFF, 0x07, 0x80, 0x69};

// Bytes 0..n-1 of a recognisable pattern that differs per `seed`.
Bytes Pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + 7 * i);
    return bytes;
}

class MifareCardTest : public CardScenarioTest {
  protected:
    Bytes Block(const sim::ClassicCard* card, int block) const {
        const auto& raw = card->RawBlock(block);
        return Bytes(raw.begin(), raw.end());
    }
};

// One sector written and read back in each calling style.
TEST_P(MifareCardTest, SectorDataInEveryStyle) {
    auto* card = Add<sim::ClassicCard>("classic1k", {0x11, 0x22, 0x33, 0x44});
    ASSERT_NE(card, nullptr);
    const Bytes data = Pattern(48, 1);
    Bytes out(50, 0xCC);

    // Single: the call activates and authenticates by itself.
    ASSERT_EQ(MifC_WriteSectorDataSingle(session, &kTransportA, data.data(), 48, 1), KESTREL_OK);
    EXPECT_EQ(Block(card, 5), Bytes(data.begin() + 16, data.begin() + 32));

    // Auth: the caller knows the serial.
    uint8_t serial[4];
    ASSERT_EQ(MifC_GetCard(session, serial), KESTREL_OK);
    EXPECT_EQ(Bytes(serial, serial + 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
    ASSERT_EQ(MifC_ReadSectorDataAuth(session, &kTransportA, serial, out.data() + 1, 48, 1),
              KESTREL_OK);
    EXPECT_EQ(Bytes(out.begin() + 1, out.end() - 1), data);
    EXPECT_EQ(out.front(), 0xCC);
    // Key B is readable under the transport access bits, so it cannot open the sector.
    EXPECT_EQ(MifC_AuthSector(session, &kTransportB, serial, 1), KESTREL_ERR_AUTH_NOT_ALLOWED);
    ASSERT_EQ(MifC_AuthSector(session, &kTransportA, serial, 1), KESTREL_OK);
    EXPECT_EQ(out.back(), 0xCC);

    // Plain: relies on the authentication just made.
    const Bytes other = Pattern(48, 99);
    ASSERT_EQ(MifC_WriteSectorData(session, other.data(), 48, 1), KESTREL_OK);
    ASSERT_EQ(MifC_ReadSectorData(session, out.data() + 1, 48, 1), KESTREL_OK);
    EXPECT_EQ(Bytes(out.begin() + 1, out.end() - 1), other);
    // ...and only within that sector: the card refuses another one.
    EXPECT_NE(MifC_ReadSectorData(session, out.data() + 1, 48, 2), KESTREL_OK);
}

TEST_P(MifareCardTest, SectorZeroKeepsTheManufacturerBlock) {
    auto* card = Add<sim::ClassicCard>("classic1k", {0x01, 0x02, 0x03, 0x04});
    const Bytes block0 = Block(card, 0);
    const Bytes data = Pattern(48, 5);
    ASSERT_EQ(MifC_WriteSectorDataSingle(session, &kTransportA, data.data(), 48, 0), KESTREL_OK);
    EXPECT_EQ(Block(card, 0), block0);
    EXPECT_EQ(Block(card, 1), Bytes(data.begin() + 16, data.begin() + 32));
    EXPECT_EQ(Block(card, 2), Bytes(data.begin() + 32, data.end()));
}

TEST_P(MifareCardTest, LargeSectorOfA4KCard) {
    auto* card = Add<sim::ClassicCard>("classic4k", {0x0A, 0x0B, 0x0C, 0x0D});
    // Raw image: 240 data bytes, then the trailer with new keys (transport access bits).
    Bytes image = Pattern(240, 3);
    image.insert(image.end(), kNewA.key, kNewA.key + 6);
    image.insert(image.end(), kTransportAccess, kTransportAccess + 4);
    image.insert(image.end(), kNewB.key, kNewB.key + 6);
    ASSERT_EQ(MifC_WriteSectorSingle2(session, 35, image.data(), 256, &kTransportA), KESTREL_OK);
    EXPECT_EQ(Block(card, 176), Bytes(image.begin(), image.begin() + 16));
    EXPECT_EQ(Block(card, 190), Bytes(image.begin() + 224, image.begin() + 240));

    Bytes out(240);
    EXPECT_EQ(MifC_ReadSectorDataSingle(session, &kTransportA, out.data(), 240, 35),
              KESTREL_ERR_AUTH_NOT_ALLOWED);
    ASSERT_EQ(MifC_ReadSectorDataSingle(session, &kNewA, out.data(), 240, 35), KESTREL_OK);
    EXPECT_EQ(out, Bytes(image.begin(), image.begin() + 240));

    // The byte form of the same sector: 240 data bytes, then the trailer as the card shows it
    // (key A reads as zeros).
    AppDataStruct bytes = {0, nullptr};
    ASSERT_EQ(ReadSectorBytes(session, &kNewA, 35, &bytes), KESTREL_OK);
    ASSERT_EQ(bytes.length, 256u);
    EXPECT_EQ(Bytes(bytes.data, bytes.data + 240), Bytes(image.begin(), image.begin() + 240));
    EXPECT_EQ(Bytes(bytes.data + 240, bytes.data + 246), Bytes(6, 0x00));
    EXPECT_EQ(FreeAppDataStruct(&bytes), KESTREL_OK);
    EXPECT_EQ(bytes.length, 0u);
    EXPECT_EQ(bytes.data, nullptr);
}

TEST_P(MifareCardTest, NewKeysReplaceTheOldOnes) {
    Add<sim::ClassicCard>("classic1k", {0x21, 0x22, 0x23, 0x24});
    ASSERT_EQ(MifC_AuthSectorSingle(session, &kTransportA, 3), KESTREL_OK);
    ASSERT_EQ(MifC_WriteSectorTrailer2(session, 3, kTransportAccess, &kNewA, &kNewB), KESTREL_OK);
    EXPECT_EQ(MifC_AuthSectorSingle(session, &kTransportA, 3), KESTREL_ERR_AUTH_NOT_ALLOWED);
    EXPECT_EQ(MifC_AuthSectorSingle(session, &kNewA, 3), KESTREL_OK);
    // With the transport access bits key B is readable and so cannot authenticate.
    EXPECT_EQ(MifC_AuthSectorSingle(session, &kNewB, 3), KESTREL_ERR_AUTH_NOT_ALLOWED);
    // Split trailer read: key A is never readable, key B is with these access bits.
    uint8_t access[4];
    MifareKey keyA;
    MifareKey keyB;
    ASSERT_EQ(MifC_GetSectorTrailerSingle2(session, &kNewA, 3, access, &keyA, &keyB), KESTREL_OK);
    EXPECT_EQ(Bytes(access, access + 4), Bytes(kTransportAccess, kTransportAccess + 4));
    EXPECT_EQ(keyA.type, KEY_TYPE_A);
    EXPECT_EQ(Bytes(keyA.key, keyA.key + 6), Bytes(6, 0x00));
    EXPECT_EQ(keyB.type, KEY_TYPE_B);
    EXPECT_EQ(Bytes(keyB.key, keyB.key + 6), Bytes(kNewB.key, kNewB.key + 6));
}

TEST_P(MifareCardTest, ValueSectorLifeCycle) {
    auto* card = Add<sim::ClassicCard>("classic1k", {0x31, 0x32, 0x33, 0x34});
    ASSERT_EQ(MifC_FormatValueSector(session, 2, &kNewA, &kNewB, &kTransportA), KESTREL_OK);
    // Only key B may write data blocks of a value sector.
    EXPECT_EQ(MifC_CreateValue(session, 100, 8, &kNewA), KESTREL_ERR_AUTH_NOT_ALLOWED);
    ASSERT_EQ(MifC_CreateValue(session, 100, 8, &kNewB), KESTREL_OK);
    EXPECT_EQ(Block(card, 8), (Bytes{0x64, 0, 0, 0, 0x9B, 0xFF, 0xFF, 0xFF, 0x64, 0, 0, 0, 0x08,
                                     0xF7, 0x08, 0xF7}));
    // Key A decrements; incrementing needs key B.
    EXPECT_EQ(MifC_ProcessValueSingle(session, &kNewA, VALUE_OP_DECREMENT, 8, 30), KESTREL_OK);
    EXPECT_EQ(MifC_ProcessValueSingle(session, &kNewA, VALUE_OP_INCREMENT, 8, 5),
              KESTREL_ERR_AUTH_NOT_ALLOWED);
    EXPECT_EQ(MifC_ProcessValueSingle(session, &kNewB, VALUE_OP_INCREMENT, 8, 5), KESTREL_OK);
    // The older functions: increment, decrement and the checked read.
    EXPECT_EQ(IncrementValue(session, 8, &kNewB, 1000), KESTREL_OK);
    EXPECT_EQ(DecrementValue(session, 8, &kNewA, 1), KESTREL_OK);
    int32_t value = 0;
    ASSERT_EQ(GetValue(session, 8, &kNewA, &value), KESTREL_OK);
    EXPECT_EQ(value, 100 - 30 + 5 + 1000 - 1);
    // A block not in value format is refused by the card and by the checked read.
    EXPECT_NE(MifC_ProcessValueSingle(session, &kNewB, VALUE_OP_INCREMENT, 9, 1), KESTREL_OK);
    sim::classic::Block broken = card->RawBlock(8);
    broken[9] ^= 0x01;  // the value's second copy
    card->SetRawBlock(8, broken);
    EXPECT_EQ(GetValue(session, 8, &kNewA, &value), KESTREL_ERR_VALUE_CORRUPTED);
    EXPECT_EQ(value, 1074);
    broken = card->RawBlock(8);
    broken[9] ^= 0x01;
    broken[13] ^= 0x01;  // an address byte
    card->SetRawBlock(8, broken);
    EXPECT_EQ(GetValue(session, 8, &kNewA, &value), KESTREL_ERR_VALUE_ADDRESS_CORRUPTED);
}

TEST_P(MifareCardTest, LegacyValueBlockAndTrailerFunctions) {
    Add<sim::ClassicCard>("classic1k", {0x41, 0x42, 0x43, 0x44});
    // New keys given in the order B, A: the type bytes decide which becomes key A.
    ASSERT_EQ(CreateValueBlock(session, 13, &kNewB, &kNewA, &kTransportA),
              KESTREL_ERR_AUTH_NOT_ALLOWED);  // the value image is written with key Y = key A
    // The value trailer lets only key B write the trailer: authKey must now be key B.
    EXPECT_EQ(CreateValueBlock(session, 14, &kNewA, &kNewB, &kNewA), KESTREL_ERR_AUTH_NOT_ALLOWED);
    ASSERT_EQ(CreateValueBlock(session, 14, &kNewA, &kNewB, &kNewB), KESTREL_OK);
    int32_t value = -1;
    ASSERT_EQ(GetValue(session, 14, &kNewA, &value), KESTREL_OK);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(WriteTrailerData(session, 3, kTransportAccess, &kNewA, &kNewA, &kNewA),
              KESTREL_ERR_INVALID_KEYS);
}

TEST_P(MifareCardTest, UltralightPagesLocksAndOtp) {
    const Bytes uid = {0x04, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56};
    auto* card = Add<sim::UltralightCard>("ultralight", uid);
    ASSERT_NE(card, nullptr);
    uint8_t read[7];
    ASSERT_EQ(MifU_GetCard(session, read), KESTREL_OK);
    EXPECT_EQ(Bytes(read, read + 7), uid);

    const uint8_t page[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(MifU_WritePage(session, 4, page), KESTREL_OK);
    uint32_t value = 0;
    ASSERT_EQ(MifU_ReadPage(session, 4, &value), KESTREL_OK);
    EXPECT_EQ(std::memcmp(&value, page, 4), 0);

    // Reading from page 14 wraps to pages 0 and 1.
    uint8_t sixteen[16];
    ASSERT_EQ(MifU_Read16Bytes(session, 14, sixteen), KESTREL_OK);
    EXPECT_EQ(Bytes(sixteen + 8, sixteen + 11), Bytes(uid.begin(), uid.begin() + 3));

    // OTP bits are only ever set.
    const uint8_t otp1[4] = {0x01, 0x00, 0x00, 0x00};
    const uint8_t otp2[4] = {0x02, 0x00, 0x00, 0x00};
    ASSERT_EQ(MifU_WritePage(session, 3, otp1), KESTREL_OK);
    ASSERT_EQ(MifU_WritePage(session, 3, otp2), KESTREL_OK);
    EXPECT_EQ(card->RawPage(3)[0], 0x03);

    // Lock page 4 (lock byte 0 bit 4): later writes to it are refused, page 5 stays writable.
    const uint8_t lock[4] = {0x00, 0x00, 0x10, 0x00};
    ASSERT_EQ(MifU_WritePage(session, 2, lock), KESTREL_OK);
    const uint8_t other[4] = {1, 2, 3, 4};
    EXPECT_NE(MifU_WritePage(session, 4, other), KESTREL_OK);
    EXPECT_EQ(MifU_WritePage(session, 5, other), KESTREL_OK);
    ASSERT_EQ(MifU_ReadPage(session, 4, &value), KESTREL_OK);
    EXPECT_EQ(std::memcmp(&value, page, 4), 0);

    // The compatibility write stores the first four of its sixteen bytes.
    const Bytes data16 = Pattern(16, 40);
    ASSERT_EQ(MifU_Write16Bytes(session, 6, data16.data()), KESTREL_OK);
    ASSERT_EQ(MifU_Read16Bytes(session, 6, sixteen), KESTREL_OK);
    EXPECT_EQ(Bytes(sixteen, sixteen + 4), Bytes(data16.begin(), data16.begin() + 4));
}

TEST_P(MifareCardTest, UltralightCheckRefusesAClassicCard) {
    Add<sim::ClassicCard>("classic1k", {0x61, 0x62, 0x63, 0x64});
    uint8_t uid[7] = {};
    EXPECT_EQ(MifU_GetCard(session, uid), -1);
    EXPECT_EQ(Bytes(uid, uid + 4), (Bytes{0x61, 0x62, 0x63, 0x64}));
}

INSTANTIATE_TEST_SUITE_P(Transports, MifareCardTest,
                         ::testing::Values(Transport::kInProcess, Transport::kUsb), TransportName);

}  // namespace
}  // namespace kestrel::test
