// The reader commands that carry ISO/IEC 14443-4 to the card: the single block, the timed
// exchange and RATS, byte for byte, with their answer rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "unit/reader/block_script.h"

namespace kestrel::reader {
namespace {

using namespace ::kestrel::test;
using BlockExchangeTest = BlockScriptTest;

// Reader command 0x03.

TEST_F(BlockExchangeTest, ExchangeBlockAnswerRules) {
    const Bytes block = {0x02, 0x60};
    const struct {
        const char* name;
        uint16_t capacity;
        uint8_t status;
        Bytes answer;
        Result expected;
        bool copied;
    } cases[] = {
        {"fits exactly", 3, kOk, {0x02, 0x90, 0x00}, KESTREL_OK, true},
        {"one byte too long", 2, kOk, {0x02, 0x90, 0x00}, KESTREL_ERR_WRONG_PARAMETER, false},
        {"too long, failed", 2, kNoCard, {1, 2, 3}, KESTREL_ERR_WRONG_PARAMETER, false},
        {"failed, copied", 4, kCardTimeOut, {0x0A, 0x00}, KESTREL_ERR_FRAME_CARD_TIMEOUT, true},
        {"empty answer, capacity 0", 0, kOk, {}, KESTREL_OK, true},
    };
    for (const auto& c : cases) {
        Bytes buffer(c.capacity + 2u, kGuard);
        uint16_t length = c.capacity;
        Expect(0x03, Cat({{0x1E, 0x02, 0x00}, block}), c.status, c.answer);
        EXPECT_EQ(reader.ExchangeBlock(0x1E, block.data(), 2, buffer.data() + 1, &length),
                  c.expected)
            << c.name;
        // The length is stored before the capacity check.
        EXPECT_EQ(length, c.answer.size()) << c.name;
        Bytes want(c.capacity + 2u, kGuard);
        if (c.copied) std::copy(c.answer.begin(), c.answer.end(), want.begin() + 1);
        EXPECT_EQ(buffer, want) << c.name;
        CheckTraffic(c.name);
    }

    // A failed exchange leaves the length alone.
    uint16_t length = 5;
    uint8_t answer[5];
    ExpectWriteFailure(0x03, Cat({{0x07, 0x02, 0x00}, block}));
    EXPECT_EQ(reader.ExchangeBlock(0x07, block.data(), 2, answer, &length),
              KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(length, 5);
    // Pointers the command needs.
    EXPECT_EQ(reader.ExchangeBlock(0x1E, block.data(), 2, answer, nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(reader.ExchangeBlock(0x1E, nullptr, 2, answer, &length), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(reader.ExchangeBlock(0x1E, block.data(), 2, nullptr, &length),
              KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("failures");
}

// Reader command 0x48.

TEST_F(BlockExchangeTest, ExchangeTimedLayoutAndAnswer) {
    const Bytes frame = {0xD0, 0x11, 0x05};
    const Bytes params = Cat({{0x03, 0x00, 0x01}, Le32(1000), frame});
    const struct {
        const char* name;
        uint16_t capacity;
        uint8_t status;
        Bytes answer;
        Result expected;
        int storedLength;  // -1: untouched
        Bytes copied;
    } cases[] = {
        {"answer copied", 3, kOk, {1, 0, 0xD0}, KESTREL_OK, 1, {0xD0}},
        {"beyond the announced length", 3, kOk, {1, 0, 0xD0, 0x77}, KESTREL_OK, 1, {0xD0}},
        {"above capacity", 1, kOk, {2, 0, 0xD0, 0x11}, KESTREL_ERR_WRONG_PARAMETER, 2, {}},
        {"beyond the answer", 3, kOk, {3, 0, 0xD0}, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, -1, {}},
        {"no length", 3, kOk, {0x01}, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, -1, {}},
        {"failed, no answer", 3, kNoCard, {}, KESTREL_ERR_NO_CARD, -1, {}},
        {"failed", 3, kCardTimeOut, {1, 0, 0xD0}, KESTREL_ERR_FRAME_CARD_TIMEOUT, 1, {0xD0}},
    };
    for (const auto& c : cases) {
        Bytes buffer(c.capacity + 2u, kGuard);
        uint16_t length = c.capacity;
        Expect(0x48, params, c.status, c.answer);
        EXPECT_EQ(reader.ExchangeTimed(frame.data(), 3, buffer.data() + 1, &length, 1, 1000),
                  c.expected)
            << c.name;
        EXPECT_EQ(length, c.storedLength < 0 ? c.capacity : c.storedLength) << c.name;
        Bytes want(c.capacity + 2u, kGuard);
        std::copy(c.copied.begin(), c.copied.end(), want.begin() + 1);
        EXPECT_EQ(buffer, want) << c.name;
        CheckTraffic(c.name);
    }
}

// A card time-out above the exchange time-out raises the latter for one exchange, and it
// comes back whichever way the exchange ends.
TEST_F(BlockExchangeTest, ExchangeTimedRestoresTheTimeOutOnEveryPath) {
    const uint8_t frame[1] = {0x42};
    const struct {
        const char* name;
        uint32_t cardTimeOut;
        int32_t used;  // time-out of the exchange
        int kind;      // 0 success, 1 write fails, 2 reader failure
    } cases[] = {
        {"raised, success", 5000, 5500, 0},
        {"raised, write fails", 5000, 5500, 1},
        {"raised, reader failure", 5000, 5500, 2},
        {"equal to the exchange time-out: unchanged", 2000, 2000, 0},
        {"largest card time-out: kept within range", 0xFFFFFFFFu, INT_MAX, 0},
        {"a tenth rounded down", 2009, 2209, 0},
    };
    for (const auto& c : cases) {
        const Bytes params = Cat({{0x01, 0x00, 0x00}, Le32(c.cardTimeOut), {0x42}});
        if (c.kind == 1) {
            ExpectWriteFailure(0x48, params);
        } else {
            Expect(0x48, params, c.kind == 2 ? kNoCard : kOk, {0x00, 0x00});
        }
        uint8_t answer[1];
        uint16_t length = 1;
        reader.ExchangeTimed(frame, 1, answer, &length, 0, c.cardTimeOut);
        EXPECT_EQ(comm.writeTimeOuts, std::vector<uint32_t>{static_cast<uint32_t>(c.used)})
            << c.name;
        if (c.kind != 1) {
            EXPECT_EQ(comm.readTimeOuts.front(), static_cast<uint32_t>(c.used)) << c.name;
        }
        EXPECT_EQ(reader.ExchangeTimeOut(), 2000) << c.name;
        CheckTraffic(c.name);
        // The next command uses the reader's own time-out again.
        Expect(0x1D, {});
        EXPECT_EQ(reader.Halt(), KESTREL_OK);
        EXPECT_EQ(comm.writeTimeOuts, std::vector<uint32_t>{2000}) << c.name;
        CheckTraffic(c.name);
    }
}

// Reader command 0xE7.

TEST_F(BlockExchangeTest, RequestAtsSlot) {
    const Bytes ats = {0x06, 0x75, 0x77, 0x81, 0x02, 0x80};
    const struct {
        const char* name;
        uint16_t capacity;
        uint8_t status;
        Result expected;
        bool copied;
    } cases[] = {
        {"fits exactly", 6, kOk, KESTREL_OK, true},
        {"room to spare", 20, kOk, KESTREL_OK, true},
        {"one byte short", 5, kOk, KESTREL_ERR_WRONG_PARAMETER, false},
        {"error status, copied", 6, kCardTimeOut, KESTREL_ERR_FRAME_CARD_TIMEOUT, true},
    };
    for (const auto& c : cases) {
        Bytes buffer(c.capacity + 2u, kGuard);
        uint16_t length = c.capacity;
        Expect(0xE7, {0x50}, c.status, ats);
        EXPECT_EQ(reader.RequestATS(0x50, buffer.data() + 1, &length), c.expected) << c.name;
        EXPECT_EQ(length, c.copied ? ats.size() : c.capacity) << c.name;
        Bytes want(c.capacity + 2u, kGuard);
        if (c.copied) std::copy(ats.begin(), ats.end(), want.begin() + 1);
        EXPECT_EQ(buffer, want) << c.name;
        CheckTraffic(c.name);
    }
}

// PPS: CID masked to four bits, DSI and DRI as given, answer room of three bytes, card
}  // namespace
}  // namespace kestrel::reader
