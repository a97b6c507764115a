// Reader configuration and diagnostic commands of the standard reader: request layouts,
// each command's own answer-length rule, the line-speed table both ways, the free-form
// command, and the commands the reader does not offer.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "unit/reader/scripted_reader.h"

namespace kestrel::test {
namespace {

using ReaderConfigTest = ScriptedReaderTest;

// Commands whose answer tests below do not already show the request bytes.
TEST_F(ReaderConfigTest, RequestLayouts) {
    const uint8_t data[4] = {0xD0, 0xD1, 0xD2, 0xD3};
    reader::StandardReader& r = *reader;
    const struct {
        uint8_t code;
        Bytes params;
        std::function<Result()> call;
    } cases[] = {
        {0x45, {}, [&] { return r.SetDefaultAttrib(); }},
        {0x46, {0x12, 0x34}, [&] { return r.SetAttrib(0x12, 0x34); }},
        {0x24,
         {0x02, 0x01, 0x03, 0xD0, 0xD1, 0xD2},
         [&] { return r.WriteMemory(0x0102, 3, data); }},
        {0x01, {0x05, 0x7F}, [&] { return r.WriteReg(0x05, 0x7F); }},
        {0xE6, {0x02, 0x01}, [&] { return r.SetIODevState(0x02, 0x01); }},
        {0xED, {0x01, 0x02}, [&] { return r.LoadConfig(0x0201); }},
        {0xEA, {0x0B}, [&] { return r.SetCardType(0x0B); }},
        {0x77, {}, [&] { return r.DirectCommand(0x77, nullptr, 0, nullptr, nullptr); }},
    };
    // None has an answer to copy: the reader's status comes back as it is.
    for (const auto& c : cases) {
        Expect(c.code, c.params, kReaderNoCard);
        EXPECT_EQ(c.call(), KESTREL_ERR_NO_CARD) << static_cast<int>(c.code);
        EXPECT_TRUE(comm.Done()) << static_cast<int>(c.code);
    }
}

TEST_F(ReaderConfigTest, GetAttribNeedsFiveBytes) {
    const struct {
        Bytes answer;
        uint8_t status;
        Result expected;
        Bytes stored;
    } cases[] = {
        {{1, 2, 3, 4, 5}, kReaderOk, KESTREL_OK, {1, 2, 3, 4, 5}},
        {{1, 2, 3, 4, 5}, kReaderNoCard, KESTREL_ERR_NO_CARD, {1, 2, 3, 4, 5}},
        {{1, 2, 3, 4}, kReaderOk, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, Bytes(5, kGuardByte)},
        {{1, 2, 3, 4, 5, 6}, kReaderOk, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, Bytes(5, kGuardByte)},
        {{}, kReaderNoCard, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, Bytes(5, kGuardByte)},
    };
    for (const auto& c : cases) {
        Bytes a(5, kGuardByte);
        Expect(0x47, {}, c.status, c.answer);
        EXPECT_EQ(reader->GetAttrib(&a[0], &a[1], &a[2], &a[3], &a[4]), c.expected);
        EXPECT_EQ(a, c.stored);
    }
    EXPECT_TRUE(comm.Done());
}

TEST_F(ReaderConfigTest, ReadRegNeedsOneByte) {
    const struct {
        Bytes answer;
        uint8_t status;
        Result expected;
        uint8_t stored;
    } cases[] = {
        {{0x42}, kReaderOk, KESTREL_OK, 0x42},
        {{0x42}, kReaderNoCard, KESTREL_ERR_NO_CARD, 0x42},
        {{}, kReaderOk, KESTREL_ERR_READING_TOO_MUCH, kGuardByte},
        {{0x42, 0x43}, kReaderOk, KESTREL_ERR_READING_TOO_MUCH, kGuardByte},
        {{}, kReaderNoCard, KESTREL_ERR_READING_TOO_MUCH, kGuardByte},
    };
    for (const auto& c : cases) {
        uint8_t value = kGuardByte;
        Expect(0x02, {0x05}, c.status, c.answer);
        EXPECT_EQ(reader->ReadReg(0x05, &value), c.expected);
        EXPECT_EQ(value, c.stored);
    }
    EXPECT_TRUE(comm.Done());
}

TEST_F(ReaderConfigTest, FirmwareVersion) {
    const Bytes twelve = {'K', 'R', '-', '1', '0', '0', ' ', 'v', '2', '.', '0', '1'};
    const Bytes answer = [&] {
        Bytes a = {0x0C, 0x00};
        a.insert(a.end(), twelve.begin(), twelve.end());
        return a;
    }();
    const struct {
        const char* name;
        uint8_t capacity;
        uint8_t status;
        Bytes answer;
        Result expected;
        uint8_t length;
        Bytes text;
    } cases[] = {
        {"capacity 11", 11, kReaderOk, answer, KESTREL_ERR_NOT_ENOUGH_MEMORY, 11, {}},
        {"capacity 12", 12, kReaderOk, answer, KESTREL_OK, 12, twelve},
        {"capacity 20, no zero added", 20, kReaderOk, answer, KESTREL_OK, 12, twelve},
        {"empty text", 20, kReaderOk, {0x00, 0x00}, KESTREL_OK, 0, {}},
        {"failure with the text", 12, kReaderNoCard, answer, KESTREL_ERR_NO_CARD, 12, twelve},
        {"short text", 20, kReaderOk, {5, 0, 'a', 'b', 'c'}, KESTREL_ERR_READING_TOO_MUCH, 20, {}},
        {"length 0x8000", 255, kReaderOk, {0, 0x80, 'a'}, KESTREL_ERR_NOT_ENOUGH_MEMORY, 255, {}},
        {"no length", 20, kReaderOk, {0x05}, KESTREL_ERR_READING_TOO_MUCH, 20, {}},
        {"failure without an answer", 20, kReaderNoCard, {}, KESTREL_ERR_NO_CARD, 20, {}},
    };
    for (const auto& c : cases) {
        Bytes text(c.capacity + 1, kGuardByte);
        uint8_t length = c.capacity;
        Expect(0x63, {}, c.status, c.answer);
        EXPECT_EQ(reader->GetFWVersion(reinterpret_cast<char*>(text.data()), &length), c.expected)
            << c.name;
        EXPECT_EQ(length, c.length) << c.name;
        Bytes expected(c.capacity + 1, kGuardByte);
        std::copy(c.text.begin(), c.text.end(), expected.begin());
        EXPECT_EQ(text, expected) << c.name;
    }
    EXPECT_TRUE(comm.Done());
}

TEST_F(ReaderConfigTest, ReadMemoryRefusesALongerAnswer) {
    const struct {
        Bytes answer;
        Result expected;
        Bytes data;
    } cases[] = {
        {{1, 2, 3, 4}, KESTREL_OK, {1, 2, 3, 4, kGuardByte}},
        {{1, 2}, KESTREL_OK, {1, 2, kGuardByte, kGuardByte, kGuardByte}},
        {{1, 2, 3, 4, 5}, KESTREL_ERR_WRONG_PARAMETER, Bytes(5, kGuardByte)},
    };
    for (const auto& c : cases) {
        Bytes data(5, kGuardByte);
        Expect(0x23, {0x34, 0x12, 0x04}, kReaderOk, c.answer);
        EXPECT_EQ(reader->ReadMemory(0x1234, 4, data.data()), c.expected);
        EXPECT_EQ(data, c.data);
    }
    EXPECT_TRUE(comm.Done());
}

TEST_F(ReaderConfigTest, EchoTestWantsTheSameLength) {
    const struct {
        Bytes answer;
        Result expected;
        Bytes buffer;
    } cases[] = {
        {{0x0A, 0x0B, 0x0C}, KESTREL_OK, {0x0A, 0x0B, 0x0C, kGuardByte}},
        {{0x0A, 0x0B}, KESTREL_ERR_WRONG_PARAMETER, {0x01, 0x02, 0x03, kGuardByte}},
        {{0x0A, 0x0B, 0x0C, 0x0D}, KESTREL_ERR_WRONG_PARAMETER, {0x01, 0x02, 0x03, kGuardByte}},
    };
    for (const auto& c : cases) {
        Bytes buffer = {0x01, 0x02, 0x03, kGuardByte};
        uint16_t length = 3;
        Expect(0x86, {0x01, 0x02, 0x03}, kReaderOk, c.answer);
        EXPECT_EQ(reader->EchoTest(buffer.data(), &length), c.expected);
        EXPECT_EQ(buffer, c.buffer);
        EXPECT_EQ(length, 3);
    }
    EXPECT_TRUE(comm.Done());
}

TEST_F(ReaderConfigTest, DirectCommandAnswer) {
    const Bytes four = {0x41, 0x42, 0x43, 0x44};
    const struct {
        const char* name;
        bool lengthPointer;
        uint32_t capacity;
        uint8_t status;
        Bytes answer;
        Result expected;
        uint32_t length;
        bool copied;
    } cases[] = {
        {"no length pointer", false, 0, kReaderOk, four, KESTREL_OK, 0, false},
        {"capacity 0", true, 0, kReaderOk, four, KESTREL_OK, 0, false},
        {"exact fit", true, 4, kReaderOk, four, KESTREL_OK, 4, true},
        {"too long", true, 3, kReaderOk, four, KESTREL_ERR_WRONG_PARAMETER, 4, false},
        {"failure with an answer", true, 6, kReaderNoCard, four, KESTREL_ERR_NO_CARD, 4, true},
        {"failure, answer dropped", false, 0, kReaderNoCard, four, KESTREL_ERR_NO_CARD, 0, false},
        {"empty", true, 6, kReaderOk, {}, KESTREL_OK, 0, false},
    };
    for (const auto& c : cases) {
        Bytes answer(7, kGuardByte);
        uint32_t length = c.capacity;
        Expect(0x99, {0x01}, c.status, c.answer);
        const uint8_t data = 0x01;
        EXPECT_EQ(reader->DirectCommand(0x99, &data, 1, answer.data(),
                                        c.lengthPointer ? &length : nullptr),
                  c.expected)
            << c.name;
        EXPECT_EQ(length, c.length) << c.name;
        Bytes expected(7, kGuardByte);
        if (c.copied) std::copy(c.answer.begin(), c.answer.end(), expected.begin());
        EXPECT_EQ(answer, expected) << c.name;
    }
    EXPECT_TRUE(comm.Done());
}

TEST_F(ReaderConfigTest, FailedExchangeWritesNothing) {
    uint32_t length = 4;
    uint8_t answer[4] = {kGuardByte, kGuardByte, kGuardByte, kGuardByte};
    comm.FailWrite(KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(reader->DirectCommand(0x10, nullptr, 0, answer, &length), KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(answer[0], kGuardByte);
    uint32_t baud = 7;
    comm.FailWrite(KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(reader->GetReaderBaudRate(&baud), KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(baud, 7u);
}

TEST_F(ReaderConfigTest, MissingPointersSendNothing) {
    uint8_t b = 0;
    uint16_t w = 4;
    uint32_t d = 4;
    const struct {
        const char* name;
        std::function<Result()> call;
    } cases[] = {
        {"GetAttrib", [&] { return reader->GetAttrib(&b, &b, nullptr, &b, &b); }},
        {"ReadMemory", [&] { return reader->ReadMemory(0, 4, nullptr); }},
        {"WriteMemory", [&] { return reader->WriteMemory(0, 4, nullptr); }},
        {"GetFWVersion length", [&] { return reader->GetFWVersion(nullptr, nullptr); }},
        {"GetFWVersion text", [&] { return reader->GetFWVersion(nullptr, &b); }},
        {"ReadReg", [&] { return reader->ReadReg(0, nullptr); }},
        {"DirectCommand data",
         [&] { return reader->DirectCommand(0x10, nullptr, 2, nullptr, nullptr); }},
        {"DirectCommand answer",
         [&] { return reader->DirectCommand(0x10, nullptr, 0, nullptr, &d); }},
        {"GetReaderBaudRate", [&] { return reader->GetReaderBaudRate(nullptr); }},
        {"EchoTest length", [&] { return reader->EchoTest(&b, nullptr); }},
        {"EchoTest buffer", [&] { return reader->EchoTest(nullptr, &w); }},
    };
    b = 4;
    for (const auto& c : cases) EXPECT_EQ(c.call(), KESTREL_ERR_WRONG_PARAMETER) << c.name;
    EXPECT_TRUE(comm.requests.empty());
}

TEST_F(ReaderConfigTest, SetReaderBaudRateSendsTheIndex) {
    const struct {
        uint32_t speed;
        uint8_t index;
    } cases[] = {{9600, 0},  {19200, 1}, {57600, 2}, {115200, 3},
                 {38400, 4}, {14400, 3}, {0, 3},     {230400, 3}};
    for (const auto& c : cases) {
        Expect(0x82, {c.index});
        EXPECT_EQ(reader->SetReaderBaudRate(c.speed), KESTREL_OK) << c.speed;
    }
    EXPECT_TRUE(comm.Done());
}

TEST_F(ReaderConfigTest, GetReaderBaudRateReadsTheIndex) {
    const struct {
        Bytes answer;
        Result expected;
        uint32_t speed;
    } cases[] = {
        {{0}, KESTREL_OK, 9600},     {{1}, KESTREL_OK, 19200},
        {{2}, KESTREL_OK, 57600},    {{3}, KESTREL_OK, 115200},
        {{4}, KESTREL_OK, 38400},    {{5}, KESTREL_OK, 115200},
        {{1, 9}, KESTREL_OK, 19200}, {{}, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, 7},
    };
    for (const auto& c : cases) {
        uint32_t speed = 7;
        Expect(0x83, {}, kReaderOk, c.answer);
        EXPECT_EQ(reader->GetReaderBaudRate(&speed), c.expected);
        EXPECT_EQ(speed, c.speed);
    }
    EXPECT_TRUE(comm.Done());
}

// A command the caller filled travels as it is; only the exchange's own result comes back.
TEST_F(ReaderConfigTest, RawExchange) {
    link::ReaderCommand command;
    command.SetCode(0x70);
    command.PutByte(0x01);
    command.PutWord(0x0302);
    Expect(0x70, {0x01, 0x02, 0x03}, kReaderNoCard, {0xAB});
    EXPECT_EQ(reader->RawExchange(command), KESTREL_OK);
    EXPECT_EQ(command.StatusByte(), 0xFF);
    ASSERT_EQ(command.ResponseSize(), 1u);
    EXPECT_EQ(command.ResponseData()[0], 0xAB);
    EXPECT_TRUE(comm.Done());
}

TEST_F(ReaderConfigTest, RfScanModeOfTheRfScanReader) {
    // Only the RF-scan reader has the capability.
    EXPECT_EQ(dynamic_cast<reader::RfScan*>(reader.get()), nullptr);
    UseRfScanReader();
    auto& scan = dynamic_cast<reader::RfScan&>(*reader);
    Expect(0xE0, {}, kReaderOk, {0x01});
    EXPECT_EQ(scan.SetRFScanMode(0x80), KESTREL_OK);
    Expect(0xE1, {});
    EXPECT_EQ(scan.SetRFScanMode(0), KESTREL_OK);
    const struct {
        Bytes answer;
        uint8_t status;
        Result expected;
        uint8_t state;
    } cases[] = {
        {{0x01}, kReaderOk, KESTREL_OK, 0x01},
        {{0x07}, kReaderOk, KESTREL_OK, 0x07},
        {{0x00}, kReaderNoCard, KESTREL_OK, 0x00},
        {{}, kReaderOk, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, kGuardByte},
        {{0x01, 0x00}, kReaderOk, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, kGuardByte},
    };
    for (const auto& c : cases) {
        uint8_t state = kGuardByte;
        Expect(0xE8, {}, c.status, c.answer);
        EXPECT_EQ(scan.GetRFScanMode(&state), c.expected);
        EXPECT_EQ(state, c.state);
    }
    EXPECT_TRUE(comm.Done());
}

}  // namespace
}  // namespace kestrel::test
