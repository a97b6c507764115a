// ISO/IEC 14443-4 cards in the virtual reader: RATS and ATS, PPS over ExchangeTimed, and the
// card's side of the block protocol over ExchangeBlock, byte by byte.
#include <gtest/gtest.h>

#include <functional>

#include "kestrel_sim/cards/iso14443_4/iso14443_4_card.h"
#include "kestrel_sim/helpers/hex.h"
#include "sim/iso_host.h"

namespace kestrel::sim {
namespace {

const Bytes kUid = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
// FSCI 5 (64 bytes); TA 77: 2, 4 and 8 times the base rate both ways; TB 81; TC 02: CID, no NAD.
const Bytes kAts = {0x06, 0x75, 0x77, 0x81, 0x02, 0x80};

// A card whose answer to every message the test chooses; it records the messages.
class ScriptedCard : public Iso14443_4Card {
  public:
    explicit ScriptedCard(Bytes ats = kAts)
        : Iso14443_4Card("scripted", kUid, 0x0344, 0x20, std::move(ats)) {}

    std::function<Bytes(const Bytes&)> answer = [](const Bytes& message) {
        return test::Concat({message, {0x90, 0x00}});
    };
    std::vector<Bytes> messages;

  protected:
    Bytes HandleMessage(const Bytes& message) override {
        messages.push_back(message);
        return answer(message);
    }
};

Bytes Range(uint8_t first, size_t count) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

class Iso14443_4Test : public ::testing::Test {
  protected:
    Iso14443_4Test() : host_(reader_) {
        auto card = std::make_unique<ScriptedCard>();
        card_ = card.get();
        reader_.AddCard(std::move(card));
    }
    std::optional<CardState> State() { return reader_.StateOf(kUid); }
    // ExchangeTimed with flag and frame; the reader's answer.
    test::Reply Timed(const Bytes& frame, uint8_t flag = 0x01) {
        Bytes params = {static_cast<uint8_t>(frame.size()), 0x00, flag, 0xE8, 0x03, 0x00, 0x00};
        params.insert(params.end(), frame.begin(), frame.end());
        return host_.host().Exchange(command::kExchangeTimed, params).value();
    }

    VirtualReader reader_;
    test::IsoHost host_;
    ScriptedCard* card_ = nullptr;
};

TEST_F(Iso14443_4Test, RatsAnswersTheAtsAndStartsTheProtocol) {
    ASSERT_EQ(host_.host().Status(command::kActivateIdle, {0}), status::kOk);
    EXPECT_EQ(card_->phase(), Iso14443_4Card::Phase::kWaitRats);
    const std::optional<test::Reply> ats = host_.host().Exchange(command::kRequestAts, {0x52});
    ASSERT_TRUE(ats);
    EXPECT_EQ(ats->status, status::kOk);
    EXPECT_EQ(ats->data, (Bytes{0x06, 0x75, 0x77, 0x81, 0x02, 0x80}));
    EXPECT_EQ(card_->phase(), Iso14443_4Card::Phase::kWaitPps);
    EXPECT_EQ(card_->blocks().Fsd(), 64u);
    EXPECT_EQ(card_->blocks().Cid(), 2);
    EXPECT_EQ(card_->blocks().BlockNumber(), 1);
    EXPECT_EQ(card_->blocks().options().fsc, 64u);  // FSCI 5 in the ATS

    // RATS is answered once; in the protocol it is no block at all.
    EXPECT_EQ(host_.host().Status(command::kRequestAts, {0x52}), status::kCardTimeOut);
    EXPECT_EQ(State(), CardState::kActive);
    EXPECT_EQ(card_->phase(), Iso14443_4Card::Phase::kProtocol);
}

TEST_F(Iso14443_4Test, RatsWithCid15OrAnotherFrameFirstSendsTheCardBack) {
    ASSERT_EQ(host_.host().Status(command::kActivateIdle, {0}), status::kOk);
    EXPECT_EQ(host_.host().Status(command::kRequestAts, {0x5F}), status::kCardTimeOut);
    EXPECT_EQ(State(), CardState::kIdle);

    ASSERT_EQ(host_.host().Status(command::kActivateIdle, {0}), status::kOk);
    EXPECT_FALSE(host_.Block({0x02, 0x01}));  // a block before RATS
    EXPECT_EQ(host_.lastStatus(), status::kCardTimeOut);
    EXPECT_EQ(State(), CardState::kIdle);
    EXPECT_TRUE(card_->messages.empty());
}

TEST_F(Iso14443_4Test, ReaderCommandsWithoutAnIsoCard) {
    // No active card.
    EXPECT_EQ(host_.host().Status(command::kRequestAts, {0x50}), status::kNoCard);
    EXPECT_EQ(host_.host().Status(command::kExchangeBlock, {0x1E, 0x01, 0x00, 0x02}),
              status::kNoCard);
    // A card without ISO/IEC 14443-4 does not understand the frames and drops back.
    const Bytes classicUid = {0x0A, 0x0B, 0x0C, 0x0D};
    reader_.RemoveCard(kUid);
    reader_.AddCard(MakeCard(*FindCardProfile("classic1k"), classicUid));
    const struct {
        uint8_t code;
        Bytes params;
    } cases[] = {{command::kExchangeBlock, {0x1E, 0x02, 0x00, 0x02, 0x01}},
                 {command::kRequestAts, {0x50}},
                 {command::kExchangeTimed, {0x04, 0x00, 0x01, 0, 0, 0, 0, 0xE0, 0x50, 0, 0}}};
    for (const auto& c : cases) {
        ASSERT_EQ(host_.host().Status(command::kActivateIdle, {0}), status::kOk);
        EXPECT_EQ(host_.host().Status(c.code, c.params), status::kCardTimeOut) << int(c.code);
        EXPECT_EQ(reader_.StateOf(classicUid), CardState::kIdle) << int(c.code);
    }
    EXPECT_FALSE(reader_.RequestWaitingTimeExtensions(classicUid, 1, 1));
}

TEST_F(Iso14443_4Test, MalformedReaderParametersAreRefused) {
    ASSERT_TRUE(host_.Activate(0x50));
    const struct {
        uint8_t code;
        Bytes params;
    } cases[] = {
        {command::kExchangeBlock, {}},
        {command::kExchangeBlock, {0x1E, 0x00}},
        {command::kExchangeBlock, {0x1E, 0x00, 0x00}},              // empty block
        {command::kExchangeBlock, {0x1E, 0x02, 0x00, 0x02}},        // one byte short
        {command::kExchangeBlock, {0x1E, 0x01, 0x00, 0x02, 0x01}},  // one byte too many
        {command::kRequestAts, {}},
        {command::kRequestAts, {0x50, 0x00}},
        {command::kExchangeTimed, {0x03, 0x00, 0x01, 0, 0, 0}},                 // short header
        {command::kExchangeTimed, {0x02, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x00}},  // CRC field only
        {command::kExchangeTimed, {0x03, 0x00, 0x02, 0, 0, 0, 0, 0x02, 0, 0}},  // unknown flag
        {command::kExchangeTimed, {0x04, 0x00, 0x01, 0, 0, 0, 0, 0x02, 0, 0}},  // length
    };
    for (const auto& c : cases) {
        EXPECT_EQ(host_.host().Status(c.code, c.params), status::kBadParameter)
            << int(c.code) << " " << ToHex(c.params);
    }
    EXPECT_TRUE(card_->messages.empty());
    EXPECT_EQ(card_->blocks().BlockNumber(), 1);
}

// The FSDI of RATS sets the frame size of the card's answers: a long answer goes out in blocks
// of FSD - 2 bytes (no CRC through the reader).
struct FsdCase {
    uint8_t fsdi;
    size_t blockSize;
};
class FsdTest : public Iso14443_4Test, public ::testing::WithParamInterface<FsdCase> {};

TEST_P(FsdTest, AnswerBlocksFillTheHostsFrameSize) {
    const FsdCase c = GetParam();
    card_->answer = [](const Bytes&) { return Bytes(600, 0x5A); };
    ASSERT_TRUE(host_.Activate(static_cast<uint8_t>(c.fsdi << 4)));
    const std::optional<Bytes> first = host_.Block({0x02, 0x01});
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), c.blockSize);
    EXPECT_EQ((*first)[0], 0x12);
    EXPECT_EQ(card_->blocks().Fsd(), c.blockSize + 2);
}

INSTANTIATE_TEST_SUITE_P(Fsdi, FsdTest,
                         ::testing::Values(FsdCase{0, 14}, FsdCase{1, 22}, FsdCase{2, 30},
                                           FsdCase{3, 38}, FsdCase{4, 46}, FsdCase{5, 62},
                                           FsdCase{6, 94}, FsdCase{7, 126}, FsdCase{8, 254},
                                           FsdCase{9, 254}, FsdCase{15, 254}),
                         [](const auto& info) { return "fsdi" + std::to_string(info.param.fsdi); });

// PPS through ExchangeTimed: the reader puts the CRC_A into the frame's last two bytes, and the
// answer comes back with its length and its CRC_A.
struct PpsCase {
    const char* name;
    Bytes frame;  // without the CRC field
    bool answered;
    uint8_t dsi, dri;
};
class PpsTest : public Iso14443_4Test, public ::testing::WithParamInterface<PpsCase> {};

TEST_P(PpsTest, PpsDirectlyAfterTheAts) {
    const PpsCase c = GetParam();
    ASSERT_TRUE(host_.Activate(0x50));
    const test::Reply reply = Timed(test::Concat({c.frame, {0x00, 0x00}}));
    if (c.answered) {
        ASSERT_EQ(reply.status, status::kOk);
        EXPECT_EQ(reply.data,
                  test::Concat({{0x03, 0x00, c.frame[0]}, test::CrcABytes({c.frame[0]})}));
        EXPECT_EQ(card_->phase(), Iso14443_4Card::Phase::kProtocol);
    } else {
        EXPECT_EQ(reply.status, status::kCardTimeOut);
        EXPECT_TRUE(reply.data.empty());
        EXPECT_EQ(card_->phase(), Iso14443_4Card::Phase::kWaitPps);
    }
    EXPECT_EQ(card_->Dsi(), c.dsi);
    EXPECT_EQ(card_->Dri(), c.dri);
    // Whatever happened, blocks work afterwards.
    EXPECT_EQ(host_.Block({0x02, 0x07}), (Bytes{0x02, 0x07, 0x90, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, PpsTest,
    ::testing::Values(PpsCase{"dsi1_dri1", {0xD0, 0x11, 0x05}, true, 1, 1},
                      PpsCase{"dsi3_dri2", {0xD0, 0x11, 0x0E}, true, 3, 2},
                      PpsCase{"no_pps1", {0xD0, 0x01}, true, 0, 0},
                      PpsCase{"other_cid", {0xD1, 0x11, 0x05}, false, 0, 0},
                      PpsCase{"rfu_bits", {0xD0, 0x11, 0x15}, false, 0, 0},
                      PpsCase{"pps0_without_pps1", {0xD0, 0x11}, false, 0, 0},
                      PpsCase{"pps1_not_announced", {0xD0, 0x01, 0x05}, false, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Iso14443_4Test, PpsOnlyForBitRatesTheAtsOffers) {
    // T0 0x05: FSCI 5 and no interface bytes, so only the base rate.
    reader_.RemoveCard(kUid);
    auto card = std::make_unique<ScriptedCard>(Bytes{0x02, 0x05});
    card_ = card.get();
    reader_.AddCard(std::move(card));
    ASSERT_TRUE(host_.Activate(0x50));
    EXPECT_EQ(Timed({0xD0, 0x11, 0x04, 0x00, 0x00}).status, status::kCardTimeOut);  // DSI 1
    EXPECT_EQ(Timed({0xD0, 0x11, 0x01, 0x00, 0x00}).status, status::kCardTimeOut);  // DRI 1
    EXPECT_EQ(Timed({0xD0, 0x11, 0x00, 0x00, 0x00}).status, status::kOk);
}

TEST_F(Iso14443_4Test, PpsAfterTheFirstBlockIsNoBlock) {
    ASSERT_TRUE(host_.Activate(0x50));
    ASSERT_TRUE(host_.Block({0x02, 0x01}));
    EXPECT_EQ(Timed({0xD0, 0x11, 0x05, 0x00, 0x00}).status, status::kCardTimeOut);
    EXPECT_EQ(card_->Dsi(), 0);
}

TEST_F(Iso14443_4Test, ExchangeTimedCarriesBlocksWithTheirCrc) {
    ASSERT_TRUE(host_.Activate(0x50));
    // Flag 0: the host brings the CRC itself; a wrong one is not received at all.
    const Bytes block = {0x02, 0x33};
    EXPECT_EQ(Timed(test::Concat({block, {0x00, 0x00}}), 0x00).status, status::kCardTimeOut);
    const test::Reply reply = Timed(test::Concat({block, test::CrcABytes(block)}), 0x00);
    ASSERT_EQ(reply.status, status::kOk);
    const Bytes answer = {0x02, 0x33, 0x90, 0x00};
    EXPECT_EQ(reply.data, test::Concat({{0x06, 0x00}, answer, test::CrcABytes(answer)}));
    EXPECT_EQ(card_->messages, (std::vector<Bytes>{{0x33}}));
}

// A block protocol conversation: each step is a block to the card and its answer (nullopt:
// the card stays silent).
struct Step {
    Bytes block;
    std::optional<Bytes> answer;
};
struct ScriptCase {
    const char* name;
    uint8_t rats;
    size_t answerLength;  // 0: the echo with 90 00; else that many bytes 0, 1, 2, ...
    std::vector<Step> steps;
    std::vector<Bytes> messages;  // what the card's message handler got
};
class BlockScriptTest : public Iso14443_4Test, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(BlockScriptTest, Conversation) {
    const ScriptCase& c = GetParam();
    if (c.answerLength != 0) {
        card_->answer = [&c](const Bytes&) { return Range(0, c.answerLength); };
    }
    ASSERT_TRUE(host_.Activate(c.rats));
    for (size_t i = 0; i < c.steps.size(); ++i) {
        const std::optional<Bytes> answer = host_.Block(c.steps[i].block);
        EXPECT_EQ(answer, c.steps[i].answer) << "step " << i << ": " << ToHex(c.steps[i].block);
        if (!c.steps[i].answer) {
            EXPECT_EQ(host_.lastStatus(), status::kCardTimeOut) << "step " << i;
        }
    }
    EXPECT_EQ(card_->messages, c.messages);
    EXPECT_EQ(State(), CardState::kActive);
}

const Bytes kPart1 = Range(0, 13);
const Bytes kPart2 = Range(13, 13);
const Bytes kPart3 = Range(26, 4);

INSTANTIATE_TEST_SUITE_P(
    Scripts, BlockScriptTest,
    ::testing::Values(
        ScriptCase{"numbers_alternate",
                   0x50,
                   0,
                   {{{0x02, 0x01, 0x02}, Bytes{0x02, 0x01, 0x02, 0x90, 0x00}},
                    {{0x03, 0x03}, Bytes{0x03, 0x03, 0x90, 0x00}},
                    {{0x02}, Bytes{0x02, 0x90, 0x00}}},
                   {{0x01, 0x02}, {0x03}, {}}},
        ScriptCase{"cid_echoed_and_checked",
                   0x52,
                   0,
                   {{{0x0A, 0x02, 0x01}, Bytes{0x0A, 0x02, 0x01, 0x90, 0x00}},
                    {{0x0B, 0x03, 0x02}, std::nullopt},  // another card's CID
                    {{0x03, 0x02}, std::nullopt},        // no CID, but the card has CID 2
                    {{0x0B}, std::nullopt},              // CID bit without the CID
                    {{0x0B, 0x42, 0x03}, Bytes{0x0B, 0x02, 0x03, 0x90, 0x00}}},
                   {{0x01}, {0x03}}},
        ScriptCase{"cid_zero_with_and_without_cid_byte",
                   0x50,
                   0,
                   {{{0x0A, 0x00, 0x01}, Bytes{0x0A, 0x00, 0x01, 0x90, 0x00}},
                    {{0x03, 0x02}, Bytes{0x03, 0x02, 0x90, 0x00}}},
                   {{0x01}, {0x02}}},
        ScriptCase{"host_chains",
                   0x50,
                   0,
                   {{{0x12, 0xAA}, Bytes{0xA2}},
                    {{0x13, 0xBB}, Bytes{0xA3}},
                    {{0x02, 0xCC}, Bytes{0x02, 0xAA, 0xBB, 0xCC, 0x90, 0x00}}},
                   {{0xAA, 0xBB, 0xCC}}},
        ScriptCase{"host_chain_with_cid_and_a_lost_ack",
                   0x51,
                   0,
                   {{{0x1A, 0x01, 0xAA}, Bytes{0xAA, 0x01}},
                    {{0xBA, 0x01}, Bytes{0xAA, 0x01}},  // R(NAK) 0: the R(ACK) again
                    {{0x1B, 0x01, 0xBB}, Bytes{0xAB, 0x01}},
                    {{0x0A, 0x01, 0xCC}, Bytes{0x0A, 0x01, 0xAA, 0xBB, 0xCC, 0x90, 0x00}}},
                   {{0xAA, 0xBB, 0xCC}}},
        ScriptCase{"card_chains_to_fsd_16",
                   0x00,
                   30,
                   {{{0x02, 0x01}, test::Concat({{0x12}, kPart1})},
                    {{0xA2}, test::Concat({{0x12}, kPart1})},  // R(ACK) 0: sent again
                    {{0xA3}, test::Concat({{0x13}, kPart2})},
                    {{0xB3}, test::Concat({{0x13}, kPart2})},  // R(NAK) 1: sent again
                    {{0xA2}, test::Concat({{0x02}, kPart3})}},
                   {{0x01}}},
        ScriptCase{"card_chains_with_cid",
                   0x01,
                   30,
                   {{{0x0A, 0x01, 0x01}, test::Concat({{0x1A, 0x01}, Range(0, 12)})},
                    {{0xAB, 0x01}, test::Concat({{0x1B, 0x01}, Range(12, 12)})},
                    {{0xAA, 0x01}, test::Concat({{0x0A, 0x01}, Range(24, 6)})}},
                   {{0x01}}},
        ScriptCase{"nak_resends_or_acknowledges",
                   0x50,
                   0,
                   {{{0x02, 0x01}, Bytes{0x02, 0x01, 0x90, 0x00}},
                    {{0xB2}, Bytes{0x02, 0x01, 0x90, 0x00}},  // answer lost: sent again
                    {{0xB3}, Bytes{0xA2}},                    // presence check
                    {{0xA3}, std::nullopt},                   // nothing to continue
                    {{0x03, 0x02}, Bytes{0x03, 0x02, 0x90, 0x00}}},
                   {{0x01}, {0x02}}},
        ScriptCase{"the_first_nak_has_nothing_to_resend",
                   0x50,
                   0,
                   {{{0xB3}, std::nullopt}, {{0xB2}, Bytes{0xA3}}},
                   {}},
        ScriptCase{
            "invalid_blocks_are_ignored",
            0x50,
            0,
            {{{0x06, 0x00, 0x01}, std::nullopt},  // NAD, which the card does not support
             {{0xA2, 0x00}, std::nullopt},        // R-block with data
             {{0xC2, 0x00}, std::nullopt},        // S(DESELECT) with data
             {{0xF2, 0x01}, std::nullopt},        // S(WTX) response nobody asked for
             {{0x42, 0x01}, std::nullopt},
             {{0x22, 0x01}, std::nullopt},
             {{0xD2}, std::nullopt},
             {{0xE0, 0x50}, std::nullopt},                             // RATS again
             {test::Concat({{0x02}, Bytes(62, 0x11)}), std::nullopt},  // beyond FSC 64
             // 61 bytes are the most one answer block carries for FSD 64: the
             // echo and its status word go out chained.
             {test::Concat({{0x02}, Bytes(61, 0x11)}), test::Concat({{0x12}, Bytes(61, 0x11)})}},
            {Bytes(61, 0x11)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Iso14443_4Test, DeselectHaltsTheCard) {
    const struct {
        uint8_t rats;
        Bytes deselect;
    } cases[] = {{0x50, {0xC2}}, {0x53, {0xCA, 0x03}}};
    for (const auto& c : cases) {
        ASSERT_EQ(host_.host().Status(command::kRfReset, {0, 0}), status::kOk);
        ASSERT_TRUE(host_.Activate(c.rats));
        ASSERT_TRUE(host_.Block(
            test::Concat({c.deselect.size() == 1 ? Bytes{0x02} : Bytes{0x0A, 0x03}, {0x01}})));
        EXPECT_EQ(host_.Block(c.deselect), c.deselect);
        EXPECT_EQ(State(), CardState::kHalt);
        EXPECT_EQ(card_->phase(), Iso14443_4Card::Phase::kWaitRats);
        EXPECT_FALSE(host_.Block({0x03, 0x01}));
        EXPECT_EQ(host_.lastStatus(), status::kNoCard);
        // Only a wake-up finds it again, and it starts over with RATS.
        EXPECT_EQ(host_.host().Status(command::kActivateIdle, {0}), status::kNoCard);
        EXPECT_EQ(host_.host().Status(command::kActivateWakeUp, test::Concat({{0, 7}, kUid})),
                  status::kOk);
        EXPECT_EQ(host_.host().Status(command::kRequestAts, {c.rats}), status::kOk);
        EXPECT_EQ(card_->blocks().BlockNumber(), 1);
    }
}

TEST_F(Iso14443_4Test, InjectedWaitingTimeExtensionsPrecedeTheAnswer) {
    ASSERT_TRUE(host_.Activate(0x50));
    ASSERT_TRUE(reader_.RequestWaitingTimeExtensions(kUid, 2, 5));
    EXPECT_EQ(card_->blocks().PendingWaitingTimeExtensions(), 2);
    const std::vector<Step> steps = {
        {{0x02, 0x01}, Bytes{0xF2, 0x05}},
        {{0xF2, 0x06}, std::nullopt},                   // another WTXM
        {{0xB2}, Bytes{0xF2, 0x05}},                    // R(NAK): the request again
        {{0xF2, 0x05}, Bytes{0xF2, 0x05}},              // the second request
        {{0xF2, 0xC5}, Bytes{0x02, 0x01, 0x90, 0x00}},  // power bits beside the WTXM
        {{0xF2, 0x05}, std::nullopt},                   // nothing asked any more
        {{0x03, 0x02}, Bytes{0x03, 0x02, 0x90, 0x00}},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(host_.Block(steps[i].block), steps[i].answer) << "step " << i;
    }
    // The command ran once, when it arrived.
    EXPECT_EQ(card_->messages, (std::vector<Bytes>{{0x01}, {0x02}}));
}

TEST_F(Iso14443_4Test, WaitingTimeExtensionWithCidAndInHostChaining) {
    ASSERT_TRUE(host_.Activate(0x51));
    ASSERT_TRUE(reader_.RequestWaitingTimeExtensions(kUid, 1, 59));
    EXPECT_EQ(host_.Block({0x1A, 0x01, 0xAA}), (Bytes{0xFA, 0x01, 59}));
    EXPECT_EQ(host_.Block({0xFA, 0x01, 59}), (Bytes{0xAA, 0x01}));
    ASSERT_TRUE(reader_.RequestWaitingTimeExtensions(kUid, 1, 1));
    EXPECT_EQ(host_.Block({0x0B, 0x01, 0xBB}), (Bytes{0xFA, 0x01, 0x01}));
    EXPECT_EQ(host_.Block({0xFA, 0x01, 0x01}), (Bytes{0x0B, 0x01, 0xAA, 0xBB, 0x90, 0x00}));
}

TEST_F(Iso14443_4Test, WaitingTimeExtensionRequestsOutOfRange) {
    const struct {
        Bytes uid;
        int count;
        uint8_t wtxm;
    } refused[] = {{kUid, 0, 1},  {kUid, -1, 1},   {kUid, 1, 0},
                   {kUid, 1, 60}, {kUid, 1, 0xFF}, {{0x04, 0, 0, 0, 0, 0, 1}, 1, 1}};
    for (const auto& r : refused) {
        EXPECT_FALSE(reader_.RequestWaitingTimeExtensions(r.uid, r.count, r.wtxm))
            << r.count << " " << int(r.wtxm);
    }
    EXPECT_EQ(card_->blocks().PendingWaitingTimeExtensions(), 0);
}

TEST_F(Iso14443_4Test, TheHostsMessagesOverALongConversation) {
    // The test host's own block protocol (chaining both ways) against the card, many times
    // in a row with and without CID: block numbers stay in step.
    card_->answer = [](const Bytes& message) {
        Bytes answer(message.rbegin(), message.rend());
        answer.insert(answer.end(), message.begin(), message.end());
        return answer;
    };
    for (const bool withCid : {false, true}) {
        ASSERT_EQ(host_.host().Status(command::kRfReset, {0, 0}), status::kOk);
        ASSERT_TRUE(host_.Activate(0x20, withCid));  // FSD 32
        host_.SetCardFrameSize(24);
        for (size_t length = 0; length < 90; length += 7) {
            const Bytes message = Range(static_cast<uint8_t>(length), length);
            Bytes expected(message.rbegin(), message.rend());
            expected.insert(expected.end(), message.begin(), message.end());
            EXPECT_EQ(host_.Message(message), expected) << length << (withCid ? " cid" : "");
        }
    }
}

}  // namespace
}  // namespace kestrel::sim
