// The host side of the ISO/IEC 14443-4 block protocol over a scripted reader: PPS, chaining,
// waiting-time extensions, retries, the presence check, deselection, activation with RATS.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "iso14443_4/activation.h"
#include "iso14443_4/card_channel.h"
#include "iso14443_4/tcl_protocol.h"
#include "unit/reader/block_script.h"

namespace kestrel::iso14443_4 {
namespace {

using namespace ::kestrel::test;

class TclProtocolTest : public BlockScriptTest {
  protected:
    // One message with CID 0 (`cidFlag` set) or without CID; the block number is handed back
    // on success, as the card channel does.
    Result Exchange(const uint8_t* request, uint16_t requestLength, uint8_t* answer,
                    uint16_t* answerLength, uint16_t frameSize, uint8_t cidFlag, uint8_t* number,
                    uint32_t cardTimeOut = kTimeOut) {
        TclProtocol card(reader, frameSize, Cid(cidFlag), cardTimeOut, *number);
        const Result r = card.Exchange(request, requestLength, answer, answerLength);
        if (r == KESTREL_OK) *number = card.BlockNumber();
        return r;
    }
    static std::optional<uint8_t> Cid(uint8_t cidFlag) {
        return cidFlag != 0 ? std::optional<uint8_t>(0) : std::nullopt;
    }
    ReaderChannel channel{reader};
};

// PPS: CID masked to four bits, DSI and DRI as given, answer room of three bytes, card
// time-out 1000 ms (below the exchange time-out, so nothing is raised).
TEST_F(TclProtocolTest, PpsRequestFrames) {
    const struct {
        uint8_t cid, dsi, dri, start, pps1;
        Bytes answer;
        Result expected;
    } cases[] = {
        {0, 1, 1, 0xD0, 0x05, {0x01, 0x00, 0xD0}, KESTREL_OK},
        {0x3F, 2, 0, 0xDF, 0x08, {0x01, 0x00, 0xDF}, KESTREL_OK},
        {0x03, 0xFF, 0x03, 0xD3, 0xFF, {0x00, 0x00}, KESTREL_OK},
        {0x00, 0x01, 0x10, 0xD0, 0x14, {0x00, 0x00}, KESTREL_OK},
        {0, 0, 0, 0xD0, 0x00, {0x03, 0x00, 1, 2, 3}, KESTREL_OK},
        {0, 0, 0, 0xD0, 0x00, {0x04, 0x00, 1, 2, 3, 4}, KESTREL_ERR_WRONG_PARAMETER},
    };
    for (const auto& c : cases) {
        const Bytes frame = {c.start, 0x11, c.pps1, 0x00, 0x00};
        Expect(0x48, Cat({{0x05, 0x00, 0x01}, Le32(1000), frame}), kOk, c.answer);
        EXPECT_EQ(RequestPps(reader, c.cid, c.dsi, c.dri), c.expected);
        EXPECT_EQ(comm.writeTimeOuts, std::vector<uint32_t>{2000});
        CheckTraffic(Describe(0x48, frame));
    }
}

// The block protocol.

struct ExchangeCase {
    const char* name;
    Bytes request;
    uint16_t frameSize;
    uint8_t cidFlag;
    uint8_t blockNumber;  // the caller's byte on entry
    uint16_t capacity;
    std::vector<Step> steps;
    Result expected;
    Bytes answer;              // on success
    uint8_t blockNumberAfter;  // on success
    size_t pauses;             // 1000 ms pauses before R(NAK) retries
};

ExchangeCase Case(const char* name, Bytes request, uint16_t frameSize, uint8_t cidFlag,
                  uint8_t blockNumber, uint16_t capacity, std::vector<Step> steps, Result expected,
                  Bytes answer, uint8_t blockNumberAfter, size_t pauses) {
    return ExchangeCase{name,  request,  frameSize, cidFlag,          blockNumber, capacity,
                        steps, expected, answer,    blockNumberAfter, pauses};
}

const Bytes kRequest = {0x90, 0x60, 0x00, 0x00, 0x00};  // one short message
const Bytes kOkAnswer = {0x0A, 0x00, 0x90, 0x00};       // I(0) with CID: 90 00

// The card's `answer` to the I-block that carries kRequest with CID and block number 0.
Step FirstBlock(Bytes answer) {
    return Card(Cat({{0x0A, 0x00}, kRequest}), std::move(answer));
}

std::vector<ExchangeCase> ExchangeCases() {
    const Bytes thirty = Count(0x00, 30);
    const Bytes part1(thirty.begin(), thirty.begin() + 12);
    const Bytes part2(thirty.begin() + 12, thirty.begin() + 24);
    const Bytes part3(thirty.begin() + 24, thirty.end());
    std::vector<Step> manyWtx;
    manyWtx.push_back(FirstBlock({0xFA, 0x00, 0x3B}));
    for (int i = 0; i < 50; ++i) manyWtx.push_back(Card({0xFA, 0x00, 0x3B}, {0xFA, 0x00, 0x3B}));
    manyWtx.push_back(ReaderFails({0xFA, 0x00, 0x3B}, kCardTimeOut));
    const Bytes big = Count(0x40, 1021);

    return {
        // Sending.
        Case("30 bytes in three chained I-blocks, CID", thirty, 16, 1, 0, 10,
             {Card(Cat({{0x1A, 0x00}, part1}), {0xA2, 0x00}),
              Card(Cat({{0x1B, 0x00}, part2}), {0xA3, 0x00}),
              Card(Cat({{0x0A, 0x00}, part3}), {0x0A, 0x00, 0x90, 0x00})},
             KESTREL_OK, {0x90, 0x00}, 1, 0),
        Case("one I-block with CID, answer without CID", kRequest, 16, 1, 0, 2,
             {FirstBlock({0x02, 0x90, 0x00})}, KESTREL_OK, {0x90, 0x00}, 1, 0),
        Case("without CID, answer with CID", kRequest, 16, 0, 0, 2,
             {Card(Cat({{0x02}, kRequest}), {0x0A, 0x07, 0x91, 0x00})}, KESTREL_OK, {0x91, 0x00}, 1,
             0),
        Case("only bit 0 of the block number is read (0xFE)", kRequest, 16, 0, 0xFE, 2,
             {Card(Cat({{0x02}, kRequest}), {0x02, 0x91, 0x00})}, KESTREL_OK, {0x91, 0x00}, 1, 0),
        Case("smallest frame size with CID: one byte per block", {0x11, 0x22}, 5, 1, 0, 2,
             {Card({0x1A, 0x00, 0x11}, {0xA2, 0x00}), Card({0x0B, 0x00, 0x22}, {0x0B, 0x00, 0x90})},
             KESTREL_OK, {0x90}, 0, 0),
        Case("smallest frame size without CID", {0x11, 0x22}, 4, 0, 0, 1,
             {Card({0x12, 0x11}, {0xA2}), Card({0x03, 0x22}, {0x03, 0x90})}, KESTREL_OK, {0x90}, 0,
             0),
        Case("largest frame size, largest block", kRequest, 1024, 1, 0, 1022,
             {FirstBlock(Cat({{0x0A, 0x00}, Count(0x40, 1022)}))}, KESTREL_OK, Count(0x40, 1022), 1,
             0),
        Case("card answers during the send chain: taken as the answer", thirty, 16, 1, 0, 4,
             {Card(Cat({{0x1A, 0x00}, part1}), {0x0A, 0x00, 0x6A, 0x80})}, KESTREL_OK, {0x6A, 0x80},
             1, 0),

        // Waiting-time extension.
        Case("two WTX requests answered with the card's WTXM", kRequest, 16, 1, 0, 2,
             {FirstBlock({0xFA, 0x00, 0x01}), Card({0xFA, 0x00, 0x01}, {0xFA, 0x00, 0x01}),
              Card({0xFA, 0x00, 0x01}, kOkAnswer)},
             KESTREL_OK, {0x90, 0x00}, 1, 0),
        Case("WTXM masked to six bits, from the third byte with CID", kRequest, 16, 1, 0, 2,
             {FirstBlock({0xFA, 0x00, 0xC5}), Card({0xFA, 0x00, 0x05}, kOkAnswer)}, KESTREL_OK,
             {0x90, 0x00}, 1, 0),
        Case("WTXM from the second byte without CID", kRequest, 16, 0, 0, 2,
             {Card(Cat({{0x02}, kRequest}), {0xF2, 0xFF}), Card({0xF2, 0x3F}, {0x02, 0x90, 0x00})},
             KESTREL_OK, {0x90, 0x00}, 1, 0),
        Case("WTXM position follows this side's CID flag, not the card's", kRequest, 16, 0, 0, 2,
             {Card(Cat({{0x02}, kRequest}), {0xFA, 0x07, 0x01}),
              Card({0xF2, 0x07}, {0x02, 0x90, 0x00})},
             KESTREL_OK, {0x90, 0x00}, 1, 0),
        Case(
            "WTX in the middle of a send chain", thirty, 16, 1, 0, 2,
            {Card(Cat({{0x1A, 0x00}, part1}), {0xFA, 0x00, 0x02}),
             Card({0xFA, 0x00, 0x02}, {0xA2, 0x00}), Card(Cat({{0x1B, 0x00}, part2}), {0xA3, 0x00}),
             Card(Cat({{0x0A, 0x00}, part3}), {0x0A, 0x00, 0x90, 0x00})},
            KESTREL_OK, {0x90, 0x00}, 1, 0),
        Case("a card that never stops asking for WTX: ends with the reader's failure", kRequest, 16,
             1, 0, 2, manyWtx, KESTREL_ERR_FRAME_CARD_TIMEOUT, {}, 0, 0),

        // Receiving.
        Case("chained answer of three I-blocks", kRequest, 16, 1, 0, 5,
             {FirstBlock({0x1A, 0x00, 1, 2}), Card({0xAB, 0x00}, {0x1B, 0x00, 3, 4}),
              Card({0xAA, 0x00}, {0x0A, 0x00, 5})},
             KESTREL_OK, {1, 2, 3, 4, 5}, 1, 0),
        Case("chained answer without CID", kRequest, 16, 0, 1, 3,
             {Card(Cat({{0x03}, kRequest}), {0x13, 1}), Card({0xA2}, {0x12, 2}),
              Card({0xA3}, {0x03, 3})},
             KESTREL_OK, {1, 2, 3}, 0, 0),
        Case("R(ACK) numbers follow the card's blocks", kRequest, 16, 1, 0, 2,
             {FirstBlock({0x1B, 0x00, 1}), Card({0xAA, 0x00}, {0x0B, 0x00, 2})}, KESTREL_OK, {1, 2},
             0, 0),
        Case("last chunk acknowledged by R(ACK): answer fetched with the complement of its number",
             kRequest, 16, 1, 0, 2,
             {FirstBlock({0xA2, 0x00}), Card({0xAB, 0x00}, {0x0B, 0x00, 0x90, 0x00})}, KESTREL_OK,
             {0x90, 0x00}, 0, 0),
        Case("... also when the card's R(ACK) carries the other number", kRequest, 16, 1, 0, 2,
             {FirstBlock({0xA3, 0x00}), Card({0xAA, 0x00}, {0x0A, 0x00, 0x90, 0x00})}, KESTREL_OK,
             {0x90, 0x00}, 0, 0),
        Case("empty request: the answer is fetched with the current number", {}, 16, 1, 1, 2,
             {Card({0xAB, 0x00}, {0x0B, 0x00, 0x6A, 0x82})}, KESTREL_OK, {0x6A, 0x82}, 0, 0),
        Case("empty answer message", kRequest, 16, 1, 0, 0, {FirstBlock({0x0A, 0x00})}, KESTREL_OK,
             {}, 1, 0),
        Case(
            "large answer over many blocks", kRequest, 64, 1, 0, 1021,
            [&] {
                std::vector<Step> s;
                size_t at = 0;
                uint8_t n = 0;
                Bytes sent = Cat({{0x0A, 0x00}, kRequest});
                while (at < big.size()) {
                    const size_t take = std::min<size_t>(62, big.size() - at);
                    const bool more = at + take < big.size();
                    Bytes block = {static_cast<uint8_t>(0x0A | (more ? 0x10 : 0) | n), 0x00};
                    block.insert(block.end(), big.begin() + at, big.begin() + at + take);
                    s.push_back(Card(sent, block));
                    sent = {static_cast<uint8_t>(0xAA | (n ^ 1)), 0x00};
                    n ^= 1;
                    at += take;
                }
                return s;
            }(),
            KESTREL_OK, big, 1, 0),

        // Blocks that end the exchange.
        Case("I-block with NAD", kRequest, 16, 1, 0, 4,
             {FirstBlock({0x0E, 0x00, 0x01, 0x90, 0x00})}, KESTREL_ERR_OPERATION_ABORTED, {}, 0, 0),
        Case("S(DESELECT) after a WTX", kRequest, 16, 1, 0, 4,
             {FirstBlock({0xFA, 0x00, 0x01}), Card({0xFA, 0x00, 0x01}, {0xCA, 0x00})},
             KESTREL_ERR_OPERATION_ABORTED, {}, 0, 0),
        Case("WTX while receiving", kRequest, 16, 1, 0, 4,
             {FirstBlock({0x1A, 0x00, 1}), Card({0xAB, 0x00}, {0xFA, 0x00, 0x01})},
             KESTREL_ERR_OPERATION_ABORTED, {}, 0, 0),
        Case("R(ACK) while receiving", kRequest, 16, 1, 0, 4,
             {FirstBlock({0x1A, 0x00, 1}), Card({0xAB, 0x00}, {0xAB, 0x00})},
             KESTREL_ERR_OPERATION_ABORTED, {}, 0, 0),

        // Capacity.
        Case("answer one byte longer than the capacity", kRequest, 16, 1, 0, 1,
             {FirstBlock(kOkAnswer)}, KESTREL_ERR_READING_TOO_MUCH, {}, 0, 0),
        Case("chained answer one byte longer than the capacity", kRequest, 16, 1, 0, 4,
             {FirstBlock({0x1A, 0x00, 1, 2}), Card({0xAB, 0x00}, {0x1B, 0x00, 3, 4}),
              Card({0xAA, 0x00}, {0x0A, 0x00, 5})},
             KESTREL_ERR_READING_TOO_MUCH, {}, 0, 0),

        // Blocks shorter than their own header.
        Case("empty answer block", kRequest, 16, 1, 0, 4, {FirstBlock({})},
             KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, {}, 0, 0),
        Case("I-block with the CID bit and no CID", kRequest, 16, 1, 0, 4, {FirstBlock({0x0A})},
             KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, {}, 0, 0),
        Case("R(ACK) with the CID bit and no CID", kRequest, 16, 1, 0, 4, {FirstBlock({0xAA})},
             KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, {}, 0, 0),
        Case("WTX without WTXM (CID)", kRequest, 16, 1, 0, 4, {FirstBlock({0xFA, 0x00})},
             KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, {}, 0, 0),
        Case("WTX with its CID bit and no WTXM after the CID", kRequest, 16, 0, 0, 4,
             {Card(Cat({{0x02}, kRequest}), {0xFA, 0x01})}, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT,
             {}, 0, 0),
        Case("empty block while receiving", kRequest, 16, 1, 0, 4,
             {FirstBlock({0x1A, 0x00, 1}), Card({0xAB, 0x00}, {})},
             KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, {}, 0, 0),

        // Failed exchanges and the retry.
        Case("failed I-block retried once with R(NAK) after a pause", kRequest, 16, 1, 0, 2,
             {ReaderFails(Cat({{0x0A, 0x00}, kRequest}), kCardTimeOut),
              Card({0xBA, 0x00}, kOkAnswer)},
             KESTREL_OK, {0x90, 0x00}, 1, 1),
        Case("link failure retried too", kRequest, 16, 0, 0, 2,
             {LinkFails(Cat({{0x02}, kRequest})), Card({0xB2}, {0x02, 0x90, 0x00})}, KESTREL_OK,
             {0x90, 0x00}, 1, 1),
        Case("R(NAK) keeps the chaining bit of the failed block (0x1B -> 0xBB)", thirty, 16, 1, 1,
             2,
             {ReaderFails(Cat({{0x1B, 0x00}, part1}), kNoCard), Card({0xBB, 0x00}, {0xA3, 0x00}),
              Card(Cat({{0x1A, 0x00}, part2}), {0xA2, 0x00}),
              Card(Cat({{0x0B, 0x00}, part3}), {0x0B, 0x00, 0x90, 0x00})},
             KESTREL_OK, {0x90, 0x00}, 0, 1),
        Case("card block longer than the frame size while sending: retried", kRequest, 16, 1, 0, 20,
             {FirstBlock(Cat({{0x0A, 0x00}, Count(0, 15)})), Card({0xBA, 0x00}, kOkAnswer)},
             KESTREL_OK, {0x90, 0x00}, 1, 1),
        Case("each chunk has its own retry", thirty, 16, 1, 0, 2,
             {ReaderFails(Cat({{0x1A, 0x00}, part1}), kNoCard), Card({0xBA, 0x00}, {0xA2, 0x00}),
              ReaderFails(Cat({{0x1B, 0x00}, part2}), kNoCard), Card({0xBB, 0x00}, {0xA3, 0x00}),
              Card(Cat({{0x0A, 0x00}, part3}), kOkAnswer)},
             KESTREL_OK, {0x90, 0x00}, 1, 2),
        Case("retry fails too: its result", kRequest, 16, 1, 0, 2,
             {LinkFails(Cat({{0x0A, 0x00}, kRequest})), ReaderFails({0xBA, 0x00}, kNoCard)},
             KESTREL_ERR_NO_CARD, {}, 0, 1),
        Case("failure in the middle of a receive chain: no retry", kRequest, 16, 1, 0, 8,
             {FirstBlock({0x1A, 0x00, 1, 2}), ReaderFails({0xAB, 0x00}, kCardTimeOut)},
             KESTREL_ERR_FRAME_CARD_TIMEOUT, {}, 0, 0),
        Case(
            "card block longer than the frame size while receiving: returned at once", kRequest, 16,
            1, 0, 40,
            {FirstBlock({0x1A, 0x00, 1, 2}), Card({0xAB, 0x00}, Cat({{0x0B, 0x00}, Count(0, 15)}))},
            KESTREL_ERR_WRONG_PARAMETER, {}, 0, 0),
        Case("failed reply to a WTX: no retry", kRequest, 16, 1, 0, 2,
             {FirstBlock({0xFA, 0x00, 0x01}), LinkFails({0xFA, 0x00, 0x01})},
             KESTREL_ERR_RS232_WRITE, {}, 0, 0),
    };
}

TEST_F(TclProtocolTest, TclExchangeScenarios) {
    for (const ExchangeCase& c : ExchangeCases()) {
        ExpectCardTimeOut();
        for (const Step& s : c.steps) ExpectStep(s);
        // The caller's buffer has exactly the capacity, with guard bytes around it.
        Bytes buffer(c.capacity + 2u, kGuard);
        uint16_t length = c.capacity;
        uint8_t number = c.blockNumber;
        const Result r = Exchange(c.request.data(), static_cast<uint16_t>(c.request.size()),
                                  buffer.data() + 1, &length, c.frameSize, c.cidFlag, &number);
        EXPECT_EQ(r, c.expected) << c.name;
        EXPECT_EQ(buffer.front(), kGuard) << c.name;
        EXPECT_EQ(buffer.back(), kGuard) << c.name;
        if (c.expected == KESTREL_OK) {
            EXPECT_EQ(Bytes(buffer.begin() + 1, buffer.begin() + 1 + length), c.answer) << c.name;
            EXPECT_EQ(number, c.blockNumberAfter) << c.name;
        } else {
            // Neither the length nor the block number changes on failure.
            EXPECT_EQ(length, c.capacity) << c.name;
            EXPECT_EQ(number, c.blockNumber) << c.name;
        }
        EXPECT_EQ(pauses, std::vector<uint32_t>(c.pauses, 1000)) << c.name;
        CheckTraffic(c.name);
    }
}

// A failed message leaves the caller's buffer untouched where nothing had arrived yet.
TEST_F(TclProtocolTest, TclExchangeCopiesNothingBeforeTheAnswerIsAccepted) {
    const struct {
        const char* name;
        Bytes block;
    } cases[] = {
        {"too long", {0x0A, 0x00, 1, 2, 3}},
        {"no CID byte", {0x0A}},
    };
    for (const auto& c : cases) {
        ExpectCardTimeOut();
        Expect(0x03, BlockParams(Cat({{0x0A, 0x00}, kRequest})), kOk, c.block);
        Bytes buffer(4, kGuard);
        uint16_t length = 2;
        uint8_t number = 0;
        EXPECT_NE(Exchange(kRequest.data(), 5, buffer.data() + 1, &length, 16, 1, &number),
                  KESTREL_OK)
            << c.name;
        EXPECT_EQ(buffer, Bytes(4, kGuard)) << c.name;
        CheckTraffic(c.name);
    }
}

TEST_F(TclProtocolTest, TclExchangeSendsTheCardTimeOutFirst) {
    // The card time-out goes out before every message; its failure ends the call.
    ExpectCardTimeOut(Le32(0x01020304), kNoCard);
    uint8_t answer[4];
    uint16_t length = 4;
    uint8_t number = 1;
    EXPECT_EQ(Exchange(kRequest.data(), 5, answer, &length, 16, 1, &number, 0x01020304),
              KESTREL_ERR_NO_CARD);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(number, 1);
    CheckTraffic("card time-out refused");
}

// Frame sizes without room for an information field, or beyond the block buffer, and
// missing pointers are refused before anything is sent.
TEST_F(TclProtocolTest, TclExchangeRefusesBadArgumentsWithoutTraffic) {
    uint8_t answer[4];
    uint16_t length = 4;
    uint8_t number = 0;
    const uint8_t* request = kRequest.data();
    auto call = [&](const uint8_t* req, uint8_t* out, uint16_t* len, uint16_t frameSize,
                    uint8_t cidFlag) {
        return Exchange(req, 5, out, len, frameSize, cidFlag, &number);
    };
    const struct {
        uint16_t frameSize;
        uint8_t cidFlag;
    } sizes[] = {{0, 0}, {3, 0}, {4, 1}, {1025, 1}, {0xFFFF, 0}};
    for (const auto& s : sizes) {
        EXPECT_EQ(call(request, answer, &length, s.frameSize, s.cidFlag),
                  KESTREL_ERR_WRONG_PARAMETER)
            << s.frameSize;
    }
    EXPECT_EQ(call(request, answer, nullptr, 16, 1), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(channel.Exchange(nullptr, 16, request, 5, answer, &length, kTimeOut),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(call(nullptr, answer, &length, 16, 1), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(call(request, nullptr, &length, 16, 1), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(number, 0);
    CheckTraffic("refused");

    // A null answer buffer is fine without room, and a null request without bytes.
    length = 0;
    ExpectCardTimeOut();
    Expect(0x03, BlockParams({0xAA, 0x00}), kOk, {0x0A, 0x00});
    EXPECT_EQ(Exchange(nullptr, 0, nullptr, &length, 16, 1, &number), KESTREL_OK);
    EXPECT_EQ(number, 1);
    CheckTraffic("nothing each way");
}

// Presence check.

TEST_F(TclProtocolTest, TclPingSendsRNakAndKeepsTheBlockNumber) {
    const struct {
        const char* name;
        uint8_t cidFlag;
        uint8_t number;
        Bytes block;
    } cases[] = {
        {"CID, number 1", 1, 1, {0xBB, 0x00}},
        {"no CID, only bit 0 of 0xFE", 0, 0xFE, {0xB2}},
        {"no CID, only bit 0 of 0x03", 0, 0x03, {0xB3}},
    };
    for (const auto& c : cases) {
        ExpectCardTimeOut();
        Expect(0x03, BlockParams(c.block), kOk, {0xA2, 0x05});
        const uint8_t number = c.number;
        EXPECT_EQ(TclProtocol(reader, 0, Cid(c.cidFlag), kTimeOut, number).Ping(16), KESTREL_OK)
            << c.name;
        EXPECT_EQ(number, c.number) << c.name;
        CheckTraffic(c.name);
    }

    const uint8_t number = 0;
    // The card time-out failure is returned, nothing else sent.
    ExpectCardTimeOut(kTimeOutBytes, kNoCard);
    EXPECT_EQ(channel.Ping(&number, 16, kTimeOut), KESTREL_ERR_NO_CARD);
    CheckTraffic("time-out refused");
    // The exchange's result, the answer dropped.
    ExpectCardTimeOut();
    Expect(0x03, BlockParams({0xBA, 0x00}), kCardTimeOut);
    EXPECT_EQ(channel.Ping(&number, 16, kTimeOut), KESTREL_ERR_FRAME_CARD_TIMEOUT);
    CheckTraffic("no answer");
    ExpectCardTimeOut();
    Expect(0x03, BlockParams({0xBA, 0x00}), kOk, {0xA2, 0x00, 0x00});
    EXPECT_EQ(channel.Ping(&number, 2, kTimeOut), KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("answer beyond the capacity");
    EXPECT_EQ(channel.Ping(nullptr, 16, kTimeOut), KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("no block number");
}

// The local buffer holds 1024 bytes: a larger capacity cannot let an answer overrun it.
TEST_F(TclProtocolTest, TclPingCapacityBeyondItsBuffer) {
    const uint8_t number = 0;
    const struct {
        size_t answer;
        Result expected;
    } cases[] = {{1024, KESTREL_OK}, {1025, KESTREL_ERR_WRONG_PARAMETER}};
    for (const auto& c : cases) {
        ExpectCardTimeOut();
        Expect(0x03, BlockParams({0xBA, 0x00}), kOk, Bytes(c.answer, 0xA2));
        EXPECT_EQ(channel.Ping(&number, 0xFFFF, kTimeOut), c.expected) << c.answer;
        CheckTraffic(std::to_string(c.answer));
    }
}

// Deselection: the card time-out first, then S(DESELECT); the card channel sends the reader's
// exchange time-out as the card time-out.
TEST_F(TclProtocolTest, Deselect) {
    auto deselect = [&](uint8_t cidFlag, uint8_t* out, uint16_t* length) {
        return TclProtocol(reader, 0, Cid(cidFlag), 750, 0).Deselect(out, length);
    };
    uint8_t answer[4] = {kGuard, kGuard, kGuard, kGuard};
    uint16_t length = 2;
    ExpectCardTimeOut(Le32(2000));
    Expect(0x03, BlockParams({0xC2}), kOk, {0xC2});
    EXPECT_EQ(channel.Deselect(2), KESTREL_OK);
    CheckTraffic("channel");
    ExpectCardTimeOut(Le32(750));
    Expect(0x03, BlockParams({0xC2}), kOk, {0xC2});
    EXPECT_EQ(deselect(0, answer + 1, &length), KESTREL_OK);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(Bytes(answer, answer + 4), (Bytes{kGuard, 0xC2, kGuard, kGuard}));
    CheckTraffic("no CID");

    ASSERT_EQ(reader.SetTimeOut(750, nullptr), KESTREL_OK);
    ExpectCardTimeOut(Le32(750));
    Expect(0x03, BlockParams({0xC2}), kOk, {0xC2});
    EXPECT_EQ(channel.Deselect(2), KESTREL_OK);
    CheckTraffic("channel, changed time-out");
    length = 2;
    ExpectCardTimeOut(Le32(750));
    Expect(0x03, BlockParams({0xCA, 0x00}), kOk, {0xCA, 0x00});
    EXPECT_EQ(deselect(1, answer + 1, &length), KESTREL_OK);
    CheckTraffic("CID");

    length = 2;
    ExpectCardTimeOut(Le32(750), kNoCard);
    EXPECT_EQ(deselect(0, answer + 1, &length), KESTREL_ERR_NO_CARD);
    CheckTraffic("time-out refused");
    std::fill(answer, answer + 4, kGuard);
    length = 1;
    ExpectCardTimeOut(Le32(750));
    Expect(0x03, BlockParams({0xC2}), kOk, {0xCA, 0x00});
    EXPECT_EQ(deselect(0, answer + 1, &length), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(Bytes(answer, answer + 4), Bytes(4, kGuard));
    CheckTraffic("answer beyond the capacity");
    EXPECT_EQ(deselect(0, answer, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    length = 1;
    EXPECT_EQ(deselect(0, nullptr, &length), KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("missing pointers");
}

// Activation for ISO/IEC 14443-4: ActivateIdle (after an RF reset for the second form), the
// SAK's ISO 14443-4 bit, then RATS.
TEST_F(TclProtocolTest, RequestAtsActivation) {
    const Bytes activation = {0x44, 0x03, 0x20, 7, 0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    const Bytes ats = {0x06, 0x75, 0x77, 0x81, 0x02, 0x80};
    for (const AtsActivation a : {AtsActivation::kIdle, AtsActivation::kAfterRfReset}) {
        const std::string name = a == AtsActivation::kIdle ? "idle" : "after RF reset";
        auto expectActivation = [&](uint8_t status, const Bytes& answer) {
            if (a == AtsActivation::kAfterRfReset) Expect(0x20, {0x19, 0x00});
            Expect(0x43, {0x00}, status, answer);
        };
        Bytes buffer(10, kGuard);
        uint16_t length = 8;

        expectActivation(kOk, activation);
        Expect(0xE7, {0x50}, kOk, ats);
        EXPECT_EQ(RequestAts(reader, reader, a, 0x50, buffer.data() + 1, &length), KESTREL_OK)
            << name;
        EXPECT_EQ(length, 6) << name;
        EXPECT_EQ(buffer, Cat({{kGuard}, ats, {kGuard, kGuard, kGuard}})) << name;
        CheckTraffic(name);

        // A card without ISO 14443-4 gets no RATS.
        buffer.assign(10, kGuard);
        length = 8;
        expectActivation(kOk, {0x04, 0x00, 0x08, 4, 1, 2, 3, 4});
        EXPECT_EQ(RequestAts(reader, reader, a, 0x50, buffer.data() + 1, &length),
                  KESTREL_ERR_ISO14443_4_NOT_SUPPORTED)
            << name;
        // No card: the activation's failure as it is.
        expectActivation(kNoCard, {});
        EXPECT_EQ(RequestAts(reader, reader, a, 0x50, buffer.data() + 1, &length),
                  KESTREL_ERR_NO_CARD)
            << name;
        EXPECT_EQ(length, 8) << name;
        EXPECT_EQ(buffer, Bytes(10, kGuard)) << name;
        // Missing pointers: nothing sent.
        EXPECT_EQ(RequestAts(reader, reader, a, 0x50, buffer.data(), nullptr),
                  KESTREL_ERR_WRONG_PARAMETER);
        EXPECT_EQ(RequestAts(reader, reader, a, 0x50, nullptr, &length),
                  KESTREL_ERR_WRONG_PARAMETER);
        CheckTraffic(name + ", failures");
    }
    // The RF reset's failure ends it.
    Expect(0x20, {0x19, 0x00}, kNoCard);
    uint8_t ats1[4];
    uint16_t length = 4;
    EXPECT_EQ(RequestAts(reader, reader, AtsActivation::kAfterRfReset, 0, ats1, &length),
              KESTREL_ERR_NO_CARD);
    CheckTraffic("RF reset fails");
}

TEST(Iso14443_4Classify, Pcbs) {
    const struct {
        uint8_t pcb;
        BlockKind kind;
    } cases[] = {
        {0xA2, BlockKind::kAck},         {0xA3, BlockKind::kAck},
        {0xAA, BlockKind::kAck},         {0xAB, BlockKind::kAck},
        {0xF2, BlockKind::kWtx},         {0xFA, BlockKind::kWtx},
        {0x02, BlockKind::kInformation}, {0x03, BlockKind::kInformation},
        {0x1A, BlockKind::kInformation}, {0x1B, BlockKind::kInformation},
        {0x00, BlockKind::kInformation}, {0x06, BlockKind::kOther},
        {0xB2, BlockKind::kOther},       {0xBA, BlockKind::kOther},
        {0xC2, BlockKind::kOther},       {0xCA, BlockKind::kOther},
        {0x22, BlockKind::kOther},       {0x42, BlockKind::kOther},
        {0x82, BlockKind::kOther},       {0xF3, BlockKind::kOther},
    };
    for (const auto& c : cases) EXPECT_EQ(Classify(c.pcb), c.kind) << static_cast<int>(c.pcb);
}

}  // namespace
}  // namespace kestrel::iso14443_4
