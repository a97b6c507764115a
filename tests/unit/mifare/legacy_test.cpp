// The older MIFARE Classic functions: their own activation (RF reset first), 4-block sector
// numbers and where they stop, descriptors, ordered trailer keys, byte blocks, value blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "unit/mifare/card_script.h"

namespace kestrel::test {
namespace {

using LegacyTest = CardTest;

Bytes KeyBytes(const MifareKey& key) {
    return Bytes(key.key, key.key + 6);
}

TEST_F(LegacyTest, SelectCardStoresEachOutputAsItArrives) {
    uint8_t serial[6] = {kGuard, 0, 0, 0, 0, kGuard};
    uint16_t atqa = 0;
    uint8_t sak = 0;
    ExpectLegacyActivation();
    EXPECT_EQ(SelectCard(session, serial + 1, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(Bytes(serial, serial + 6), Cat({{kGuard}, kSerial, {kGuard}}));
    EXPECT_EQ(atqa, 0x0004);
    EXPECT_EQ(sak, 0x08);
    CheckTraffic("success");

    // The select fails: ATQA and serial are already stored.
    uint8_t serial2[4] = {};
    atqa = 0;
    sak = kGuard;
    Expect(0x20, {0x19, 0x00});
    Expect(0x11, {0x52}, kStatusOk, {0x44, 0x00});
    Expect(0x12, {0, 0, 0, 0, 0}, kStatusOk, {9, 8, 7, 6});
    Expect(0x13, {9, 8, 7, 6}, kStatusNoCard);
    EXPECT_EQ(SelectCard(session, serial2, &atqa, &sak), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(Bytes(serial2, serial2 + 4), (Bytes{9, 8, 7, 6}));
    EXPECT_EQ(atqa, 0x0044);
    EXPECT_EQ(sak, kGuard);
    // The anticollision fails: the serial is not touched.
    Expect(0x20, {0x19, 0x00});
    Expect(0x11, {0x52}, kStatusOk, {0x44, 0x00});
    Expect(0x12, {0, 0, 0, 0, 0}, 0xE8, {1, 2});
    EXPECT_EQ(GetCardID(session, serial2), KESTREL_ERR_FRAME_COLLISION);
    EXPECT_EQ(Bytes(serial2, serial2 + 4), (Bytes{9, 8, 7, 6}));
    CheckTraffic("failures");
}

TEST_F(LegacyTest, SelectCardExUsesOneActivationCommand) {
    const Bytes answer = {0x44, 0x00, 0x00, 7, 0x04, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
    uint8_t uid[12];
    std::memset(uid, kGuard, sizeof uid);
    uint8_t length = 10;
    uint16_t atqa = 0;
    uint8_t sak = kGuard;
    Expect(0x20, {0x19, 0x00});
    Expect(0x43, {0x00}, kStatusOk, answer);
    EXPECT_EQ(SelectCardEx(session, uid + 1, &length, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(length, 7);
    EXPECT_EQ(Bytes(uid, uid + 9),
              Cat({{kGuard}, Bytes(answer.begin() + 4, answer.end()), {kGuard}}));
    EXPECT_EQ(atqa, 0x0044);
    EXPECT_EQ(sak, 0x00);
    length = 10;
    Expect(0x20, {0x19, 0x00});
    Expect(0x43, {0x00}, kStatusOk, answer);
    EXPECT_EQ(GetCardIDEx(session, uid + 1, &length), KESTREL_OK);
    Expect(0x20, {0x19, 0x00});
    Expect(0x43, {0x00}, kStatusNoCard);
    EXPECT_EQ(GetCardIDF(session), KESTREL_ERR_NO_CARD);
    CheckTraffic();
}

TEST_F(LegacyTest, BlockFunctionsActivateAndAuthenticateTheBlock) {
    Bytes out(18, kGuard);
    ExpectLegacyActivation();
    ExpectAuth(kKeyB, 201);
    ExpectRead(201, BlockData(201));
    EXPECT_EQ(ReadBlock(session, 201, &kKeyB, out.data() + 1), KESTREL_OK);
    EXPECT_EQ(out, Cat({{kGuard}, BlockData(201), {kGuard}}));
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 0);
    ExpectWrite(0, BlockData(0));
    EXPECT_EQ(WriteBlock(session, 0, &kTransportKey, BlockData(0).data()), KESTREL_OK);
    CheckTraffic();
}

TEST_F(LegacyTest, FourBlockSectors) {
    Bytes out(66, kGuard);
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 8);
    ExpectReads(8, 4);
    EXPECT_EQ(ReadSector(session, &kTransportKey, 2, out.data() + 1), KESTREL_OK);
    EXPECT_EQ(out, Cat({{kGuard}, Blocks(8, 4), {kGuard}}));
    CheckTraffic("read");

    // Sector 0: blocks 1, 2 and 3; block 0 is skipped.
    const Bytes image = Blocks(0, 4);
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 0);
    ExpectWrites(1, 3);
    EXPECT_EQ(WriteSector(session, 0, &kTransportKey, image.data()), KESTREL_OK);
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 124);
    ExpectWrites(124, 3);
    EXPECT_EQ(WriteSectorData(session, &kTransportKey, 31, Blocks(124, 3).data()), KESTREL_OK);
    CheckTraffic("write");
}

// 4-block sector numbers stop at 31: a 16-block sector does not fit the fixed buffers, and
// nothing is sent for it.
TEST_F(LegacyTest, FourBlockFunctionsRefuseLargerSectors) {
    Bytes buffer(256, 0);
    for (int sector : {32, 35, 39, 40, 63, 255}) {
        const uint8_t s = static_cast<uint8_t>(sector);
        EXPECT_EQ(ReadSector(session, &kTransportKey, s, buffer.data()),
                  KESTREL_ERR_WRONG_PARAMETER)
            << sector;
        EXPECT_EQ(WriteSector(session, s, &kTransportKey, buffer.data()),
                  KESTREL_ERR_WRONG_PARAMETER)
            << sector;
        EXPECT_EQ(WriteSectorData(session, &kTransportKey, s, buffer.data()),
                  KESTREL_ERR_WRONG_PARAMETER)
            << sector;
    }
    EXPECT_EQ(buffer, Bytes(256, 0));
    CheckTraffic();
    // The session comes first.
    EXPECT_EQ(ReadSector(nullptr, &kTransportKey, 32, buffer.data()), KESTREL_ERR_NO_SESSION);
}

TEST_F(LegacyTest, DescriptorForms) {
    Bytes data(15 * 16 + 2, kGuard);
    Bytes trailer(18, kGuard);
    SectorExStruct sector = {16, 128, data.data() + 1, trailer.data() + 1};
    ExpectLegacyActivation();
    ExpectAuth(kKeyB, 128);
    ExpectReads(128, 15);
    ExpectAuth(kKeyB, 143);
    ExpectRead(143, BlockData(143));
    EXPECT_EQ(ReadSectorEx(session, &kKeyB, &sector), KESTREL_OK);
    EXPECT_EQ(data, Cat({{kGuard}, Blocks(128, 15), {kGuard}}));
    EXPECT_EQ(trailer, Cat({{kGuard}, BlockData(143), {kGuard}}));
    CheckTraffic("ReadSectorEx");

    // Block numbers wrap at 256: the trailer of this descriptor is block 0.
    Bytes wrapping = Blocks(254, 2);
    Bytes wrapTrailer = BlockData(0);
    SectorExStruct wrap = {3, 254, wrapping.data(), wrapTrailer.data()};
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 254);
    ExpectWrites(254, 2);
    ExpectAuth(kTransportKey, 0);
    ExpectWrite(0, BlockData(0));
    EXPECT_EQ(WriteSectorEx(session, &kTransportKey, &wrap), KESTREL_OK);
    // Block 0 is never written as data.
    Bytes small = Blocks(0, 3);
    SectorExStruct zero = {4, 0, small.data(), nullptr};
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 0);
    ExpectWrites(1, 2);
    EXPECT_EQ(WriteSectorDataEx(session, &kTransportKey, &zero), KESTREL_OK);
    CheckTraffic("writes");

    // The SN form and ReadSectorData take the caller's serial and activate nothing.
    const uint8_t serial[4] = {9, 8, 7, 6};
    Bytes four = Blocks(4, 3);
    SectorExStruct one = {4, 4, four.data(), nullptr};
    ExpectAuth(kTransportKey, 4, {9, 8, 7, 6});
    ExpectWrites(4, 3);
    EXPECT_EQ(WriteSectorDataExSN(session, &kTransportKey, &one, serial), KESTREL_OK);
    ExpectAuth(kTransportKey, 4, {9, 8, 7, 6});
    ExpectReads(4, 3);
    EXPECT_EQ(ReadSectorData(session, &kTransportKey, &one, serial), KESTREL_OK);
    CheckTraffic("serial forms");
}

TEST_F(LegacyTest, BadDescriptorsSendNothing) {
    uint8_t bytes[256] = {};
    const uint8_t serial[4] = {};
    SectorExStruct noData = {4, 4, nullptr, bytes};
    SectorExStruct noTrailer = {4, 4, bytes, nullptr};
    SectorExStruct noBlocks = {0, 4, bytes, bytes};
    SectorExStruct good = {4, 4, bytes, bytes};
    EXPECT_EQ(ReadSectorEx(session, &kTransportKey, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(ReadSectorEx(session, &kTransportKey, &noData), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(ReadSectorEx(session, &kTransportKey, &noTrailer), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(WriteSectorEx(session, &kTransportKey, &noBlocks), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(WriteSectorEx(session, nullptr, &good), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(WriteSectorDataExSN(session, &kTransportKey, &good, nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(ReadSectorData(session, &kTransportKey, &noData, serial),
              KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic();
    // The trailer is not needed where it is not transferred.
    ExpectAuth(kTransportKey, 4, {0, 0, 0, 0});
    ExpectReads(4, 3);
    EXPECT_EQ(ReadSectorData(session, &kTransportKey, &noTrailer, serial), KESTREL_OK);
    CheckTraffic("no trailer needed");
}

TEST_F(LegacyTest, OrderedTrailerKeys) {
    const uint8_t access[4] = {0x08, 0x77, 0x8F, 0x00};
    const MifareKey typeB = {KEY_TYPE_B, {1, 2, 3, 4, 5, 6}};
    const MifareKey typeA = {KEY_TYPE_A, {7, 8, 9, 10, 11, 12}};
    const Bytes trailer = Cat({KeyBytes(typeA), {0x08, 0x77, 0x8F, 0x00}, KeyBytes(typeB)});
    // keyX of type B, keyY of type A: keyY becomes key A.
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 7);
    ExpectWrite(7, trailer);
    EXPECT_EQ(WriteTrailerDataDirect(session, 7, access, &kTransportKey, &typeB, &typeA),
              KESTREL_OK);
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 7);
    ExpectWrite(7, trailer);
    EXPECT_EQ(WriteTrailerDataDirect(session, 7, access, &kTransportKey, &typeA, &typeB),
              KESTREL_OK);
    CheckTraffic("ordered");
    // Equal types: refused before the RF reset.
    EXPECT_EQ(WriteTrailerDataDirect(session, 7, access, &kTransportKey, &typeA, &typeA),
              KESTREL_ERR_INVALID_KEYS);
    EXPECT_EQ(WriteTrailerData(session, 1, access, &kTransportKey, &typeB, &typeB),
              KESTREL_ERR_INVALID_KEYS);
    EXPECT_EQ(WriteTrailerDataEx(session, 1, access, &kTransportKey, &kKeyB, &typeB),
              KESTREL_ERR_INVALID_KEYS);
    CheckTraffic("equal types");
    // A refused authentication writes nothing.
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 7, kSerial, kStatusAuthFailed);
    EXPECT_EQ(WriteTrailerDataDirect(session, 7, access, &kTransportKey, &typeA, &typeB),
              KESTREL_ERR_AUTH_NOT_ALLOWED);
    CheckTraffic("refused");
}

// WriteTrailerData maps sectors 32-39 to their 16-block trailers, as WriteTrailerDataEx does;
// other sector numbers are refused before the session is looked at.
TEST_F(LegacyTest, TrailerBySectorNumber) {
    const uint8_t access[4] = {0xFF, 0x07, 0x80, 0x69};
    const Bytes trailer = Cat({KeyBytes(kTransportKey), {0xFF, 0x07, 0x80, 0x69}, KeyBytes(kKeyB)});
    const struct {
        int sector;
        int trailerBlock;  // -1: refused
    } cases[] = {{0, 3}, {2, 11}, {31, 127}, {32, 143}, {33, 159}, {39, 255}, {40, -1}, {255, -1}};
    using Writer = std::function<int32_t(KestrelSession*, int)>;
    const Writer writers[] = {
        [&](KestrelSession* s, int sector) {
            return WriteTrailerData(s, static_cast<uint8_t>(sector), access, &kTransportKey,
                                    &kTransportKey, &kKeyB);
        },
        [&](KestrelSession* s, int sector) {
            return WriteTrailerDataEx(s, static_cast<uint16_t>(sector), access, &kTransportKey,
                                      &kTransportKey, &kKeyB);
        },
    };
    for (const Writer& write : writers) {
        for (const auto& c : cases) {
            if (c.trailerBlock < 0) {
                EXPECT_EQ(write(nullptr, c.sector), KESTREL_ERR_WRONG_PARAMETER) << c.sector;
                EXPECT_EQ(write(session, c.sector), KESTREL_ERR_WRONG_PARAMETER) << c.sector;
                continue;
            }
            const uint8_t block = static_cast<uint8_t>(c.trailerBlock);
            ExpectLegacyActivation();
            ExpectAuth(kTransportKey, block);
            ExpectWrite(block, trailer);
            EXPECT_EQ(write(session, c.sector), KESTREL_OK) << c.sector;
        }
        CheckTraffic();
    }
    // The Ex form reads a 16-bit sector number: 256 + 2 is not sector 2.
    EXPECT_EQ(WriteTrailerDataEx(nullptr, 258, access, &kTransportKey, &kTransportKey, &kKeyB),
              KESTREL_ERR_WRONG_PARAMETER);
}

TEST_F(LegacyTest, TrailerWithTheCallersSerial) {
    const uint8_t serial[4] = {9, 8, 7, 6};
    const Bytes raw = BlockData(77);
    // No activation, no key-type check, the bytes unchanged.
    ExpectAuth(kKeyB, 15, {9, 8, 7, 6});
    ExpectWrite(15, raw);
    EXPECT_EQ(WriteTrailerDataDirectSN(session, 15, &kKeyB, raw.data(), serial), KESTREL_OK);
    CheckTraffic();
    EXPECT_EQ(WriteTrailerDataDirectSN(session, 15, &kKeyB, raw.data(), nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(WriteTrailerDataDirectSN(session, 15, &kKeyB, nullptr, serial),
              KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("nulls");
}

TEST_F(LegacyTest, ReadSectorBytes) {
    AppDataStruct out = {0, nullptr};
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 240);
    ExpectReads(240, 15);
    ExpectAuth(kTransportKey, 255);
    ExpectRead(255, BlockData(255));
    EXPECT_EQ(ReadSectorBytes(session, &kTransportKey, 39, &out), KESTREL_OK);
    ASSERT_EQ(out.length, 256u);
    EXPECT_EQ(Bytes(out.data, out.data + 256), Blocks(240, 16));
    EXPECT_EQ(FreeAppDataStruct(&out), KESTREL_OK);
    EXPECT_EQ(out.length, 0u);
    EXPECT_EQ(out.data, nullptr);

    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 8);
    ExpectReads(8, 4);
    EXPECT_EQ(ReadSectorBytes(session, &kTransportKey, 2, &out), KESTREL_OK);
    ASSERT_EQ(out.length, 64u);
    EXPECT_EQ(Bytes(out.data, out.data + 64), Blocks(8, 4));
    EXPECT_EQ(FreeAppDataStruct(&out), KESTREL_OK);
    CheckTraffic("success");

    // A failure leaves the structure as it was.
    uint8_t mine[4] = {};
    out = {4, mine};
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 8, kSerial, kStatusAuthFailed);
    EXPECT_EQ(ReadSectorBytes(session, &kTransportKey, 2, &out), KESTREL_ERR_AUTH_NOT_ALLOWED);
    EXPECT_EQ(out.length, 4u);
    EXPECT_EQ(out.data, mine);
    CheckTraffic("failure");
    // Bad sectors are refused before the session.
    for (uint16_t sector : {40, 255, 256 + 2, 0xFFFF}) {
        EXPECT_EQ(ReadSectorBytes(nullptr, &kTransportKey, sector, &out),
                  KESTREL_ERR_WRONG_PARAMETER);
    }
    EXPECT_EQ(ReadSectorBytes(nullptr, &kTransportKey, 2, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(ReadSectorBytes(nullptr, &kTransportKey, 2, &out), KESTREL_ERR_NO_SESSION);
}

TEST_F(LegacyTest, WriteSectorBytes) {
    Bytes large = Blocks(160, 16);
    AppDataStruct in = {256, large.data()};
    ExpectLegacyActivation();
    ExpectAuth(kKeyB, 160);
    ExpectWrites(160, 15);
    ExpectAuth(kKeyB, 175);
    ExpectWrite(175, BlockData(175));
    EXPECT_EQ(WriteSectorBytes(session, 34, &kKeyB, &in), KESTREL_OK);
    Bytes small = Blocks(20, 4);
    in = {64, small.data()};
    ExpectLegacyActivation();
    ExpectAuth(kKeyB, 20);
    ExpectWrites(20, 4);
    EXPECT_EQ(WriteSectorBytes(session, 5, &kKeyB, &in), KESTREL_OK);
    CheckTraffic("success");

    const struct {
        uint16_t sector;
        uint32_t length;
    } refused[] = {{5, 48}, {5, 256}, {34, 240}, {34, 64}, {40, 256}, {256 + 5, 64}};
    for (const auto& c : refused) {
        in = {c.length, large.data()};
        EXPECT_EQ(WriteSectorBytes(nullptr, c.sector, &kKeyB, &in), KESTREL_ERR_WRONG_PARAMETER)
            << c.sector << " " << c.length;
    }
    in = {64, nullptr};
    EXPECT_EQ(WriteSectorBytes(nullptr, 5, &kKeyB, &in), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(WriteSectorBytes(nullptr, 5, &kKeyB, nullptr), KESTREL_ERR_WRONG_PARAMETER);
}

TEST_F(LegacyTest, WriteSectorDataBytes) {
    Bytes large = Blocks(144, 16);
    AppDataStruct in = {240, large.data()};
    EXPECT_EQ(WriteSectorDataBytes(nullptr, &kTransportKey, 33, &in), KESTREL_ERR_WRONG_PARAMETER);
    in.length = 256;
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 144);
    ExpectWrites(144, 15);
    EXPECT_EQ(WriteSectorDataBytes(session, &kTransportKey, 33, &in), KESTREL_OK);
    Bytes small = Blocks(0, 3);
    in = {48, small.data()};
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 0);
    ExpectWrites(1, 2);
    EXPECT_EQ(WriteSectorDataBytes(session, &kTransportKey, 0, &in), KESTREL_OK);
    CheckTraffic();
    in.length = 64;
    EXPECT_EQ(WriteSectorDataBytes(nullptr, &kTransportKey, 0, &in), KESTREL_ERR_WRONG_PARAMETER);
}

TEST_F(LegacyTest, ReadSectorDataBytesByLength) {
    const Bytes activation = {0x04, 0x00, 0x08, 4, 0x11, 0x22, 0x33, 0x44};
    auto script = [&](int status = kStatusOk) {
        Expect(0x20, {0x19, 0x00});
        Expect(0x43, {0x00}, kStatusOk, activation);
        ExpectAuth(kTransportKey, 8);
        ExpectRead(8, BlockData(8));
        ExpectRead(9, BlockData(9));
        ExpectRead(10, BlockData(10), static_cast<uint8_t>(status));
    };
    // Length 0: the library allocates the data size.
    AppDataStruct data = {0, nullptr};
    script();
    EXPECT_EQ(ReadSectorDataBytes(session, &kTransportKey, 2, &data), KESTREL_OK);
    ASSERT_EQ(data.length, 48u);
    EXPECT_EQ(Bytes(data.data, data.data + 48), Blocks(8, 3));
    EXPECT_EQ(FreeAppDataStruct(&data), KESTREL_OK);
    // Length 47: too small, found after reading the card; nothing copied.
    Bytes mine(66, kGuard);
    data = {47, mine.data() + 1};
    script();
    EXPECT_EQ(ReadSectorDataBytes(session, &kTransportKey, 2, &data),
              KESTREL_ERR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(mine, Bytes(66, kGuard));
    // Length 64: the 48 bytes copied, the length left as it was.
    data = {64, mine.data() + 1};
    script();
    EXPECT_EQ(ReadSectorDataBytes(session, &kTransportKey, 2, &data), KESTREL_OK);
    EXPECT_EQ(data.length, 64u);
    EXPECT_EQ(mine, Cat({{kGuard}, Blocks(8, 3), Bytes(17, kGuard)}));
    CheckTraffic("lengths");

    // The sector is checked after the activation.
    data = {0, nullptr};
    Expect(0x20, {0x19, 0x00});
    Expect(0x43, {0x00}, kStatusOk, activation);
    EXPECT_EQ(ReadSectorDataBytes(session, &kTransportKey, 40, &data), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(ReadSectorDataBytes(nullptr, &kTransportKey, 40, &data), KESTREL_ERR_NO_SESSION);
    // A failed read hands nothing over.
    script(kStatusNoCard);
    EXPECT_EQ(ReadSectorDataBytes(session, &kTransportKey, 2, &data), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(data.length, 0u);
    EXPECT_EQ(data.data, nullptr);
    CheckTraffic("sector and failure");
    data = {16, nullptr};
    EXPECT_EQ(ReadSectorDataBytes(nullptr, &kTransportKey, 2, &data), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(ReadSectorDataBytes(nullptr, &kTransportKey, 2, nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
}

TEST(AppData, FreeReleasesOnlyWhatHasALength) {
    // A block the library did not allocate, with length 0: nothing is released (the address
    // sanitizer would object), both fields are zeroed.
    uint8_t local[4];
    AppDataStruct data = {0, local};
    EXPECT_EQ(FreeAppDataStruct(&data), KESTREL_OK);
    EXPECT_EQ(data.length, 0u);
    EXPECT_EQ(data.data, nullptr);
    data = {16, nullptr};
    EXPECT_EQ(FreeAppDataStruct(&data), KESTREL_OK);
    EXPECT_EQ(data.length, 0u);
    EXPECT_EQ(FreeAppDataStruct(nullptr), KESTREL_ERR_WRONG_PARAMETER);
}

// Value blocks.

TEST_F(LegacyTest, CreateValueBlock) {
    const Bytes trailer = Cat({KeyBytes(kZeroKey), {0x08, 0x77, 0x8F, 0x00}, KeyBytes(kKeyB)});
    const Bytes zero9 = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 9, 0xF6, 9, 0xF6};
    // Block 9: the trailer of sector 2 (block 11), then block 9 with the new key B and the
    // serial of the first activation.
    ExpectLegacyActivation({5, 6, 7, 8});
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 11);
    ExpectWrite(11, trailer);
    ExpectAuth(kKeyB, 9, {5, 6, 7, 8});
    ExpectWrite(9, zero9);
    EXPECT_EQ(CreateValueBlock(session, 9, &kZeroKey, &kKeyB, &kTransportKey), KESTREL_OK);
    CheckTraffic("block 9");

    // Keys in the other order: the type bytes decide; the block is authenticated with newKeyY.
    ExpectLegacyActivation();
    ExpectLegacyActivation();
    ExpectAuth(kTransportKey, 11);
    ExpectWrite(11, trailer);
    ExpectAuth(kZeroKey, 9, kSerial, kStatusAuthFailed);
    EXPECT_EQ(CreateValueBlock(session, 9, &kKeyB, &kZeroKey, &kTransportKey),
              KESTREL_ERR_AUTH_NOT_ALLOWED);
    CheckTraffic("reversed keys");
}

// From block 128 on the sector has 16 blocks: its trailer is the last of them, never a data
// block that 4-block arithmetic would name.
TEST_F(LegacyTest, CreateValueBlockMapsSixteenBlockSectors) {
    const Bytes trailer = Cat({KeyBytes(kZeroKey), {0x08, 0x77, 0x8F, 0x00}, KeyBytes(kKeyB)});
    const struct {
        uint8_t block;
        uint8_t trailer;
    } cases[] = {{0, 3}, {126, 127}, {128, 143}, {131, 143}, {200, 207}, {254, 255}};
    for (const auto& c : cases) {
        ExpectLegacyActivation();
        ExpectLegacyActivation();
        ExpectAuth(kTransportKey, c.trailer);
        ExpectWrite(c.trailer, trailer);
        ExpectAuth(kKeyB, c.block);
        const uint8_t b = c.block, nb = static_cast<uint8_t>(~c.block);
        ExpectWrite(c.block, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, b, nb, b, nb});
        EXPECT_EQ(CreateValueBlock(session, c.block, &kZeroKey, &kKeyB, &kTransportKey), KESTREL_OK)
            << int(c.block);
        CheckTraffic();
    }
}

TEST_F(LegacyTest, CreateValueBlockRefusals) {
    // A trailer block would lose its keys to the value image: refused without traffic.
    for (int block : {3, 7, 127, 143, 159, 255}) {
        EXPECT_EQ(CreateValueBlock(session, static_cast<uint8_t>(block), &kZeroKey, &kKeyB,
                                   &kTransportKey),
                  KESTREL_ERR_WRONG_PARAMETER)
            << block;
    }
    EXPECT_EQ(CreateValueBlock(session, 9, nullptr, &kKeyB, &kTransportKey),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(CreateValueBlock(session, 9, &kZeroKey, &kKeyB, nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("refused");
    // Keys of one type: found by the trailer write, after the first activation only.
    ExpectLegacyActivation();
    EXPECT_EQ(CreateValueBlock(session, 9, &kZeroKey, &kTransportKey, &kTransportKey),
              KESTREL_ERR_INVALID_KEYS);
    CheckTraffic("equal types");
}

TEST_F(LegacyTest, IncrementAndDecrementAddressTheBlockGiven) {
    const struct {
        const char* name;
        std::function<int32_t()> call;
        uint8_t operation, block;
        Bytes value;
    } cases[] = {
        {"increment 9",
         [&] { return IncrementValue(session, 9, &kKeyB, 10); },
         0xC1,
         9,
         {0x0A, 0, 0, 0}},
        {"decrement 254",
         [&] { return DecrementValue(session, 254, &kKeyB, -2); },
         0xC0,
         254,
         {0xFE, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        ExpectLegacyActivation();
        ExpectAuth(kKeyB, c.block);
        Expect(0x1B, Cat({{c.operation, c.block}, c.value, {c.block}}));
        EXPECT_EQ(c.call(), KESTREL_OK) << c.name;
        CheckTraffic(c.name);
    }
    EXPECT_EQ(IncrementValue(session, 9, nullptr, 1), KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("null key");
}

struct GetValueCase {
    const char* name;
    uint8_t block;
    Bytes data;
    uint8_t status;
    Result expected;
};

TEST_F(LegacyTest, GetValueChecksInOrderAndWritesOnlyOnSuccess) {
    const Bytes one5 = {0x01, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF,
                        0x01, 0, 0, 0, 0x05, 0xFA, 0x05, 0xFA};
    auto with = [&](int index, uint8_t value) {
        Bytes b = one5;
        b[index] = value;
        return b;
    };
    const GetValueCase cases[] = {
        {"good", 5, one5, kStatusOk, KESTREL_OK},
        {"byte 15", 5, with(15, 0x00), kStatusOk, KESTREL_ERR_VALUE_ADDRESS_CORRUPTED},
        {"read refused", 5, {}, kStatusAuthFailed, KESTREL_ERR_AUTH_NOT_ALLOWED},
    };
    for (const auto& c : cases) {
        ExpectLegacyActivation();
        ExpectAuth(kKeyB, c.block);
        ExpectRead(c.block, c.data, c.status);
        int32_t value = 0x5A5A5A5A;
        EXPECT_EQ(GetValue(session, c.block, &kKeyB, &value), c.expected) << c.name;
        EXPECT_EQ(value, c.expected == KESTREL_OK ? 1 : 0x5A5A5A5A) << c.name;
        CheckTraffic(c.name);
    }
    EXPECT_EQ(GetValue(session, 5, &kKeyB, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("null output");
}

// Every export takes its reader through one guard; one of each way in: direct, through
// another export, and after an argument check of its own.
TEST(LegacyExports, SessionChecks) {
    static uint8_t buffer[256];
    static const uint8_t access[4] = {};
    static MifareKey key = kTransportKey;
    static MifareKey keyB = kKeyB;
    static AppDataStruct app = {64, buffer};
    static AppDataStruct empty = {0, nullptr};
    ExpectSessionChecks({
        {"SelectCard", [](KestrelSession* s) { return SelectCard(s, buffer, nullptr, nullptr); }},
        {"GetCardIDF", [](KestrelSession* s) { return GetCardIDF(s); }},
        {"ReadBlock", [](KestrelSession* s) { return ReadBlock(s, 4, &key, buffer); }},
        {"WriteTrailerData",
         [](KestrelSession* s) { return WriteTrailerData(s, 1, access, &key, &key, &keyB); }},
        {"WriteSectorBytes", [](KestrelSession* s) { return WriteSectorBytes(s, 1, &key, &app); }},
        {"ReadSectorDataBytes",
         [](KestrelSession* s) { return ReadSectorDataBytes(s, &key, 1, &empty); }},
    });
}

}  // namespace
}  // namespace kestrel::test
