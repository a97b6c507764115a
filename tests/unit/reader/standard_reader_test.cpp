#include "reader/standard_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "link/block_framing_protocol.h"
#include "support/scripted_comm.h"

namespace kestrel::reader {
namespace {

using test::Bytes;
using test::Frame;

constexpr uint8_t kGuard = 0xCC;

class ReaderTest : public ::testing::Test {
  protected:
    // Answers the next request with `status` and `data`, echoing its sequence number.
    void AnswerNext(uint8_t status, const Bytes& data = {}) {
        comm.Answer(Frame(sequence_++, status, data));
    }
    // The bytes after the header of the last request, and its command code.
    Bytes LastParams() const {
        const Bytes& r = comm.requests.back();
        return Bytes(r.begin() + 5, r.end() - 2);
    }
    uint8_t LastCode() const { return comm.requests.back()[2]; }

    test::ScriptedComm comm;
    link::BlockFramingProtocol link{comm};
    StandardReader reader{link};

  private:
    uint8_t sequence_ = 0;
};

// Each slot sends its command code followed by its parameters in order, little-endian.
TEST_F(ReaderTest, SlotRequestLayouts) {
    uint16_t atqa;
    uint8_t sak;
    uint8_t serial[4] = {0x11, 0x22, 0x33, 0x44};
    uint8_t uid[10];
    uint8_t uidLength = 10;
    const uint8_t wakeUid[7] = {0x04, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
    const uint8_t wakeLength = 7;
    const struct {
        const char* name;
        std::function<Result()> call;
        uint8_t code;
        Bytes params;
        Bytes answer;
    } cases[] = {
        {"Request REQA", [&] { return reader.Request(0x26, &atqa); }, 0x11, {0x26}, {4, 0}},
        {"Request WUPA", [&] { return reader.Request(0x52, &atqa); }, 0x11, {0x52}, {4, 0}},
        {"RequestA", [&] { return reader.RequestA(0x26, &atqa); }, 0x40, {0x26}, {4, 0}},
        {"Anticollision",
         [&] { return reader.Anticollision(0x05, serial); },
         0x12,
         {0x05, 0x11, 0x22, 0x33, 0x44},
         {1, 2, 3, 4}},
        {"Select", [&] { return reader.Select(serial, &sak); }, 0x13, {1, 2, 3, 4}, {0x08}},
        {"CascadeAnticollision",
         [&] { return reader.CascadeAnticollision(0x95, 0x20, serial); },
         0x41,
         {0x95, 0x20, 1, 2, 3, 4},
         {9, 8, 7, 6}},
        {"CascadeSelect",
         [&] { return reader.CascadeSelect(0x93, serial, &sak); },
         0x42,
         {0x93, 9, 8, 7, 6},
         {0x04}},
        {"ActivateIdle",
         [&] { return reader.ActivateIdle(0, &atqa, &sak, uid, &uidLength); },
         0x43,
         {0x00},
         {0x04, 0x00, 0x08, 4, 1, 2, 3, 4}},
        {"ActivateWakeUp",
         [&] { return reader.ActivateWakeUp(0, &atqa, &sak, wakeUid, &wakeLength); },
         0x44,
         {0x00, 0x07, 0x04, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6},
         {0x44, 0x00, 0x00}},
        {"Halt", [&] { return reader.Halt(); }, 0x1D, {}, {}},
        {"RfReset", [&] { return reader.RfReset(25); }, 0x20, {0x19, 0x00}, {}},
        {"RfReset long", [&] { return reader.RfReset(0x1234); }, 0x20, {0x34, 0x12}, {}},
        {"SetCardTimeOut",
         [&] { return reader.SetCardTimeOut(0x11223344); },
         0x27,
         {0x44, 0x33, 0x22, 0x11},
         {}},
    };
    for (const auto& c : cases) {
        AnswerNext(0x00, c.answer);
        EXPECT_EQ(c.call(), KESTREL_OK) << c.name;
        EXPECT_EQ(LastCode(), c.code) << c.name;
        EXPECT_EQ(LastParams(), c.params) << c.name;
    }
    EXPECT_TRUE(comm.Done());
}

TEST_F(ReaderTest, RequestStoresAtqaLowByteFirst) {
    uint16_t atqa = 0;
    AnswerNext(0x00, {0x44, 0x03});
    EXPECT_EQ(reader.Request(0x26, &atqa), KESTREL_OK);
    EXPECT_EQ(atqa, 0x0344);
}

// The answer length is judged before the reader's status.
TEST_F(ReaderTest, RequestLengthIsCheckedBeforeTheStatus) {
    const struct {
        uint8_t status;
        Bytes answer;
        Result expected;
        uint16_t atqa;
    } cases[] = {
        {0xFF, {}, KESTREL_ERR_WRONG_PARAMETER, 0xBEEF},
        {0x00, {0x04}, KESTREL_ERR_WRONG_PARAMETER, 0xBEEF},
        {0x00, {0x04, 0x00, 0x00}, KESTREL_ERR_WRONG_PARAMETER, 0xBEEF},
        {0xFF, {0x00, 0x00}, KESTREL_ERR_NO_CARD, 0x0000},
        {0xE8, {0x44, 0x00}, KESTREL_ERR_FRAME_COLLISION, 0x0044},
    };
    for (const auto& c : cases) {
        uint16_t atqa = 0xBEEF;
        AnswerNext(c.status, c.answer);
        EXPECT_EQ(reader.Request(0x52, &atqa), c.expected);
        EXPECT_EQ(atqa, c.atqa);
    }
}

TEST_F(ReaderTest, OutputsAreWrittenWhateverTheStatus) {
    uint8_t serial[4] = {0, 0, 0, 0};
    AnswerNext(0xE8, {0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(reader.Anticollision(0, serial), KESTREL_ERR_FRAME_COLLISION);
    EXPECT_EQ(Bytes(serial, serial + 4), (Bytes{0x12, 0x34, 0x56, 0x78}));

    uint8_t sak = 0;
    AnswerNext(0xF5, {0x20});
    EXPECT_EQ(reader.Select(serial, &sak), KESTREL_ERR_CARD_BIT);
    EXPECT_EQ(sak, 0x20);
}

TEST_F(ReaderTest, ShortSerialOrSakAnswersWriteNothing) {
    uint8_t serial[6] = {kGuard, 1, 2, 3, 4, kGuard};
    AnswerNext(0x00, {0x09, 0x09, 0x09});
    EXPECT_EQ(reader.Anticollision(0, serial + 1), KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT);
    AnswerNext(0xFF, {});
    EXPECT_EQ(reader.Anticollision(0, serial + 1), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(Bytes(serial, serial + 6), (Bytes{kGuard, 1, 2, 3, 4, kGuard}));

    uint8_t sak = kGuard;
    AnswerNext(0x00, {});
    EXPECT_EQ(reader.Select(serial + 1, &sak), KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT);
    AnswerNext(0xFF, {});
    EXPECT_EQ(reader.CascadeSelect(0x93, serial + 1, &sak), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(sak, kGuard);
}

struct ActivateCase {
    const char* name;
    uint8_t capacity;
    uint8_t status;
    Bytes answer;
    Result expected;
    bool written;
};

TEST_F(ReaderTest, ActivateIdleLengthRules) {
    const Bytes seven = {0x44, 0x00, 0x00, 7, 0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    const ActivateCase cases[] = {
        {"7-byte UID, capacity 10", 10, 0x00, seven, KESTREL_OK, true},
        {"7-byte UID, capacity 7", 7, 0x00, seven, KESTREL_OK, true},
        {"7-byte UID, capacity 4", 4, 0x00, seven, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, false},
        {"7-byte UID, capacity 6", 6, 0x00, seven, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, false},
        {"length byte beyond capacity",
         4,
         0x00,
         {0x04, 0x00, 0x08, 9, 1, 2, 3, 4},
         KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT,
         false},
        {"length byte beyond answer",
         10,
         0x00,
         {0x04, 0x00, 0x08, 7, 1, 2, 3, 4},
         KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT,
         false},
        {"no card, empty answer", 10, 0xFF, {}, KESTREL_ERR_NO_CARD, false},
        {"success without data", 10, 0x00, {}, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, false},
        {"truncated header",
         10,
         0x00,
         {0x04, 0x00, 0x08},
         KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT,
         false},
        {"status error with data",
         10,
         0xF3,
         {0x04, 0x00, 0x08, 4, 1, 2, 3, 4},
         KESTREL_ERR_IDLE_STATE_CARD,
         true},
        {"capacity 0, UID of 0", 0, 0x00, {0x04, 0x00, 0x08, 0}, KESTREL_OK, true},
    };
    for (const auto& c : cases) {
        // The UID buffer has exactly the capacity, with guard bytes around it.
        std::vector<uint8_t> storage(c.capacity + 2u, kGuard);
        uint8_t* uid = storage.data() + 1;
        uint8_t length = c.capacity;
        uint16_t atqa = 0xBEEF;
        uint8_t sak = kGuard;
        AnswerNext(c.status, c.answer);
        EXPECT_EQ(reader.ActivateIdle(0, &atqa, &sak, uid, &length), c.expected) << c.name;
        EXPECT_EQ(storage.front(), kGuard) << c.name;
        EXPECT_EQ(storage.back(), kGuard) << c.name;
        if (c.written) {
            EXPECT_EQ(atqa, c.answer[0] | (c.answer[1] << 8)) << c.name;
            EXPECT_EQ(sak, c.answer[2]) << c.name;
            EXPECT_EQ(length, c.answer[3]) << c.name;
            EXPECT_EQ(Bytes(uid, uid + length),
                      Bytes(c.answer.begin() + 4, c.answer.begin() + 4 + length))
                << c.name;
        } else {
            EXPECT_EQ(atqa, 0xBEEF) << c.name;
            EXPECT_EQ(sak, kGuard) << c.name;
            EXPECT_EQ(length, c.capacity) << c.name;
            for (uint8_t i = 0; i < c.capacity; ++i) EXPECT_EQ(uid[i], kGuard) << c.name;
        }
    }
}

TEST_F(ReaderTest, ActivateWakeUpNeedsThreeBytes) {
    const uint8_t uid[4] = {1, 2, 3, 4};
    const uint8_t length = 4;
    uint16_t atqa = 0xBEEF;
    uint8_t sak = kGuard;
    AnswerNext(0xFF, {});
    EXPECT_EQ(reader.ActivateWakeUp(0, &atqa, &sak, uid, &length),
              KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT);
    AnswerNext(0x00, {0x04, 0x00});
    EXPECT_EQ(reader.ActivateWakeUp(0, &atqa, &sak, uid, &length),
              KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT);
    EXPECT_EQ(atqa, 0xBEEF);
    EXPECT_EQ(sak, kGuard);
    AnswerNext(0x00, {0x04, 0x00, 0x08, 0x04, 1, 2, 3, 4});
    EXPECT_EQ(reader.ActivateWakeUp(0, &atqa, &sak, uid, &length), KESTREL_OK);
    EXPECT_EQ(atqa, 0x0004);
    EXPECT_EQ(sak, 0x08);
}

TEST_F(ReaderTest, NullArgumentsTheCommandNeedsAreRefusedWithoutTraffic) {
    uint8_t uid[10];
    uint8_t length = 10;
    uint8_t serial[4] = {};
    const std::function<Result()> calls[] = {
        [&] { return reader.Anticollision(0, nullptr); },
        [&] { return reader.CascadeAnticollision(0x93, 0x20, nullptr); },
        [&] { return reader.Select(nullptr, nullptr); },
        [&] { return reader.CascadeSelect(0x93, nullptr, nullptr); },
        [&] { return reader.ActivateIdle(0, nullptr, nullptr, nullptr, &length); },
        [&] { return reader.ActivateIdle(0, nullptr, nullptr, uid, nullptr); },
        [&] { return reader.ActivateWakeUp(0, nullptr, nullptr, nullptr, &length); },
        [&] { return reader.ActivateWakeUp(0, nullptr, nullptr, serial, nullptr); },
    };
    for (const auto& call : calls) EXPECT_EQ(call(), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(comm.requests.empty());
}

TEST_F(ReaderTest, OptionalOutputsMayBeNull) {
    uint8_t uid[10];
    uint8_t length = 10;
    AnswerNext(0x00, {0x04, 0x00});
    EXPECT_EQ(reader.Request(0x26, nullptr), KESTREL_OK);
    AnswerNext(0x00, {0x04, 0x00, 0x08, 4, 1, 2, 3, 4});
    EXPECT_EQ(reader.ActivateIdle(0, nullptr, nullptr, uid, &length), KESTREL_OK);
    EXPECT_EQ(length, 4);
}

TEST_F(ReaderTest, ExchangeFailuresLeaveOutputsAlone) {
    uint16_t atqa = 0xBEEF;
    comm.Answer({});  // silent reader
    EXPECT_EQ(reader.Request(0x26, &atqa), KESTREL_ERR_RS232_READ);
    EXPECT_EQ(atqa, 0xBEEF);
}

TEST_F(ReaderTest, ActivateIdleRetryCountsAttempts) {
    uint8_t uid[10];
    uint8_t length = 10;
    // Repeat factor 61 is refused at once.
    EXPECT_EQ(reader.ActivateIdleRetry(0, nullptr, nullptr, uid, &length, 61),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(comm.requests.empty());

    // Factor 0: one attempt.
    AnswerNext(0xFF);
    EXPECT_EQ(reader.ActivateIdleRetry(0, nullptr, nullptr, uid, &length, 0), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(comm.requests.size(), 1u);

    // Factor 1: five attempts, the last failure returned.
    for (int i = 0; i < 4; ++i) AnswerNext(0xFF);
    AnswerNext(0xE8);
    EXPECT_EQ(reader.ActivateIdleRetry(0, nullptr, nullptr, uid, &length, 1),
              KESTREL_ERR_FRAME_COLLISION);
    EXPECT_EQ(comm.requests.size(), 6u);

    // Success on the third attempt ends the loop.
    AnswerNext(0xFF);
    AnswerNext(0xFF);
    AnswerNext(0x00, {0x04, 0x00, 0x08, 4, 9, 8, 7, 6});
    EXPECT_EQ(reader.ActivateIdleRetry(0, nullptr, nullptr, uid, &length, 2), KESTREL_OK);
    EXPECT_EQ(comm.requests.size(), 9u);
    EXPECT_EQ(length, 4);
    EXPECT_TRUE(comm.Done());
}

TEST_F(ReaderTest, SetTimeOutAppliesToTheNextExchange) {
    EXPECT_EQ(reader.ExchangeTimeOut(), 2000);
    int32_t previous = 0;
    EXPECT_EQ(reader.SetTimeOut(500, &previous), KESTREL_OK);
    EXPECT_EQ(previous, 2000);
    EXPECT_EQ(reader.SetTimeOut(650, nullptr), KESTREL_OK);
    AnswerNext(0x00);
    EXPECT_EQ(reader.Halt(), KESTREL_OK);
    EXPECT_EQ(comm.writeTimeOuts.back(), 650u);
    EXPECT_EQ(comm.readTimeOuts.back(), 650u);
}

// Every status byte the reader can send, and the result code it becomes.
TEST(ReaderStatusTest, EveryByteHasItsResult) {
    const std::vector<std::pair<uint8_t, Result>> known = {
        {0x00, KESTREL_OK},
        {0xFF, KESTREL_ERR_NO_CARD},
        {0xFE, KESTREL_ERR_LINK_CRC},
        {0xFD, KESTREL_ERR_LINK_PROTOCOL_OVERFLOW},
        {0xFC, KESTREL_ERR_AUTH_NOT_ALLOWED},
        {0xFB, KESTREL_ERR_RS232_PARITY},
        {0xF8, KESTREL_ERR_WRONG_CARD},
        {0xF6, KESTREL_ERR_AUTH_EXPECTED},
        {0xF5, KESTREL_ERR_CARD_BIT},
        {0xF4, KESTREL_ERR_CARD_BYTE},
        {0xF3, KESTREL_ERR_IDLE_STATE_CARD},
        {0xEC, KESTREL_ERR_AFTER_POLLING},
        {0xEB, KESTREL_ERR_FRAME_BAD_FRAME},
        {0xEA, KESTREL_ERR_FRAME_CARD_TIMEOUT},
        {0xE8, KESTREL_ERR_FRAME_COLLISION},
    };
    for (int status = 0; status < 256; ++status) {
        Result expected = KESTREL_ERR_WRITE_FAILED;
        for (const auto& [byte, code] : known) {
            if (byte == status) expected = code;
        }
        EXPECT_EQ(ReaderStatusResult(static_cast<uint8_t>(status)), expected)
            << "status byte " << status;
    }
}

TEST(RfScanReaderTest, RfScanCommands) {
    test::ScriptedComm comm;
    link::BlockFramingProtocol link(comm);
    RfScanReader reader(link);
    comm.Expect(Frame(0, 0xE0), Frame(0, 0x00, {0x01}));
    EXPECT_EQ(reader.SetRFScanMode(7), KESTREL_OK);
    comm.Expect(Frame(1, 0xE1), Frame(1, 0x00));
    EXPECT_EQ(reader.SetRFScanMode(0), KESTREL_OK);
    uint8_t state = kGuard;
    comm.Expect(Frame(2, 0xE8), Frame(2, 0x00, {0x01, 0x00}));
    EXPECT_EQ(reader.GetRFScanMode(&state), KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT);
    EXPECT_EQ(state, kGuard);
    comm.Expect(Frame(3, 0xE8), Frame(3, 0x00, {0x01}));
    EXPECT_EQ(reader.GetRFScanMode(&state), KESTREL_OK);
    EXPECT_EQ(state, 1);
    EXPECT_TRUE(comm.Done());
}

}  // namespace
}  // namespace kestrel::reader
