// Type B exports against a scripted reader: session checks, the bytes each export sends and
// what it hands back.
#include <gtest/gtest.h>

#include <algorithm>

#include "KestrelAPI.h"
#include "unit/mifare/card_script.h"

namespace kestrel::test {
namespace {

const Bytes kPupi = {0x01, 0x02, 0x03, 0x04};
const Bytes kAtqb = {0x50, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x71, 0x71};

using TypeBExportsTest = CardTest;

TEST_F(TypeBExportsTest, SessionChecks) {
    uint8_t buffer[16];
    uint16_t length = 16;
    uint8_t p4 = 0;
    uint8_t second = 0;
    uint8_t hl = 0;
    ExpectSessionChecks({
        {"TypeB_RequestIdle",
         [&](KestrelSession* s) { return TypeB_RequestIdle(s, 0, 0, buffer, &length); }},
        {"TypeB_RequestWakeUp",
         [&](KestrelSession* s) { return TypeB_RequestWakeUp(s, 0, 0, buffer, &length); }},
        {"TypeB_SlotMarker",
         [&](KestrelSession* s) { return TypeB_SlotMarker(s, 1, buffer, &length); }},
        {"TypeB_Attrib",
         [&](KestrelSession* s) {
             return TypeB_Attrib(s, kPupi.data(), 0, 0, 0, &p4, &second, &hl, buffer);
         }},
        {"TypeB_Halt", [&](KestrelSession* s) { return TypeB_Halt(s, kPupi.data()); }},
    });
}

TEST_F(TypeBExportsTest, RequestsPassTheirBytesAndAnswer) {
    using Request = int32_t(KESTREL_CALL*)(KestrelSession*, uint8_t, uint8_t, uint8_t*, uint16_t*);
    const struct {
        const char* name;
        Request call;
        uint8_t code;
    } requests[] = {
        {"TypeB_RequestIdle", TypeB_RequestIdle, 0xB1},
        {"TypeB_RequestWakeUp", TypeB_RequestWakeUp, 0xB2},
    };
    for (const auto& request : requests) {
        Expect(request.code, {0x00, 0x00}, kStatusOk, kAtqb);
        Bytes buffer(13, kGuard);
        uint16_t length = 11;
        EXPECT_EQ(request.call(session, 0x00, 0x00, buffer.data(), &length),
                  KESTREL_ERR_READING_TOO_MUCH)
            << request.name;
        EXPECT_EQ(length, 12) << request.name;
        EXPECT_EQ(buffer, Bytes(13, kGuard)) << request.name;

        Expect(request.code, {0x05, 0x08}, kStatusOk, kAtqb);
        length = 12;
        EXPECT_EQ(request.call(session, 0x05, 0x08, buffer.data(), &length), KESTREL_OK)
            << request.name;
        EXPECT_EQ(length, 12) << request.name;
        Bytes expected = kAtqb;
        expected.push_back(kGuard);
        EXPECT_EQ(buffer, expected) << request.name;
        CheckTraffic(request.name);
    }
}

TEST_F(TypeBExportsTest, SlotMarker) {
    Expect(0xB4, {0x03}, kStatusNoCard);
    uint8_t buffer[4] = {kGuard, kGuard, kGuard, kGuard};
    uint16_t length = 4;
    EXPECT_EQ(TypeB_SlotMarker(session, 0x03, buffer, &length), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buffer[0], kGuard);

    Expect(0xB4, {0x04}, kStatusOk, kAtqb);
    uint8_t answer[12];
    length = 12;
    EXPECT_EQ(TypeB_SlotMarker(session, 0x04, answer, &length), KESTREL_OK);
    EXPECT_EQ(Bytes(answer, answer + length), kAtqb);
    CheckTraffic();
}

TEST_F(TypeBExportsTest, AttribAndHalt) {
    // Without higher-layer data: the length byte 0 ends the request.
    uint8_t param4 = 0x00;
    uint8_t second = kGuard;
    uint8_t hlLength = 0;
    Bytes hl = {kGuard, kGuard, kGuard};
    Expect(0xB3, {0x01, 0x02, 0x03, 0x04, 0x00, 0x08, 0x01, 0x00, 0x00}, kStatusOk,
           {0x10, 0x20, 0x00});
    EXPECT_EQ(TypeB_Attrib(session, kPupi.data(), 0x00, 0x08, 0x01, &param4, &second, &hlLength,
                           hl.data()),
              KESTREL_OK);
    EXPECT_EQ(param4, 0x10);
    EXPECT_EQ(second, 0x20);
    EXPECT_EQ(hlLength, 0);
    EXPECT_EQ(hl, Bytes(3, kGuard));

    // Two higher-layer bytes each way.
    hl = {0xA0, 0xA1, kGuard};
    hlLength = 2;
    param4 = 0x01;
    Expect(0xB3, {0x01, 0x02, 0x03, 0x04, 0x00, 0x08, 0x01, 0x01, 0x02, 0xA0, 0xA1}, kStatusOk,
           {0x11, 0x21, 0x02, 0xB0, 0xB1});
    EXPECT_EQ(TypeB_Attrib(session, kPupi.data(), 0x00, 0x08, 0x01, &param4, &second, &hlLength,
                           hl.data()),
              KESTREL_OK);
    EXPECT_EQ(param4, 0x11);
    EXPECT_EQ(second, 0x21);
    EXPECT_EQ(hlLength, 2);
    EXPECT_EQ(hl, (Bytes{0xB0, 0xB1, kGuard}));

    Expect(0xB5, kPupi);
    EXPECT_EQ(TypeB_Halt(session, kPupi.data()), KESTREL_OK);
    CheckTraffic();
}

TEST_F(TypeBExportsTest, NullPointersSendNothing) {
    uint8_t buffer[4];
    uint8_t p4 = 0;
    uint8_t hl = 1;
    EXPECT_EQ(TypeB_RequestIdle(session, 0, 0, buffer, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(TypeB_Halt(session, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(TypeB_Attrib(session, kPupi.data(), 0, 0, 0, &p4, &p4, &hl, nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic();
}

}  // namespace
}  // namespace kestrel::test
