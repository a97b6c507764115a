// MIFARE Ultralight: activation with a 7-byte UID, generic page read and write.
#include <gtest/gtest.h>

#include <cstring>

#include "unit/mifare/card_script.h"

namespace kestrel::test {
namespace {

using UltralightTest = CardTest;

struct GetCardCase {
    const char* name;
    Bytes answer;  // of ActivateIdle: ATQA, SAK, UID length, UID
    uint8_t status;
    Result expected;
    size_t written;  // UID bytes that reach the caller
};

TEST_F(UltralightTest, GetCardWantsSevenBytes) {
    const Bytes seven = {0x44, 0x00, 0x00, 7, 0x04, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
    const GetCardCase cases[] = {
        {"7-byte UID", seven, kStatusOk, KESTREL_OK, 7},
        {"4-byte UID", {0x04, 0x00, 0x08, 4, 0x11, 0x22, 0x33, 0x44}, kStatusOk, -1, 4},
        {"10-byte UID does not fit",
         {0x44, 0x00, 0x00, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
         kStatusOk,
         KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT,
         0},
        {"no card", {}, kStatusNoCard, KESTREL_ERR_NO_CARD, 0},
    };
    for (const auto& c : cases) {
        Expect(0x43, {0x00}, c.status, c.answer);
        Bytes uid(9, kGuard);
        EXPECT_EQ(MifU_GetCard(session, uid.data() + 1), c.expected) << c.name;
        Bytes want(9, kGuard);
        if (c.written > 0) std::copy(c.answer.begin() + 4, c.answer.end(), want.begin() + 1);
        EXPECT_EQ(uid, want) << c.name;
        CheckTraffic(c.name);
    }
}

TEST_F(UltralightTest, Read16Bytes) {
    const Bytes pages = Count(0x40, 16);
    Bytes out(18, kGuard);
    Expect(0x28, {0x30, 0x04, 0x10}, kStatusOk, pages);
    EXPECT_EQ(MifU_Read16Bytes(session, 4, out.data() + 1), KESTREL_OK);
    EXPECT_EQ(out, Cat({{kGuard}, pages, {kGuard}}));
    CheckTraffic();
}

TEST_F(UltralightTest, ReadPage) {
    uint32_t value = 0x5A5A5A5A;
    Expect(0x28, {0x30, 0x04, 0x10}, kStatusOk, Count(0x40, 16));
    EXPECT_EQ(MifU_ReadPage(session, 4, &value), KESTREL_OK);
    uint32_t expected = 0;
    const uint8_t firstPage[4] = {0x40, 0x41, 0x42, 0x43};
    std::memcpy(&expected, firstPage, 4);
    EXPECT_EQ(value, expected);
    // A failure leaves the output alone.
    value = 0x5A5A5A5A;
    Expect(0x28, {0x30, 0x40, 0x10}, 0xF5);
    EXPECT_EQ(MifU_ReadPage(session, 0x40, &value), KESTREL_ERR_CARD_BIT);
    EXPECT_EQ(value, 0x5A5A5A5Au);
    EXPECT_EQ(MifU_ReadPage(session, 4, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic();
}

TEST_F(UltralightTest, Writes) {
    const Bytes data = Count(0x70, 16);
    Expect(0x1F, Cat({{0xA0, 0x05, 0x10}, data}));
    EXPECT_EQ(MifU_Write16Bytes(session, 5, data.data()), KESTREL_OK);
    Expect(0x1E, {0x06, 0x70, 0x71, 0x72, 0x73}, kStatusNoCard);
    EXPECT_EQ(MifU_WritePage(session, 6, data.data()), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(MifU_Write16Bytes(session, 5, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(MifU_WritePage(session, 5, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(MifU_Read16Bytes(session, 5, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(MifU_GetCard(session, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic();
}

TEST(UltralightExports, SessionChecks) {
    static uint8_t buffer[16];
    static uint32_t value;
    ExpectSessionChecks({
        {"MifU_GetCard", [](KestrelSession* s) { return MifU_GetCard(s, buffer); }},
        {"MifU_Read16Bytes", [](KestrelSession* s) { return MifU_Read16Bytes(s, 4, buffer); }},
        {"MifU_ReadPage", [](KestrelSession* s) { return MifU_ReadPage(s, 4, &value); }},
        {"MifU_Write16Bytes", [](KestrelSession* s) { return MifU_Write16Bytes(s, 4, buffer); }},
        {"MifU_WritePage", [](KestrelSession* s) { return MifU_WritePage(s, 4, buffer); }},
    });
}

}  // namespace
}  // namespace kestrel::test
