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
        Bytes buffer(13, kGuard);
        uint16_t length = 12;
        Expect(request.code, {0x05, 0x08}, kStatusOk, kAtqb);
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
    Expect(0xB4, {0x04}, kStatusOk, kAtqb);
    uint8_t answer[12];
    uint16_t length = 12;
    EXPECT_EQ(TypeB_SlotMarker(session, 0x04, answer, &length), KESTREL_OK);
    EXPECT_EQ(Bytes(answer, answer + length), kAtqb);
    CheckTraffic();
}

TEST_F(TypeBExportsTest, AttribAndHalt) {
    uint8_t param4 = 0x01;
    uint8_t second = kGuard;
    uint8_t hlLength = 2;
    Bytes hl = {0xA0, 0xA1, kGuard};
    // Two higher-layer bytes each way.
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

}  // namespace
}  // namespace kestrel::test
