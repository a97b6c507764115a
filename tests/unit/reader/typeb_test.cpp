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
    reader::StandardReader& r = *reader;
    const struct {
        uint8_t code;
        Bytes params;
        Call call;
    } commands[] = {
        {0xB0, {0, 0, 0}, [&](uint8_t* a, uint16_t* l) { return r.TypeBRequest(0, 0, 0, a, l); }},
        {0xB1, {0, 0}, [&](uint8_t* a, uint16_t* l) { return r.TypeBRequestIdle(0, 0, a, l); }},
        {0xB2, {0, 0}, [&](uint8_t* a, uint16_t* l) { return r.TypeBRequestWakeUp(0, 0, a, l); }},
        {0xB4, {1}, [&](uint8_t* a, uint16_t* l) { return r.TypeBSlotMarker(1, a, l); }},
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
        {"too long, failed", 11, kReaderNoCard, atqb, KESTREL_ERR_READING_TOO_MUCH, 12, false},
        {"failure with an answer", 12, kReaderNoCard, atqb, KESTREL_ERR_NO_CARD, 12, true},
        {"failure without an answer", 12, kReaderNoCard, {}, KESTREL_ERR_NO_CARD, 0, false},
    };
    for (const auto& command : commands) {
        for (const auto& c : cases) {
            const std::string label = std::to_string(command.code) + ", " + c.name;
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
    uint8_t s2 = 0;
    uint8_t hl = 2;
    uint8_t hlNone = 0;
    reader::StandardReader& r = *reader;
    const uint8_t* pupi = kPupi.data();
    const struct {
        const char* name;
        std::function<Result()> call;
    } cases[] = {
        {"request without length", [&] { return r.TypeBRequest(0, 0, 0, buffer, nullptr); }},
        {"idle without buffer", [&] { return r.TypeBRequestIdle(0, 0, nullptr, &length); }},
        {"wake-up without length", [&] { return r.TypeBRequestWakeUp(0, 0, buffer, nullptr); }},
        {"slot marker without buffer", [&] { return r.TypeBSlotMarker(1, nullptr, &length); }},
        {"halt without PUPI", [&] { return r.TypeBHalt(nullptr); }},
        {"attrib, no PUPI", [&] { return r.TypeBAttrib(nullptr, 0, 0, 0, &p4, &s2, &hl, buffer); }},
        {"attrib, no param 4",
         [&] { return r.TypeBAttrib(pupi, 0, 0, 0, nullptr, &s2, &hl, buffer); }},
        {"attrib, no 2nd byte",
         [&] { return r.TypeBAttrib(pupi, 0, 0, 0, &p4, nullptr, &hl, buffer); }},
        {"attrib, no length",
         [&] { return r.TypeBAttrib(pupi, 0, 0, 0, &p4, &s2, nullptr, buffer); }},
        {"attrib, no data", [&] { return r.TypeBAttrib(pupi, 0, 0, 0, &p4, &s2, &hl, nullptr); }},
    };
    for (const auto& c : cases) EXPECT_EQ(c.call(), KESTREL_ERR_WRONG_PARAMETER) << c.name;
    EXPECT_TRUE(comm.requests.empty());

    // A capacity of 0 needs no buffer.
    Expect(0xB1, {0, 0});
    EXPECT_EQ(reader->TypeBRequestIdle(0, 0, nullptr, &none), KESTREL_OK);
    Expect(0xB3, {0x5A, 0x6B, 0x7C, 0x8D, 0, 0, 0, 0, 0}, kReaderOk, {0x10, 0x00, 0x00});
    EXPECT_EQ(reader->TypeBAttrib(kPupi.data(), 0, 0, 0, &p4, &s2, &hlNone, nullptr), KESTREL_OK);
    EXPECT_TRUE(comm.Done());
}

// The ATTRIB answer: the first two answer bytes, a count n, then n higher-layer bytes.
struct AttribCase {
    const char* name;
    uint8_t entryLength;
    uint8_t status;
    Bytes answer;
    Result expected;
    uint8_t param4;
    uint8_t second;
    uint8_t length;
    Bytes data;  // the whole caller buffer (4 bytes) after the call
};
AttribCase Attrib(const char* name, uint8_t entryLength, uint8_t status, Bytes answer,
                  Result expected, uint8_t param4, uint8_t second, uint8_t length, Bytes data) {
    return AttribCase{name, entryLength, status, answer, expected, param4, second, length, data};
}

TEST_F(TypeBTest, AttribAnswerRules) {
    const AttribCase cases[] = {
        Attrib("three bytes", 0, kReaderOk, {0x11, 0x22, 0x00}, KESTREL_OK, 0x11, 0x22, 0,
               {0xD0, 0xD1, 0xD2, 0xD3}),
        Attrib("two bytes", 0, kReaderOk, {0x11, 0x22}, KESTREL_ERR_READING_TOO_MUCH, 0x99,
               kGuardByte, 0, {0xD0, 0xD1, 0xD2, 0xD3}),
        Attrib("empty", 2, kReaderOk, {}, KESTREL_ERR_READING_TOO_MUCH, 0x99, kGuardByte, 2,
               {0xD0, 0xD1, 0xD2, 0xD3}),
        Attrib("a byte nobody announced", 2, kReaderOk, {0x11, 0x22, 0x00, 0x33},
               KESTREL_ERR_READING_TOO_MUCH, 0x99, kGuardByte, 2, {0xD0, 0xD1, 0xD2, 0xD3}),
        Attrib("fewer bytes than announced", 4, kReaderOk, {0x11, 0x22, 0x03, 0xA1, 0xA2},
               KESTREL_ERR_READING_TOO_MUCH, 0x99, kGuardByte, 4, {0xD0, 0xD1, 0xD2, 0xD3}),
        Attrib("higher-layer answer that fits", 4, kReaderOk, {0x11, 0x22, 0x02, 0xA1, 0xA2},
               KESTREL_OK, 0x11, 0x22, 2, {0xA1, 0xA2, 0xD2, 0xD3}),
        Attrib("higher-layer answer of the full length", 2, kReaderOk,
               {0x11, 0x22, 0x02, 0xA1, 0xA2}, KESTREL_OK, 0x11, 0x22, 2, {0xA1, 0xA2, 0xD2, 0xD3}),
        Attrib("more than the caller allowed", 1, kReaderOk, {0x11, 0x22, 0x02, 0xA1, 0xA2},
               KESTREL_ERR_READING_TOO_MUCH, 0x99, kGuardByte, 2, {0xD0, 0xD1, 0xD2, 0xD3}),
        Attrib("announced with no room at all", 0, kReaderOk, {0x11, 0x22, 0x01, 0xA1},
               KESTREL_ERR_READING_TOO_MUCH, 0x99, kGuardByte, 1, {0xD0, 0xD1, 0xD2, 0xD3}),
        // Readers that report only the count: the three bytes alone, nothing copied.
        Attrib("count without the bytes", 4, kReaderOk, {0x11, 0x22, 0x02}, KESTREL_OK, 0x11, 0x22,
               2, {0xD0, 0xD1, 0xD2, 0xD3}),
        Attrib("count without the bytes, beyond the room", 1, kReaderOk, {0x11, 0x22, 0x02},
               KESTREL_ERR_READING_TOO_MUCH, 0x99, kGuardByte, 2, {0xD0, 0xD1, 0xD2, 0xD3}),
        Attrib("failure with a whole answer", 0, kReaderNoCard, {0x11, 0x22, 0x00},
               KESTREL_ERR_NO_CARD, 0x11, 0x22, 0, {0xD0, 0xD1, 0xD2, 0xD3}),
        Attrib("failure without an answer", 0, kReaderNoCard, {}, KESTREL_ERR_READING_TOO_MUCH,
               0x99, kGuardByte, 0, {0xD0, 0xD1, 0xD2, 0xD3}),
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
