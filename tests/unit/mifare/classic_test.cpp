// MIFARE Classic card functions of the MifC_ family, the reader primitives' exports and
// value blocks: exact reader traffic for each calling style, and the order of the checks.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "mifare/value.h"
#include "unit/mifare/card_script.h"

namespace kestrel::test {
namespace {

using ClassicTest = CardTest;

TEST_F(ClassicTest, AuthKeyCmdSendsTheNineteenParameterBytes) {
    const uint8_t serial[4] = {0x11, 0x22, 0x33, 0x44};
    Expect(0x18, Cat({{0x60, 0x11, 0x22, 0x33, 0x44}, Bytes(12, 0x0F), {0x04}}));
    EXPECT_EQ(AUTH_KEY_CMD(session, 4, serial, &kTransportKey), KESTREL_OK);
    // Key B: the type byte goes to the reader as it stands.
    Expect(0x18, Cat({{0x61, 0x11, 0x22, 0x33, 0x44}, kKeyBCoded, {0x07}}), kStatusAuthFailed);
    EXPECT_EQ(AUTH_KEY_CMD(session, 7, serial, &kKeyB), KESTREL_ERR_AUTH_NOT_ALLOWED);
    const MifareKey other = {0x42, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
    Expect(0x18, Cat({{0x42, 0x11, 0x22, 0x33, 0x44}, Bytes(12, 0x0F), {0x07}}));
    EXPECT_EQ(MifC_AuthBlock(session, &other, serial, 7), KESTREL_OK);
    CheckTraffic();
}

// READ_CMD and MifC_ReadBlock are one function; so are WRITE_CMD and MifC_WriteBlock.
TEST_F(ClassicTest, BlockPrimitivesUnderBothNames) {
    using ReadFn = int32_t(KESTREL_CALL*)(KestrelSession*, uint8_t, uint8_t*);
    using WriteFn = int32_t(KESTREL_CALL*)(KestrelSession*, uint8_t, const uint8_t*);
    for (ReadFn read : {&READ_CMD, &MifC_ReadBlock}) {
        Bytes out(18, kGuard);
        ExpectRead(0, BlockData(0));
        EXPECT_EQ(read(session, 0, out.data() + 1), KESTREL_OK);
        EXPECT_EQ(out, Cat({{kGuard}, BlockData(0), {kGuard}}));
    }
    for (WriteFn write : {&WRITE_CMD, &MifC_WriteBlock, &MifC_WriteTrailerDirect2}) {
        ExpectWrite(9, BlockData(9), kStatusNoCard);
        EXPECT_EQ(write(session, 9, BlockData(9).data()), KESTREL_ERR_NO_CARD);
    }
    CheckTraffic();
}

TEST_F(ClassicTest, GetCardSendsTheCallersSerialAndStoresTheCards) {
    uint8_t serial[6] = {kGuard, 0xAA, 0, 0, 0, kGuard};
    ExpectWakeUp({1, 2, 3, 4}, {0xAA, 0, 0, 0});
    EXPECT_EQ(MifC_GetCard(session, serial + 1), KESTREL_OK);
    EXPECT_EQ(Bytes(serial, serial + 6), (Bytes{kGuard, 1, 2, 3, 4, kGuard}));
    CheckTraffic();
}

// One operation in its three styles: the plain form transfers only, Auth authenticates
// with the caller's serial first, Single activates the card to learn it.
TEST_F(ClassicTest, SectorDataInThreeStyles) {
    const uint8_t serial[4] = {0x11, 0x22, 0x33, 0x44};
    const Bytes data = Blocks(144, 15);
    const struct {
        const char* name;
        std::function<void(uint8_t)> script;  // before the transfers of the sector at a block
        std::function<int32_t(uint8_t*)> read;
        std::function<int32_t()> write;
    } styles[] = {
        {"plain", [](uint8_t) {},
         [&](uint8_t* b) { return MifC_ReadSectorData(session, b, 48, 3); },
         [&] { return MifC_WriteSectorData(session, data.data(), 240, 33); }},
        {"Auth", [&](uint8_t first) { ExpectAuth(kTransportKey, first); },
         [&](uint8_t* b) {
             return MifC_ReadSectorDataAuth(session, &kTransportKey, serial, b, 48, 3);
         },
         [&] {
             return MifC_WriteSectorDataAuth(session, &kTransportKey, serial, data.data(), 240, 33);
         }},
        {"Single",
         [&](uint8_t first) {
             ExpectWakeUp();
             ExpectAuth(kKeyB, first);
         },
         [&](uint8_t* b) { return MifC_ReadSectorDataSingle(session, &kKeyB, b, 48, 3); },
         [&] { return MifC_WriteSectorDataSingle(session, &kKeyB, data.data(), 240, 33); }},
    };
    for (const auto& style : styles) {
        style.script(12);
        ExpectReads(12, 3);
        Bytes buffer(50, kGuard);
        EXPECT_EQ(style.read(buffer.data() + 1), KESTREL_OK) << style.name;
        EXPECT_EQ(buffer, Cat({{kGuard}, Blocks(12, 3), {kGuard}})) << style.name;
        style.script(144);
        ExpectWrites(144, 15);
        EXPECT_EQ(style.write(), KESTREL_OK) << style.name;
        CheckTraffic(style.name);
    }
}

// Writes leave the manufacturer block alone: sector 0 gets blocks 1 and 2 only. A failure ends
// the transfers.
TEST_F(ClassicTest, SectorDataSkipsBlockZeroAndStopsAtTheFirstFailure) {
    const Bytes zero = Blocks(0, 3);
    ExpectWrites(1, 2);
    EXPECT_EQ(MifC_WriteSectorData(session, zero.data(), 48, 0), KESTREL_OK);
    const Bytes data = Blocks(8, 3);
    ExpectWrite(8, BlockData(8));
    ExpectWrite(9, BlockData(9), kStatusAuthFailed);
    EXPECT_EQ(MifC_WriteSectorData(session, data.data(), 48, 2), KESTREL_ERR_AUTH_NOT_ALLOWED);
    Bytes buffer(50, kGuard);
    ExpectRead(8, BlockData(8));
    ExpectRead(9, {}, kStatusNoCard);
    EXPECT_EQ(MifC_ReadSectorData(session, buffer.data() + 1, 48, 2), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(Bytes(buffer.begin() + 1, buffer.begin() + 17), BlockData(8));
    EXPECT_EQ(Bytes(buffer.begin() + 17, buffer.end()), Bytes(33, kGuard));
    CheckTraffic();
}

// Only the low 8 bits of the size take part.
TEST_F(ClassicTest, SizeChecks) {
    Bytes buffer(304, 0);
    const struct {
        uint32_t size;
        uint8_t sector;
        Result expected;
    } cases[] = {
        {64, 3, KESTREL_ERR_BUFFER_SIZE},   {47, 3, KESTREL_ERR_BUFFER_SIZE},
        {240, 3, KESTREL_ERR_BUFFER_SIZE},  {48, 32, KESTREL_ERR_BUFFER_SIZE},
        {256, 32, KESTREL_ERR_BUFFER_SIZE}, {48 + 256, 3, KESTREL_OK},
    };
    for (const auto& c : cases) {
        if (c.expected == KESTREL_OK) {
            ExpectReads(12, 3);
        }
        EXPECT_EQ(MifC_ReadSectorData(session, buffer.data(), c.size, c.sector), c.expected)
            << c.size;
        CheckTraffic();
    }
}

// Plain: session, sector, size, before any traffic. Auth: sector before the session, the
// size after the authentication. Single: session, activation, sector, authentication, size.
TEST_F(ClassicTest, OrderOfChecks) {
    const uint8_t serial[4] = {0x11, 0x22, 0x33, 0x44};
    uint8_t buffer[240];
    EXPECT_EQ(MifC_ReadSectorData(nullptr, buffer, 48, 40), KESTREL_ERR_NO_SESSION);
    EXPECT_EQ(MifC_ReadSectorData(session, buffer, 48, 40), KESTREL_ERR_INVALID_SECTOR);
    EXPECT_EQ(MifC_ReadSectorData(session, buffer, 64, 3), KESTREL_ERR_BUFFER_SIZE);
    CheckTraffic("plain");

    EXPECT_EQ(MifC_AuthSector(nullptr, &kTransportKey, serial, 40), KESTREL_ERR_INVALID_SECTOR);
    EXPECT_EQ(MifC_AuthSector(nullptr, &kTransportKey, serial, 39), KESTREL_ERR_NO_SESSION);
    EXPECT_EQ(MifC_ReadSectorDataAuth(nullptr, &kTransportKey, serial, buffer, 48, 40),
              KESTREL_ERR_INVALID_SECTOR);
    EXPECT_EQ(MifC_GetSectorTrailerAuth(nullptr, &kTransportKey, serial, 255, buffer),
              KESTREL_ERR_INVALID_SECTOR);
    EXPECT_EQ(MifC_WriteSectorTrailerAuth2(nullptr, 40, &kTransportKey, serial, buffer),
              KESTREL_ERR_INVALID_SECTOR);
    EXPECT_EQ(ReadBlocksFromSector(nullptr, &kTransportKey, serial, 40, 0, 1, buffer),
              KESTREL_ERR_INVALID_SECTOR);
    // A null key is found after the session, before any traffic.
    EXPECT_EQ(MifC_ReadSectorDataAuth(session, nullptr, serial, buffer, 48, 3),
              KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("Auth, no traffic");
    ExpectAuth(kTransportKey, 12);
    EXPECT_EQ(MifC_ReadSectorDataAuth(session, &kTransportKey, serial, buffer, 64, 3),
              KESTREL_ERR_BUFFER_SIZE);
    CheckTraffic("Auth, size");

    EXPECT_EQ(MifC_AuthSectorSingle(nullptr, &kTransportKey, 40), KESTREL_ERR_NO_SESSION);
    EXPECT_EQ(MifC_ReadSectorDataSingle(nullptr, &kTransportKey, buffer, 48, 40),
              KESTREL_ERR_NO_SESSION);
    CheckTraffic("Single, no session");
    ExpectWakeUp();
    EXPECT_EQ(MifC_AuthSectorSingle(session, &kTransportKey, 40), KESTREL_ERR_INVALID_SECTOR);
    ExpectWakeUp();
    EXPECT_EQ(MifC_ReadSectorDataSingle(session, &kTransportKey, buffer, 48, 40),
              KESTREL_ERR_INVALID_SECTOR);
    ExpectWakeUp();
    ExpectAuth(kTransportKey, 12);
    EXPECT_EQ(MifC_ReadSectorDataSingle(session, &kTransportKey, buffer, 240, 3),
              KESTREL_ERR_BUFFER_SIZE);
    CheckTraffic("Single");
}

// A failing step ends the sequence with its result.
TEST_F(ClassicTest, SingleStopsAtTheFirstFailure) {
    uint8_t buffer[48];
    Expect(0x11, {0x52}, kStatusNoCard, {0x00, 0x00});
    EXPECT_EQ(MifC_ReadSectorDataSingle(session, &kTransportKey, buffer, 48, 3),
              KESTREL_ERR_NO_CARD);
    ExpectWakeUp();
    ExpectAuth(kTransportKey, 12, kSerial, kStatusAuthFailed);
    EXPECT_EQ(MifC_ReadSectorDataSingle(session, &kTransportKey, buffer, 48, 3),
              KESTREL_ERR_AUTH_NOT_ALLOWED);
    CheckTraffic();
}

TEST_F(ClassicTest, BlockFormsInTheirStyles) {
    const uint8_t serial[4] = {0x11, 0x22, 0x33, 0x44};
    Bytes out(18, kGuard);
    ExpectAuth(kKeyB, 200);
    ExpectRead(200, BlockData(200));
    EXPECT_EQ(MifC_ReadBlockAuth(session, &kKeyB, serial, 200, out.data() + 1), KESTREL_OK);
    EXPECT_EQ(out, Cat({{kGuard}, BlockData(200), {kGuard}}));
    ExpectWakeUp();
    ExpectAuth(kKeyB, 201);
    ExpectRead(201, BlockData(201));
    EXPECT_EQ(MifC_ReadBlockSingle(session, &kKeyB, 201, out.data() + 1), KESTREL_OK);
    ExpectAuth(kTransportKey, 0);
    ExpectWrite(0, BlockData(0));
    EXPECT_EQ(MifC_WriteBlockAuth(session, &kTransportKey, serial, 0, BlockData(0).data()),
              KESTREL_OK);
    ExpectWakeUp();
    ExpectAuth(kTransportKey, 5);
    ExpectWrite(5, BlockData(5));
    EXPECT_EQ(MifC_WriteBlockSingle(session, &kTransportKey, 5, BlockData(5).data()), KESTREL_OK);
    ExpectWakeUp();
    ExpectAuth(kTransportKey, 6);
    EXPECT_EQ(MifC_AuthBlockSingle(session, &kTransportKey, 6), KESTREL_OK);
    ExpectAuth(kTransportKey, 128);
    EXPECT_EQ(MifC_AuthSector(session, &kTransportKey, serial, 32), KESTREL_OK);
    CheckTraffic();
}

TEST_F(ClassicTest, BlockRuns) {
    const uint8_t serial[4] = {0x11, 0x22, 0x33, 0x44};
    Bytes buffer(66, kGuard);
    // Sector 1, offset 1, count 2: blocks 5 and 6 after one authentication.
    ExpectAuth(kTransportKey, 4);
    ExpectRead(5, BlockData(5));
    ExpectRead(6, BlockData(6));
    EXPECT_EQ(ReadBlocksFromSector(session, &kTransportKey, serial, 1, 1, 2, buffer.data() + 1),
              KESTREL_OK);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 33), Cat({{kGuard}, Blocks(5, 2)}));
    EXPECT_EQ(buffer[33], kGuard);
    CheckTraffic("run");
    // Count 0: the authentication only.
    ExpectAuth(kTransportKey, 4);
    EXPECT_EQ(ReadBlocksFromSector(session, &kTransportKey, serial, 1, 0, 0, buffer.data()),
              KESTREL_OK);
    // Sector 39, offset 15, count 2: the end wraps to 1, nothing is read.
    ExpectAuth(kTransportKey, 240);
    EXPECT_EQ(ReadBlocksFromSector(session, &kTransportKey, serial, 39, 15, 2, buffer.data()),
              KESTREL_OK);
    CheckTraffic("empty runs");
    // Runs go past the sector and through the trailer; writes do not skip block 0.
    const Bytes data = Blocks(0, 4);
    ExpectAuth(kTransportKey, 0);
    ExpectWrites(0, 4);
    EXPECT_EQ(WriteBlocksFromSector(session, &kTransportKey, serial, 0, 0, 4, data.data()),
              KESTREL_OK);
    ExpectAuth(kTransportKey, 4);
    ExpectRead(7, BlockData(7));
    ExpectRead(8, {}, kStatusAuthFailed);
    EXPECT_EQ(ReadBlocksFromSector(session, &kTransportKey, serial, 1, 3, 3, buffer.data()),
              KESTREL_ERR_AUTH_NOT_ALLOWED);
    CheckTraffic("beyond the sector");
}

// The whole-sector writers: data, then the trailer; the raw forms take the trailer from the
// image's last 16 bytes.
TEST_F(ClassicTest, WholeSectorWriters) {
    const uint8_t serial[4] = {0x11, 0x22, 0x33, 0x44};
    const Bytes image = Blocks(176, 16);
    ExpectWrites(176, 15);
    ExpectWrite(191, BlockData(191));
    EXPECT_EQ(MifC_WriteSector2(session, 35, image.data(), 256), KESTREL_OK);
    CheckTraffic("raw, 16-block sector");

    const Bytes small = Blocks(20, 4);
    ExpectWakeUp();
    ExpectAuth(kTransportKey, 20);
    ExpectWrites(20, 4);
    EXPECT_EQ(MifC_WriteSectorSingle2(session, 5, small.data(), 64, &kTransportKey), KESTREL_OK);
    ExpectAuth(kKeyB, 20);
    ExpectWrites(20, 4);
    EXPECT_EQ(MifC_WriteSectorAuth2(session, &kKeyB, serial, 5, small.data(), 64), KESTREL_OK);
    CheckTraffic("raw, Single and Auth");

    // Split: key A's bytes, the access bytes unchanged, key B's bytes; types ignored.
    const uint8_t access[4] = {0x01, 0x02, 0x03, 0x04};
    const Bytes trailer = Cat({Bytes(kKeyB.key, kKeyB.key + 6),
                               {1, 2, 3, 4},
                               Bytes(kTransportKey.key, kTransportKey.key + 6)});
    const Bytes data = Blocks(20, 3);
    ExpectWrites(20, 3);
    ExpectWrite(23, trailer);
    EXPECT_EQ(MifC_WriteSector(session, 5, data.data(), 48, access, &kKeyB, &kTransportKey),
              KESTREL_OK);
    ExpectAuth(kTransportKey, 20);
    ExpectWrites(20, 3);
    ExpectWrite(23, trailer);
    EXPECT_EQ(MifC_WriteSectorAuth(session, &kTransportKey, serial, 5, data.data(), 48, access,
                                   &kKeyB, &kTransportKey),
              KESTREL_OK);
    ExpectWakeUp();
    ExpectAuth(kZeroKey, 20);
    ExpectWrites(20, 3);
    ExpectWrite(23, trailer);
    EXPECT_EQ(MifC_WriteSectorSingle(session, 5, data.data(), 48, access, &kZeroKey, &kKeyB,
                                     &kTransportKey),
              KESTREL_OK);
    CheckTraffic("split");

    // The raw size check: (size - 16) modulo 256 against the data size.
    EXPECT_EQ(MifC_WriteSector2(session, 5, small.data(), 48), KESTREL_ERR_BUFFER_SIZE);
    EXPECT_EQ(MifC_WriteSector2(session, 35, image.data(), 240), KESTREL_ERR_BUFFER_SIZE);
    CheckTraffic("raw sizes");
}

TEST_F(ClassicTest, WholeSectorStopsBeforeTheTrailerOnFailure) {
    const Bytes data = Blocks(20, 3);
    const uint8_t access[4] = {};
    ExpectWrite(20, BlockData(20));
    ExpectWrite(21, BlockData(21), kStatusNoCard);
    EXPECT_EQ(MifC_WriteSector(session, 5, data.data(), 48, access, &kKeyB, &kTransportKey),
              KESTREL_ERR_NO_CARD);
    CheckTraffic();
}

TEST_F(ClassicTest, TrailerWriters) {
    const uint8_t serial[4] = {0x11, 0x22, 0x33, 0x44};
    const uint8_t access[4] = {0xFF, 0x07, 0x80, 0x69};
    // The first record is key A whatever its type.
    const Bytes split = Cat({Bytes(kKeyB.key, kKeyB.key + 6),
                             {0xFF, 0x07, 0x80, 0x69},
                             Bytes(kTransportKey.key, kTransportKey.key + 6)});
    const Bytes raw = BlockData(99);
    ExpectWrite(7, split);
    EXPECT_EQ(MifC_WriteTrailerDirect(session, 7, access, &kKeyB, &kTransportKey), KESTREL_OK);
    ExpectWrite(143, raw);
    EXPECT_EQ(MifC_WriteSectorTrailer(session, 32, raw.data()), KESTREL_OK);
    ExpectWrite(143, split);
    EXPECT_EQ(MifC_WriteSectorTrailer2(session, 32, access, &kKeyB, &kTransportKey), KESTREL_OK);
    ExpectAuth(kTransportKey, 8);
    ExpectWrite(11, split);
    EXPECT_EQ(MifC_WriteSectorTrailerAuth(session, 2, &kTransportKey, serial, access, &kKeyB,
                                          &kTransportKey),
              KESTREL_OK);
    ExpectAuth(kTransportKey, 8);
    ExpectWrite(11, raw);
    EXPECT_EQ(MifC_WriteSectorTrailerAuth2(session, 2, &kTransportKey, serial, raw.data()),
              KESTREL_OK);
    // The Single trailer writers authenticate the block they are given, trailer or not.
    ExpectWakeUp();
    ExpectAuth(kKeyB, 9);
    ExpectWrite(9, raw);
    EXPECT_EQ(MifC_WriteTrailerSingle(session, &kKeyB, 9, raw.data()), KESTREL_OK);
    ExpectWakeUp();
    ExpectAuth(kKeyB, 15);
    ExpectWrite(15, split);
    EXPECT_EQ(MifC_WriteTrailerSingle2(session, &kKeyB, 15, access, &kKeyB, &kTransportKey),
              KESTREL_OK);
    EXPECT_EQ(MifC_WriteSectorTrailer(session, 40, raw.data()), KESTREL_ERR_INVALID_SECTOR);
    CheckTraffic();
}

TEST_F(ClassicTest, TrailerReaders) {
    const uint8_t serial[4] = {0x11, 0x22, 0x33, 0x44};
    const Bytes trailer = Count(0x30, 16);
    Bytes raw(18, kGuard);
    ExpectRead(143, trailer);
    EXPECT_EQ(MifC_GetSectorTrailer(session, 32, raw.data() + 1), KESTREL_OK);
    EXPECT_EQ(raw, Cat({{kGuard}, trailer, {kGuard}}));
    ExpectAuth(kTransportKey, 4);
    ExpectRead(7, trailer);
    EXPECT_EQ(MifC_GetSectorTrailerAuth(session, &kTransportKey, serial, 1, raw.data() + 1),
              KESTREL_OK);
    ExpectWakeUp();
    ExpectAuth(kTransportKey, 4);
    ExpectRead(7, trailer);
    EXPECT_EQ(MifC_GetSectorTrailerSingle(session, &kTransportKey, 1, raw.data() + 1), KESTREL_OK);
    CheckTraffic("raw");

    uint8_t access[6] = {kGuard, 0, 0, 0, 0, kGuard};
    MifareKey keyA = {0, {0}};
    MifareKey keyB = {0, {0}};
    ExpectAuth(kTransportKey, 4);
    ExpectRead(7, trailer);
    EXPECT_EQ(
        MifC_GetSectorTrailerAuth2(session, &kTransportKey, serial, 1, access + 1, &keyA, &keyB),
        KESTREL_OK);
    EXPECT_EQ(keyA.type, KEY_TYPE_A);
    EXPECT_EQ(Bytes(keyA.key, keyA.key + 6), Count(0x30, 6));
    EXPECT_EQ(Bytes(access, access + 6), (Bytes{kGuard, 0x36, 0x37, 0x38, 0x39, kGuard}));
    EXPECT_EQ(keyB.type, KEY_TYPE_B);
    EXPECT_EQ(Bytes(keyB.key, keyB.key + 6), Count(0x3A, 6));
    CheckTraffic("split");
}

// Split reads fill only the outputs given, and none of them when the read fails.
TEST_F(ClassicTest, SplitTrailerReadOutputs) {
    const Bytes trailer = Count(0x30, 16);
    const MifareKey untouched = {kGuard, {kGuard, kGuard, kGuard, kGuard, kGuard, kGuard}};
    MifareKey keyB = untouched;
    ExpectRead(3, trailer);
    EXPECT_EQ(MifC_GetSectorTrailer2(session, 0, nullptr, nullptr, &keyB), KESTREL_OK);
    EXPECT_EQ(keyB.type, KEY_TYPE_B);
    EXPECT_EQ(Bytes(keyB.key, keyB.key + 6), Count(0x3A, 6));

    ExpectRead(3, trailer);
    EXPECT_EQ(MifC_GetSectorTrailer2(session, 0, nullptr, nullptr, nullptr), KESTREL_OK);

    uint8_t access[4] = {kGuard, kGuard, kGuard, kGuard};
    MifareKey keyA = untouched;
    keyB = untouched;
    // A failed read: a status error with the whole block, then a short answer.
    ExpectRead(3, trailer, kStatusAuthFailed);
    EXPECT_EQ(MifC_GetSectorTrailer2(session, 0, access, &keyA, &keyB),
              KESTREL_ERR_AUTH_NOT_ALLOWED);
    ExpectWakeUp();
    ExpectAuth(kTransportKey, 0);
    ExpectRead(3, Count(0, 8));
    EXPECT_EQ(MifC_GetSectorTrailerSingle2(session, &kTransportKey, 0, access, &keyA, &keyB),
              KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT);
    EXPECT_EQ(Bytes(access, access + 4), Bytes(4, kGuard));
    EXPECT_EQ(std::memcmp(&keyA, &untouched, sizeof keyA), 0);
    EXPECT_EQ(std::memcmp(&keyB, &untouched, sizeof keyB), 0);
    CheckTraffic();
}

// An argument the card command needs, given as NULL, is refused before any traffic.
TEST_F(ClassicTest, NullArgumentsSendNothing) {
    const uint8_t serial[4] = {};
    uint8_t buffer[256] = {};
    const uint8_t access[4] = {};
    MifareKey key = kTransportKey;
    const std::vector<SessionCall> calls = {
        {"AUTH_KEY_CMD key",
         [&](KestrelSession* s) { return AUTH_KEY_CMD(s, 4, serial, nullptr); }},
        {"AUTH_KEY_CMD serial",
         [&](KestrelSession* s) { return AUTH_KEY_CMD(s, 4, nullptr, &key); }},
        {"READ_CMD", [&](KestrelSession* s) { return READ_CMD(s, 4, nullptr); }},
        {"WRITE_CMD", [&](KestrelSession* s) { return WRITE_CMD(s, 4, nullptr); }},
        {"MifC_GetCard", [&](KestrelSession* s) { return MifC_GetCard(s, nullptr); }},
        {"MifC_AuthBlockSingle",
         [&](KestrelSession* s) { return MifC_AuthBlockSingle(s, nullptr, 4); }},
        {"MifC_AuthSector serial",
         [&](KestrelSession* s) { return MifC_AuthSector(s, &key, nullptr, 1); }},
        {"MifC_ReadBlockSingle data",
         [&](KestrelSession* s) { return MifC_ReadBlockSingle(s, &key, 4, nullptr); }},
        {"MifC_WriteBlockAuth data",
         [&](KestrelSession* s) { return MifC_WriteBlockAuth(s, &key, serial, 4, nullptr); }},
        {"ReadBlocksFromSector buffer",
         [&](KestrelSession* s) {
             return ReadBlocksFromSector(s, &key, serial, 1, 0, 0, nullptr);
         }},
        {"WriteBlocksFromSector key",
         [&](KestrelSession* s) {
             return WriteBlocksFromSector(s, nullptr, serial, 1, 0, 1, buffer);
         }},
        {"MifC_ReadSectorData buffer",
         [&](KestrelSession* s) { return MifC_ReadSectorData(s, nullptr, 48, 1); }},
        {"MifC_WriteSectorDataSingle key",
         [&](KestrelSession* s) { return MifC_WriteSectorDataSingle(s, nullptr, buffer, 48, 1); }},
        {"MifC_WriteSector keyB",
         [&](KestrelSession* s) {
             return MifC_WriteSector(s, 1, buffer, 48, access, &key, nullptr);
         }},
        {"MifC_WriteSectorSingle access",
         [&](KestrelSession* s) {
             return MifC_WriteSectorSingle(s, 1, buffer, 48, nullptr, &key, &key, &key);
         }},
        {"MifC_WriteSector2 image",
         [&](KestrelSession* s) { return MifC_WriteSector2(s, 1, nullptr, 64); }},
        {"MifC_WriteTrailerDirect keyA",
         [&](KestrelSession* s) { return MifC_WriteTrailerDirect(s, 3, access, nullptr, &key); }},
        {"MifC_WriteTrailerSingle trailer",
         [&](KestrelSession* s) { return MifC_WriteTrailerSingle(s, &key, 3, nullptr); }},
        {"MifC_GetSectorTrailer trailer",
         [&](KestrelSession* s) { return MifC_GetSectorTrailer(s, 1, nullptr); }},
        {"MifC_GetSectorTrailerSingle2 key",
         [&](KestrelSession* s) {
             return MifC_GetSectorTrailerSingle2(s, nullptr, 1, nullptr, nullptr, nullptr);
         }},
        {"MifC_CreateValue key",
         [&](KestrelSession* s) { return MifC_CreateValue(s, 1, 4, nullptr); }},
        {"MifC_ProcessValueAuth serial",
         [&](KestrelSession* s) { return MifC_ProcessValueAuth(s, &key, nullptr, 0xC1, 4, 1); }},
        {"MifC_FormatValueSector newKeyB",
         [&](KestrelSession* s) { return MifC_FormatValueSector(s, 1, &key, nullptr, &key); }},
        {"MifC_FormatValueSector authKey",
         [&](KestrelSession* s) { return MifC_FormatValueSector(s, 1, &key, &key, nullptr); }},
    };
    for (const SessionCall& c : calls) {
        EXPECT_EQ(c.call(session), KESTREL_ERR_WRONG_PARAMETER) << c.name;
    }
    CheckTraffic();
    ExpectSessionChecks(calls);
}

// Value blocks.

TEST_F(ClassicTest, CreateValueWritesTheValueFormat) {
    ExpectWakeUp();
    ExpectAuth(kKeyB, 200);
    ExpectWrite(200,
                {0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0x80, 0xC8, 0x37, 0xC8, 0x37});
    EXPECT_EQ(MifC_CreateValue(session, INT32_MIN, 200, &kKeyB), KESTREL_OK);
    CheckTraffic();
}

TEST_F(ClassicTest, ProcessValueInThreeStyles) {
    const uint8_t serial[4] = {0x11, 0x22, 0x33, 0x44};
    Expect(0x1B, {0xC1, 0x06, 0x0A, 0x00, 0x00, 0x00, 0x06});
    EXPECT_EQ(MifC_ProcessValue(session, VALUE_OP_INCREMENT, 6, 10), KESTREL_OK);
    ExpectAuth(kKeyB, 6);
    Expect(0x1B, {0xC0, 0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0x06});
    EXPECT_EQ(MifC_ProcessValueAuth(session, &kKeyB, serial, VALUE_OP_DECREMENT, 6, -1),
              KESTREL_OK);
    ExpectWakeUp();
    ExpectAuth(kTransportKey, 130);
    // Any operation byte is passed on; the card's refusal comes back.
    Expect(0x1B, {0xC2, 0x82, 0x00, 0x01, 0x00, 0x00, 0x82}, kStatusAuthFailed);
    EXPECT_EQ(MifC_ProcessValueSingle(session, &kTransportKey, 0xC2, 130, 256),
              KESTREL_ERR_AUTH_NOT_ALLOWED);
    CheckTraffic();
}

TEST_F(ClassicTest, FormatValueSector) {
    const Bytes trailer = Cat({Bytes(kZeroKey.key, kZeroKey.key + 6),
                               {0x08, 0x77, 0x8F, 0x00},
                               Bytes(kKeyB.key, kKeyB.key + 6)});
    ExpectWakeUp();
    ExpectAuth(kTransportKey, 128);
    ExpectWrite(143, trailer);
    EXPECT_EQ(MifC_FormatValueSector(session, 32, &kZeroKey, &kKeyB, &kTransportKey), KESTREL_OK);
    ExpectWakeUp();
    EXPECT_EQ(MifC_FormatValueSector(session, 40, &kZeroKey, &kKeyB, &kTransportKey),
              KESTREL_ERR_INVALID_SECTOR);
    CheckTraffic();
}

struct DecodeCase {
    const char* name;
    Bytes data;
    uint8_t block;
    Result expected;
};

// Checks in order: value bytes, address bytes, address against the block.
TEST(ValueBlock, DecodeChecksInOrder) {
    const Bytes good = {0x01, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF,
                        0x01, 0, 0, 0, 0x05, 0xFA, 0x05, 0xFA};
    auto with = [&](std::initializer_list<std::pair<int, uint8_t>> changes) {
        Bytes b = good;
        for (const auto& c : changes) b[c.first] = c.second;
        return b;
    };
    const DecodeCase cases[] = {
        {"good", good, 5, KESTREL_OK},
        {"other block", good, 6, KESTREL_ERR_VALUE_ADDRESS_MISMATCH},
        {"byte 8", with({{8, 0x02}}), 5, KESTREL_ERR_VALUE_CORRUPTED},
        {"byte 4", with({{4, 0xFF}}), 5, KESTREL_ERR_VALUE_CORRUPTED},
        {"byte 11", with({{11, 0x80}}), 5, KESTREL_ERR_VALUE_CORRUPTED},
        {"byte 15", with({{15, 0xFB}}), 5, KESTREL_ERR_VALUE_ADDRESS_CORRUPTED},
        {"byte 14", with({{14, 0x06}}), 5, KESTREL_ERR_VALUE_ADDRESS_CORRUPTED},
        {"byte 13", with({{13, 0x05}}), 5, KESTREL_ERR_VALUE_ADDRESS_CORRUPTED},
        {"value and address", with({{8, 0x02}, {15, 0}}), 6, KESTREL_ERR_VALUE_CORRUPTED},
        {"address and block", with({{15, 0}}), 6, KESTREL_ERR_VALUE_ADDRESS_CORRUPTED},
        {"all zero", Bytes(16, 0), 0, KESTREL_ERR_VALUE_CORRUPTED},
    };
    for (const auto& c : cases) {
        int32_t value = 0x5A5A5A5A;
        EXPECT_EQ(mifare::DecodeValueBlock(c.data.data(), c.block, &value), c.expected) << c.name;
        EXPECT_EQ(value, c.expected == KESTREL_OK ? 1 : 0x5A5A5A5A) << c.name;
    }
}

TEST(ValueBlock, ImagesDecodeBack) {
    for (int32_t value : {0, 1, -1, 100, -100, INT32_MAX, INT32_MIN}) {
        for (int block : {0, 5, 127, 128, 255}) {
            const mifare::Block image = mifare::ValueBlock(value, static_cast<uint8_t>(block));
            int32_t decoded = 0;
            EXPECT_EQ(mifare::DecodeValueBlock(image.data(), static_cast<uint8_t>(block), &decoded),
                      KESTREL_OK);
            EXPECT_EQ(decoded, value);
        }
    }
}

}  // namespace
}  // namespace kestrel::test
