// The DESFire native command exchange over a card channel whose message exchange the test
// plays: arguments handed to the block protocol, continuation frames, the copy and count
// rules, card status codes, activation and presence check.
#include "desfire/exchange.h"

#include <gtest/gtest.h>

#include <tuple>

#include "unit/desfire/native_card.h"

namespace kestrel::desfire {
namespace {

using test::Bytes;
using test::Concat;
using test::Ramp;

constexpr uint8_t kGuard = 0xCC;

class DesfireExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override { context.frameSize = 64; }

    test::NativeCard channel;
    DesfireContext context;
    DesfireCard card{channel, context};
};

TEST_F(DesfireExchangeTest, SendNativeCommandHandsTheContextToTheBlockProtocol) {
    const Bytes command = {0x60};
    channel.Expect(command, {0xAF, 0x04, 0x01});
    channel.Expect({0xAF}, {0x00});
    uint8_t response[8];
    std::fill(std::begin(response), std::end(response), kGuard);
    uint16_t length = 6;
    ASSERT_EQ(SendNativeCommand(card, command.data(), 1, response + 1, &length, 1234), KESTREL_OK);
    // The raw response, status byte first.
    EXPECT_EQ(length, 3);
    EXPECT_EQ(Bytes(response, response + 8),
              (Bytes{kGuard, 0xAF, 0x04, 0x01, kGuard, kGuard, kGuard, kGuard}));
    length = 1;
    ASSERT_EQ(SendNativeCommand(card, Bytes{0xAF}.data(), 1, response, &length, 5), KESTREL_OK);
    EXPECT_TRUE(channel.Done());

    ASSERT_EQ(channel.exchanges.size(), 2u);
    const auto& first = channel.exchanges[0];
    // Capacity and frame size; the caller's time-out.
    EXPECT_EQ(std::make_tuple(first.capacity, first.frameSize, first.timeOut),
              std::make_tuple(6, 64, 1234u));
    // The block number lives in the context and goes by reference.
    EXPECT_EQ(first.blockNumberAddress, &context.blockNumber);
    EXPECT_EQ(first.blockNumber, 0);
    EXPECT_EQ(channel.exchanges[1].blockNumber, 1);
    EXPECT_EQ(context.blockNumber, 0);
}

TEST_F(DesfireExchangeTest, SendNativeCommandPassesFailuresOn) {
    channel.Fail(KESTREL_ERR_OPERATION_ABORTED);
    uint8_t response[4] = {kGuard, kGuard, kGuard, kGuard};
    uint16_t length = 4;
    EXPECT_EQ(SendNativeCommand(card, Bytes{0x60}.data(), 1, response, &length, 1000),
              KESTREL_ERR_OPERATION_ABORTED);
    EXPECT_EQ(length, 4);
    // No status handling: an error status is a successful exchange.
    channel.Answer({0xAE});
    EXPECT_EQ(SendNativeCommand(card, Bytes{0x0A, 0x00}.data(), 2, response, &length, 1000),
              KESTREL_OK);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(response[0], 0xAE);
}

// A scripted card answer: a response, or a failed exchange.
struct Frame {
    Bytes response;
    Result failure = KESTREL_OK;
};

struct ContinuationCase {
    const char* name;
    std::vector<Frame> frames;
    bool nullData;
    uint16_t capacity;
    Result expected;
    uint16_t length;  // data length reported
    Bytes copied;     // what reaches the start of the buffer; the rest keeps its guard bytes
};

TEST_F(DesfireExchangeTest, ContinuationFramesAreCopiedWholeOrCounted) {
    const Bytes d1 = Ramp(0x10, 5), d2 = Ramp(0x20, 4), d3 = Ramp(0x30, 3);
    const std::vector<Frame> three = {
        {Concat({{0xAF}, d1})}, {Concat({{0xAF}, d2})}, {Concat({{0x00}, d3})}};
    const Frame fails = {{}, KESTREL_ERR_OPERATION_ABORTED};
    // clang-format off
    const ContinuationCase cases[] = {
        {"all fit exactly", three, false, 12, KESTREL_OK, 12, Concat({d1, d2, d3})},
        {"last frame one byte short", three, false, 11, KESTREL_OK, 12, Concat({d1, d2})},
        {"second frame does not fit", three, false, 8, KESTREL_OK, 12, d1},
        {"first frame does not fit", three, false, 4, KESTREL_OK, 12, {}},
        {"capacity 0", three, false, 0, KESTREL_OK, 12, {}},
        {"null buffer", three, true, 100, KESTREL_OK, 12, {}},
        {"nothing copied after a skipped frame",
         {{Concat({{0xAF}, d1})}, {Concat({{0xAF}, Ramp(0x40, 7)})}, {{0x00, 0x55}}}, false, 6,
         KESTREL_OK, 13, d1},
        {"no data", {{{0x00}}}, false, 4, KESTREL_OK, 0, {}},
        {"empty continuation frames", {{{0xAF}}, {{0xAF}}, {Concat({{0x00}, d3})}}, false, 3,
         KESTREL_OK, 3, d3},
        {"card error in the first frame", {{Concat({{0xCA}, d1})}}, false, 12, 41418, 0, {}},
        {"card error in a later frame", {{Concat({{0xAF}, d1})}, {Concat({{0x9D}, d2})}}, false, 12,
         KESTREL_ERR_DF_PERMISSION_DENIED, 5, d1},
        {"status 0xFF is positive", {{{0xFF}}}, false, 12, 0xA1FF, 0, {}},
        {"empty first response", {{{}}}, false, 12, kEmptyResponse, 0, {}},
        {"empty later response", {{Concat({{0xAF}, d1})}, {{}}}, false, 12, kEmptyResponse, 5, d1},
        {"exchange fails in a later frame", {{Concat({{0xAF}, d1})}, fails}, false, 12,
         KESTREL_ERR_OPERATION_ABORTED, 5, d1},
    };
    // clang-format on
    const Bytes command = {0x60};
    for (const auto& c : cases) {
        channel.exchanges.clear();
        for (size_t i = 0; i < c.frames.size(); ++i) {
            const Bytes expect = i == 0 ? command : Bytes{0xAF};
            if (c.frames[i].failure != KESTREL_OK) {
                channel.Fail(c.frames[i].failure);
            } else {
                channel.Expect(expect, c.frames[i].response);
            }
        }
        Bytes buffer(c.capacity + 2, kGuard);
        uint16_t length = c.capacity;
        EXPECT_EQ(SendNativeCommandEx(card, command.data(), 1, c.nullData ? nullptr : &buffer[1],
                                      &length),
                  c.expected)
            << c.name;
        EXPECT_EQ(length, c.length) << c.name;
        Bytes want(c.capacity + 2, kGuard);
        std::copy(c.copied.begin(), c.copied.end(), want.begin() + 1);
        EXPECT_EQ(buffer, want) << c.name;
        EXPECT_TRUE(channel.Done()) << c.name;
        channel.surprises.clear();
        // Every frame is fetched into the 300-byte response buffer, with the context's
        // time-out, and continuations are the single byte 0xAF.
        for (size_t i = 0; i < channel.exchanges.size(); ++i) {
            EXPECT_EQ(channel.exchanges[i].capacity, kResponseCapacity) << c.name;
            EXPECT_EQ(channel.exchanges[i].timeOut, kCardTimeOutMs) << c.name;
            EXPECT_EQ(channel.exchanges[i].command, i == 0 ? command : Bytes{0xAF}) << c.name;
        }
    }
}

TEST_F(DesfireExchangeTest, OneResponseOver300BytesFails) {
    channel.Answer(Concat({{0x00}, Bytes(299, 0x5A)}));
    uint16_t length = 0;
    EXPECT_EQ(SendNativeCommandEx(card, Bytes{0xBD}.data(), 1, nullptr, &length), KESTREL_OK);
    EXPECT_EQ(length, 299);
    channel.Answer(Concat({{0x00}, Bytes(300, 0x5A)}));
    length = 0;
    EXPECT_EQ(SendNativeCommandEx(card, Bytes{0xBD}.data(), 1, nullptr, &length),
              KESTREL_ERR_READING_TOO_MUCH);
    EXPECT_EQ(length, 0);
}

TEST_F(DesfireExchangeTest, DataBeyondA16BitLengthStopsTheExchange) {
    // A card that never stops sending: 219 frames of 299 bytes fit 16 bits, the 220th not.
    channel.card = [](const Bytes&, Bytes& response) {
        response = Concat({{0xAF}, Bytes(299, 0x11)});
        return KESTREL_OK;
    };
    uint16_t length = 0;
    EXPECT_EQ(SendNativeCommandEx(card, Bytes{0xBD}.data(), 1, nullptr, &length),
              KESTREL_ERR_READING_TOO_MUCH);
    EXPECT_EQ(length, 219 * 299);
    EXPECT_EQ(channel.exchanges.size(), 220u);
}

TEST_F(DesfireExchangeTest, NullLengthWantsNoData) {
    channel.Answer({0x00, 0x01, 0x02});
    uint8_t buffer[4] = {kGuard, kGuard, kGuard, kGuard};
    EXPECT_EQ(SendNativeCommandEx(card, Bytes{0x6A}.data(), 1, buffer, nullptr), KESTREL_OK);
    EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes(4, kGuard));
}

TEST_F(DesfireExchangeTest, ExchangeAllocKeepsEveryFrame) {
    const Bytes d1 = Ramp(0x00, 299), d2 = Ramp(0x80, 299), d3 = Ramp(0x40, 7);
    channel.Expect({0xBB, 0x01}, Concat({{0xAF}, d1}));
    channel.Expect({0xAF}, Concat({{0xAF}, d2}));
    channel.Expect({0xAF}, Concat({{0x00}, d3}));
    std::vector<uint8_t> data = {0x99};
    EXPECT_EQ(DfExchangeAlloc(card, Bytes{0xBB, 0x01}.data(), 2, data), KESTREL_OK);
    EXPECT_EQ(data, Concat({d1, d2, d3}));
    EXPECT_TRUE(channel.Done());

    // A failure keeps what came before it.
    channel.Answer(Concat({{0xAF}, d3}));
    channel.Answer({0xBE});
    EXPECT_EQ(DfExchangeAlloc(card, Bytes{0xBB, 0x01}.data(), 2, data), KESTREL_ERR_DF_BOUNDARY);
    EXPECT_EQ(data, d3);
    channel.Answer({});
    EXPECT_EQ(DfExchangeAlloc(card, Bytes{0xBB, 0x01}.data(), 2, data), kEmptyResponse);
    EXPECT_TRUE(data.empty());
}

TEST_F(DesfireExchangeTest, ConnectActivatesThenRequestsAts) {
    context.frameSize = 0;
    EXPECT_EQ(Connect(card), KESTREL_OK);
    EXPECT_EQ(channel.calls, std::vector<std::string>{"Activate 0 0 100"});
    // 16 whatever the answer to select announces (64 bytes here).
    EXPECT_EQ(context.frameSize, 16);
    EXPECT_TRUE(channel.exchanges.empty());
}

TEST_F(DesfireExchangeTest, ConnectFailureLeavesTheFrameSize) {
    channel.activateResult = KESTREL_ERR_ISO14443_4_NOT_SUPPORTED;
    context.frameSize = 0;
    EXPECT_EQ(Connect(card), KESTREL_ERR_ISO14443_4_NOT_SUPPORTED);
    EXPECT_EQ(context.frameSize, 0);
}

TEST_F(DesfireExchangeTest, PingUsesTheContext) {
    context.blockNumber = 1;
    EXPECT_EQ(Ping(card), KESTREL_OK);
    // Capacity = frame size, the card time-out.
    EXPECT_EQ(channel.calls, std::vector<std::string>{"Ping 64 1000"});
    EXPECT_EQ(channel.pingBlockNumber, &context.blockNumber);
    channel.pingResult = KESTREL_ERR_NO_CARD;
    EXPECT_EQ(Ping(card), KESTREL_ERR_NO_CARD);
}

}  // namespace
}  // namespace kestrel::desfire
