// Type B commands of the standard reader: request layouts, the answer-length rule of the
// requests and the slot marker, and the ATTRIB answer with its higher-layer bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "unit/reader/scripted_reader.h"

namespace kestrel::test {
namespace {

const Bytes kPupi = {0x5A, 0x6B, 0x7C, 0x8D};

using TypeBTest = ScriptedReaderTest;

TEST_F(TypeBTest, RequestLayouts) {
    uint8_t answer[16];
    uint16_t length = 16;
    uint8_t param4 = 0x01;
    uint8_t second = 0;
    uint8_t hlLength = 0;
    uint8_t hlData[4] = {0xD0, 0xD1, 0xD2, 0xD3};
    const struct {
        const char* name;
        std::function<Result()> call;
        uint8_t code;
        Bytes params;
        Bytes answer;
    } cases[] = {
        {"TypeBRequest",
         [&] { return reader->TypeBRequest(0x01, 0x02, 0x03, answer, &length); },
         0xB0,
         {0x01, 0x02, 0x03},
         {}},
        {"TypeBRequestIdle zero",
         [&] { return reader->TypeBRequestIdle(0x00, 0x00, answer, &length); },
         0xB1,
         {0x00, 0x00},
         {}},
        {"TypeBRequestIdle",
         [&] { return reader->TypeBRequestIdle(0x05, 0x08, answer, &length); },
         0xB1,
         {0x05, 0x08},
         {}},
        {"TypeBRequestWakeUp",
         [&] { return reader->TypeBRequestWakeUp(0x00, 0x02, answer, &length); },
         0xB2,
         {0x00, 0x02},
         {}},
        {"TypeBSlotMarker",
         [&] { return reader->TypeBSlotMarker(0x07, answer, &length); },
         0xB4,
         {0x07},
         {}},
        {"TypeBHalt", [&] { return reader->TypeBHalt(kPupi.data()); }, 0xB5, kPupi, {}},
        {"TypeBAttrib without higher-layer data",
         [&] {
             return reader->TypeBAttrib(kPupi.data(), 0x00, 0x08, 0x01, &param4, &second, &hlLength,
                                        hlData);
         },
         0xB3,
         {0x5A, 0x6B, 0x7C, 0x8D, 0x00, 0x08, 0x01, 0x01, 0x00},
         {0x10, 0x00, 0x00}},
        {"TypeBAttrib with three higher-layer bytes",
         [&] {
             param4 = 0x42;
             hlLength = 3;
             return reader->TypeBAttrib(kPupi.data(), 0x11, 0x22, 0x33, &param4, &second, &hlLength,
                                        hlData);
         },
         0xB3,
         {0x5A, 0x6B, 0x7C, 0x8D, 0x11, 0x22, 0x33, 0x42, 0x03, 0xD0, 0xD1, 0xD2},
         {0x10, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        length = 16;
        Expect(c.code, c.params, kReaderOk, c.answer);
        EXPECT_EQ(c.call(), KESTREL_OK) << c.name;
        EXPECT_TRUE(comm.Done()) << c.name;
    }
}

// The requests and the slot marker store the answer length whatever it is, and copy the
// answer only when it fits; the length is judged before the reader's status.
TEST_F(TypeBTest, AnswerLengthRule) {
    using Call = std::function<Result(uint8_t*, uint16_t*)>;
    const struct {
        const char* name;
        uint8_t code;
        Bytes params;
        Call call;
    } commands[] = {
        {"TypeBRequest",
         0xB0,
         {0, 0, 0},
         [&](uint8_t* a, uint16_t* l) { return reader->TypeBRequest(0, 0, 0, a, l); }},
        {"TypeBRequestIdle",
         0xB1,
         {0, 0},
         [&](uint8_t* a, uint16_t* l) { return reader->TypeBRequestIdle(0, 0, a, l); }},
        {"TypeBRequestWakeUp",
         0xB2,
         {0, 0},
         [&](uint8_t* a, uint16_t* l) { return reader->TypeBRequestWakeUp(0, 0, a, l); }},
        {"TypeBSlotMarker",
         0xB4,
         {1},
         [&](uint8_t* a, uint16_t* l) { return reader->TypeBSlotMarker(1, a, l); }},
    };
    const Bytes atqb = {0x50, 0x5A, 0x6B, 0x7C, 0x8D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x71, 0x71};
    const struct {
        const char* name;
        uint16_t capacity;
        uint8_t status;
        Bytes answer;
        Result expected;
        uint16_t length;
        bool copied;
    } cases[] = {
        {"too long", 11, kReaderOk, atqb, KESTREL_ERR_READING_TOO_MUCH, 12, false},
        {"exact fit", 12, kReaderOk, atqb, KESTREL_OK, 12, true},
        {"room to spare", 14, kReaderOk, atqb, KESTREL_OK, 12, true},
        {"empty", 14, kReaderOk, {}, KESTREL_OK, 0, false},
        {"too long with a failure", 11, kReaderNoCard, atqb, KESTREL_ERR_READING_TOO_MUCH, 12,
         false},
        {"failure with an answer", 12, kReaderNoCard, atqb, KESTREL_ERR_NO_CARD, 12, true},
        {"failure without an answer", 12, kReaderNoCard, {}, KESTREL_ERR_NO_CARD, 0, false},
    };
    for (const auto& command : commands) {
        for (const auto& c : cases) {
            const std::string label = std::string(command.name) + ", " + c.name;
            Bytes buffer(c.capacity + 2, kGuardByte);
            uint16_t length = c.capacity;
            Expect(command.code, command.params, c.status, c.answer);
            EXPECT_EQ(command.call(buffer.data(), &length), c.expected) << label;
            EXPECT_EQ(length, c.length) << label;
            Bytes expected(c.capacity + 2, kGuardByte);
            if (c.copied) std::copy(c.answer.begin(), c.answer.end(), expected.begin());
            EXPECT_EQ(buffer, expected) << label;
        }
    }
    EXPECT_TRUE(comm.Done());
}

TEST_F(TypeBTest, FailedExchangeLeavesTheAnswerAlone) {
    uint8_t buffer[4] = {kGuardByte, kGuardByte, kGuardByte, kGuardByte};
    uint16_t length = 4;
    comm.FailWrite(KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(reader->TypeBRequestWakeUp(0, 0, buffer, &length), KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(buffer[0], kGuardByte);
}

TEST_F(TypeBTest, MissingPointersSendNothing) {
    uint8_t buffer[4];
    uint16_t length = 4;
    uint16_t none = 0;
    uint8_t p4 = 0;
    uint8_t second = 0;
    uint8_t hlLength = 2;
    uint8_t hlNone = 0;
    const struct {
        const char* name;
        std::function<Result()> call;
        Result expected;
    } cases[] = {
        {"request without length", [&] { return reader->TypeBRequest(0, 0, 0, buffer, nullptr); },
         KESTREL_ERR_WRONG_PARAMETER},
        {"idle without buffer", [&] { return reader->TypeBRequestIdle(0, 0, nullptr, &length); },
         KESTREL_ERR_WRONG_PARAMETER},
        {"wake-up without length",
         [&] { return reader->TypeBRequestWakeUp(0, 0, buffer, nullptr); },
         KESTREL_ERR_WRONG_PARAMETER},
        {"slot marker without buffer", [&] { return reader->TypeBSlotMarker(1, nullptr, &length); },
         KESTREL_ERR_WRONG_PARAMETER},
        {"halt without PUPI", [&] { return reader->TypeBHalt(nullptr); },
         KESTREL_ERR_WRONG_PARAMETER},
        {"attrib without PUPI",
         [&] { return reader->TypeBAttrib(nullptr, 0, 0, 0, &p4, &second, &hlLength, buffer); },
         KESTREL_ERR_WRONG_PARAMETER},
        {"attrib without parameter 4",
         [&] {
             return reader->TypeBAttrib(kPupi.data(), 0, 0, 0, nullptr, &second, &hlLength, buffer);
         },
         KESTREL_ERR_WRONG_PARAMETER},
        {"attrib without second byte",
         [&] {
             return reader->TypeBAttrib(kPupi.data(), 0, 0, 0, &p4, nullptr, &hlLength, buffer);
         },
         KESTREL_ERR_WRONG_PARAMETER},
        {"attrib without length",
         [&] { return reader->TypeBAttrib(kPupi.data(), 0, 0, 0, &p4, &second, nullptr, buffer); },
         KESTREL_ERR_WRONG_PARAMETER},
        {"attrib without data",
         [&] {
             return reader->TypeBAttrib(kPupi.data(), 0, 0, 0, &p4, &second, &hlLength, nullptr);
         },
         KESTREL_ERR_WRONG_PARAMETER},
    };
    for (const auto& c : cases) EXPECT_EQ(c.call(), c.expected) << c.name;
    EXPECT_TRUE(comm.requests.empty());

    // A capacity of 0 needs no buffer.
    Expect(0xB1, {0, 0});
    EXPECT_EQ(reader->TypeBRequestIdle(0, 0, nullptr, &none), KESTREL_OK);
    Expect(0xB3, {0x5A, 0x6B, 0x7C, 0x8D, 0, 0, 0, 0, 0}, kReaderOk, {0x10, 0x00, 0x00});
    EXPECT_EQ(reader->TypeBAttrib(kPupi.data(), 0, 0, 0, &p4, &second, &hlNone, nullptr),
              KESTREL_OK);
    EXPECT_TRUE(comm.Done());
}

// The ATTRIB answer: the first two answer bytes, a count n, then n higher-layer bytes.
TEST_F(TypeBTest, AttribAnswerRules) {
    const struct {
        const char* name;
        uint8_t entryLength;
        uint8_t status;
        Bytes answer;
        Result expected;
        uint8_t param4;
        uint8_t second;
        uint8_t length;
        Bytes data;  // the whole caller buffer (4 bytes) after the call
    } cases[] = {
        {"three bytes",
         0,
         kReaderOk,
         {0x11, 0x22, 0x00},
         KESTREL_OK,
         0x11,
         0x22,
         0,
         {0xD0, 0xD1, 0xD2, 0xD3}},
        {"two bytes",
         0,
         kReaderOk,
         {0x11, 0x22},
         KESTREL_ERR_READING_TOO_MUCH,
         0x99,
         kGuardByte,
         0,
         {0xD0, 0xD1, 0xD2, 0xD3}},
        {"empty",
         2,
         kReaderOk,
         {},
         KESTREL_ERR_READING_TOO_MUCH,
         0x99,
         kGuardByte,
         2,
         {0xD0, 0xD1, 0xD2, 0xD3}},
        {"a byte nobody announced",
         2,
         kReaderOk,
         {0x11, 0x22, 0x00, 0x33},
         KESTREL_ERR_READING_TOO_MUCH,
         0x99,
         kGuardByte,
         2,
         {0xD0, 0xD1, 0xD2, 0xD3}},
        {"fewer bytes than announced",
         4,
         kReaderOk,
         {0x11, 0x22, 0x03, 0xA1, 0xA2},
         KESTREL_ERR_READING_TOO_MUCH,
         0x99,
         kGuardByte,
         4,
         {0xD0, 0xD1, 0xD2, 0xD3}},
        {"higher-layer answer that fits",
         4,
         kReaderOk,
         {0x11, 0x22, 0x02, 0xA1, 0xA2},
         KESTREL_OK,
         0x11,
         0x22,
         2,
         {0xA1, 0xA2, 0xD2, 0xD3}},
        {"higher-layer answer of the full length",
         2,
         kReaderOk,
         {0x11, 0x22, 0x02, 0xA1, 0xA2},
         KESTREL_OK,
         0x11,
         0x22,
         2,
         {0xA1, 0xA2, 0xD2, 0xD3}},
        {"more than the caller allowed",
         1,
         kReaderOk,
         {0x11, 0x22, 0x02, 0xA1, 0xA2},
         KESTREL_ERR_READING_TOO_MUCH,
         0x99,
         kGuardByte,
         2,
         {0xD0, 0xD1, 0xD2, 0xD3}},
        {"announced with no room at all",
         0,
         kReaderOk,
         {0x11, 0x22, 0x01, 0xA1},
         KESTREL_ERR_READING_TOO_MUCH,
         0x99,
         kGuardByte,
         1,
         {0xD0, 0xD1, 0xD2, 0xD3}},
        {"failure with a whole answer",
         0,
         kReaderNoCard,
         {0x11, 0x22, 0x00},
         KESTREL_ERR_NO_CARD,
         0x11,
         0x22,
         0,
         {0xD0, 0xD1, 0xD2, 0xD3}},
        {"failure without an answer",
         0,
         kReaderNoCard,
         {},
         KESTREL_ERR_READING_TOO_MUCH,
         0x99,
         kGuardByte,
         0,
         {0xD0, 0xD1, 0xD2, 0xD3}},
    };
    for (const auto& c : cases) {
        Bytes data = {0xD0, 0xD1, 0xD2, 0xD3, kGuardByte};
        uint8_t param4 = 0x99;
        uint8_t second = kGuardByte;
        uint8_t length = c.entryLength;
        Bytes sent = {0x5A, 0x6B, 0x7C, 0x8D, 0x01, 0x02, 0x03, 0x99, c.entryLength};
        sent.insert(sent.end(), data.begin(), data.begin() + c.entryLength);
        Expect(0xB3, sent, c.status, c.answer);
        EXPECT_EQ(reader->TypeBAttrib(kPupi.data(), 0x01, 0x02, 0x03, &param4, &second, &length,
                                      data.data()),
                  c.expected)
            << c.name;
        EXPECT_EQ(param4, c.param4) << c.name;
        EXPECT_EQ(second, c.second) << c.name;
        EXPECT_EQ(length, c.length) << c.name;
        Bytes expected = c.data;
        expected.push_back(kGuardByte);
        EXPECT_EQ(data, expected) << c.name;
        EXPECT_TRUE(comm.Done()) << c.name;
    }
}

}  // namespace
}  // namespace kestrel::test
