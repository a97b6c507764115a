// Type B cards in the virtual reader: ATQB, REQB/WUPB and the card states, time slots and slot
// markers, ATTRIB with and without higher-layer data, HLTB, and Type A beside Type B.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "kestrel_sim/cards/typeb/typeb_card.h"
#include "sim/sim_test_util.h"

namespace kestrel::sim {
namespace {

using test::Host;
using test::Reply;

const Bytes kPupi1 = {0x11, 0x22, 0x33, 0x44};
const Bytes kPupi2 = {0xA1, 0xB2, 0xC3, 0xD4};

constexpr uint8_t kReqB = typeb_command::kRequestIdle;
constexpr uint8_t kWupB = typeb_command::kRequestWakeUp;

Bytes AttribParams(const Bytes& pupi, uint8_t param4, const Bytes& higherLayer = {}) {
    Bytes p = pupi;
    p.insert(p.end(), {0x00, 0x08, 0x01, param4, static_cast<uint8_t>(higherLayer.size())});
    p.insert(p.end(), higherLayer.begin(), higherLayer.end());
    return p;
}

class TypeBTest : public ::testing::Test {
  protected:
    TypeBTest() : host_(reader_) {}

    TypeBCard* Add(const Bytes& pupi, TypeBCard::Options options = {}) {
        auto card = std::make_unique<TypeBCard>(pupi, options);
        TypeBCard* raw = card.get();
        EXPECT_TRUE(reader_.AddCard(std::move(card)));
        return raw;
    }
    CardState State(const Bytes& pupi) { return reader_.StateOf(pupi).value(); }

    VirtualReader reader_;
    Host host_;
};

TEST_F(TypeBTest, AtqbCarriesPupiApplicationDataAndProtocolInfo) {
    TypeBCard::Options options;
    options.afi = 0x30;
    options.applicationData = {0xAB, 0xCD, 0x02};
    options.protocolInfo = {0x00, 0x81, 0x75};
    Add(kPupi1, options);
    const std::optional<Reply> reply = host_.Exchange(kReqB, {0x00, 0x00});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kOk);
    EXPECT_EQ(reply->data,
              (Bytes{0x50, 0x11, 0x22, 0x33, 0x44, 0x30, 0xAB, 0xCD, 0x02, 0x00, 0x81, 0x75}));
}

TEST_F(TypeBTest, DefaultAtqbIsTwelveBytes) {
    Add(kPupi1);
    const std::optional<Reply> reply = host_.Exchange(kWupB, {0x00, 0x00});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->data,
              (Bytes{0x50, 0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00, 0x01, 0x00, 0x51, 0x71}));
    EXPECT_EQ(State(kPupi1), CardState::kReady);
}

TEST_F(TypeBTest, EmptyFieldAnswersNoCardWithoutData) {
    const std::optional<Reply> reply = host_.Exchange(kReqB, {0x00, 0x00});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kNoCard);
    EXPECT_TRUE(reply->data.empty());
}

// One row: what happens to a card in a state on one command.
struct StateCase {
    const char* name;
    CardState before;
    uint8_t code;
    Bytes params;  // empty PUPI placeholder: filled with kPupi1 for ATTRIB/HLTB
    uint8_t status;
    CardState after;
};

class TypeBStateTest : public TypeBTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(TypeBStateTest, FollowsTheStateMachine) {
    const StateCase& c = GetParam();
    Add(kPupi1);
    // Bring the card to the state: ready (declared) by REQB, active by ATTRIB, halt by HLTB.
    if (c.before != CardState::kIdle) {
        ASSERT_EQ(host_.Status(kReqB, {0x00, 0x00}), status::kOk);
    }
    if (c.before == CardState::kActive || c.before == CardState::kHalt) {
        ASSERT_EQ(host_.Status(typeb_command::kAttrib, AttribParams(kPupi1, 0x00)), status::kOk);
    }
    if (c.before == CardState::kHalt) {
        ASSERT_EQ(host_.Status(typeb_command::kHalt, kPupi1), status::kOk);
    }
    ASSERT_EQ(State(kPupi1), c.before);
    EXPECT_EQ(host_.Status(c.code, c.params), c.status);
    EXPECT_EQ(State(kPupi1), c.after);
}

using S = CardState;
INSTANTIATE_TEST_SUITE_P(
    Steps, TypeBStateTest,
    ::testing::Values(
        StateCase{"reqb_wakes_idle", S::kIdle, kReqB, {0x00, 0x00}, status::kOk, S::kReady},
        StateCase{"reqb_leaves_halt", S::kHalt, kReqB, {0x00, 0x00}, status::kNoCard, S::kHalt},
        StateCase{"wupb_wakes_halt", S::kHalt, kWupB, {0x00, 0x00}, status::kOk, S::kReady},
        StateCase{"raw_wupb_wakes_halt",
                  S::kHalt,
                  typeb_command::kRequest,
                  {0x05, 0x00, 0x08},
                  status::kOk,
                  S::kReady},
        StateCase{"raw_reqb_leaves_halt",
                  S::kHalt,
                  typeb_command::kRequest,
                  {0x05, 0x00, 0x00},
                  status::kNoCard,
                  S::kHalt},
        StateCase{"reqb_ignored_when_active",
                  S::kActive,
                  kReqB,
                  {0x00, 0x00},
                  status::kNoCard,
                  S::kActive},
        StateCase{"reqb_again_when_ready", S::kReady, kReqB, {0x00, 0x00}, status::kOk, S::kReady},
        StateCase{"attrib_needs_ready", S::kIdle, typeb_command::kAttrib,
                  AttribParams(kPupi1, 0x00), status::kNoCard, S::kIdle},
        StateCase{"attrib_other_pupi", S::kReady, typeb_command::kAttrib,
                  AttribParams(kPupi2, 0x00), status::kNoCard, S::kReady},
        StateCase{"attrib_cid_15_silent", S::kReady, typeb_command::kAttrib,
                  AttribParams(kPupi1, 0x0F), status::kNoCard, S::kReady},
        StateCase{"attrib_twice", S::kActive, typeb_command::kAttrib, AttribParams(kPupi1, 0x00),
                  status::kNoCard, S::kActive},
        StateCase{"hltb_active", S::kActive, typeb_command::kHalt, kPupi1, status::kOk, S::kHalt},
        StateCase{"hltb_declared", S::kReady, typeb_command::kHalt, kPupi1, status::kOk, S::kHalt},
        StateCase{"hltb_idle", S::kIdle, typeb_command::kHalt, kPupi1, status::kNoCard, S::kIdle},
        StateCase{"hltb_other_pupi", S::kActive, typeb_command::kHalt, kPupi2, status::kNoCard,
                  S::kActive},
        StateCase{"rf_reset_powers_down",
                  S::kActive,
                  command::kRfReset,
                  {0x0A, 0x00},
                  status::kOk,
                  S::kIdle},
        StateCase{"reqa_passes_type_b_by",
                  S::kIdle,
                  command::kRequest,
                  {iso14443a::kWupA},
                  status::kNoCard,
                  S::kIdle},
        StateCase{
            "hlta_passes_type_b_by", S::kActive, command::kHalt, {}, status::kNoCard, S::kActive}),
    [](const auto& info) { return std::string(info.param.name); });

struct AfiCase {
    uint8_t cardAfi;
    uint8_t requestAfi;
    bool answers;
};

class TypeBAfiTest : public TypeBTest, public ::testing::WithParamInterface<AfiCase> {};

TEST_P(TypeBAfiTest, AnswersOnlyItsApplicationFamily) {
    TypeBCard::Options options;
    options.afi = GetParam().cardAfi;
    Add(kPupi1, options);
    EXPECT_EQ(host_.Status(kReqB, {GetParam().requestAfi, 0x00}),
              GetParam().answers ? status::kOk : status::kNoCard);
    EXPECT_EQ(State(kPupi1), GetParam().answers ? CardState::kReady : CardState::kIdle);
}

INSTANTIATE_TEST_SUITE_P(Families, TypeBAfiTest,
                         ::testing::Values(AfiCase{0x00, 0x35, true},   // card without AFI
                                           AfiCase{0x35, 0x00, true},   // request for all
                                           AfiCase{0x35, 0x30, true},   // the whole family
                                           AfiCase{0x35, 0x35, true},   // the sub-family
                                           AfiCase{0x35, 0x36, false},  // another sub-family
                                           AfiCase{0x35, 0x45, false},  // another family
                                           AfiCase{0x05, 0x05, true},   // proprietary
                                           AfiCase{0x35, 0x05, false}));

TEST_F(TypeBTest, TwoCardsAnswerInTheSlotsTheyDrew) {
    Add(kPupi1)->FixSlot(1);
    Add(kPupi2)->FixSlot(3);
    // Four slots (code 2): the first card answers the request itself.
    const std::optional<Reply> first = host_.Exchange(kReqB, {0x00, 0x02});
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, status::kOk);
    EXPECT_EQ(Bytes(first->data.begin() + 1, first->data.begin() + 5), kPupi1);

    const std::optional<Reply> slot2 = host_.Exchange(typeb_command::kSlotMarker, {2});
    ASSERT_TRUE(slot2);
    EXPECT_EQ(slot2->status, status::kNoCard);
    EXPECT_TRUE(slot2->data.empty());

    const std::optional<Reply> slot3 = host_.Exchange(typeb_command::kSlotMarker, {3});
    ASSERT_TRUE(slot3);
    EXPECT_EQ(slot3->status, status::kOk);
    EXPECT_EQ(Bytes(slot3->data.begin() + 1, slot3->data.begin() + 5), kPupi2);
    // Declared once: the same slot marker again finds nobody.
    EXPECT_EQ(host_.Status(typeb_command::kSlotMarker, {3}), status::kNoCard);

    // Both are declared now; ATTRIB of the second, halt it, the first stays ready.
    ASSERT_EQ(host_.Status(typeb_command::kAttrib, AttribParams(kPupi2, 0x01)), status::kOk);
    EXPECT_EQ(State(kPupi2), CardState::kActive);
    ASSERT_EQ(host_.Status(typeb_command::kHalt, kPupi2), status::kOk);
    EXPECT_EQ(State(kPupi2), CardState::kHalt);
    EXPECT_EQ(State(kPupi1), CardState::kReady);
}

TEST_F(TypeBTest, CardsInOneSlotCollide) {
    Add(kPupi1)->FixSlot(2);
    Add(kPupi2)->FixSlot(2);
    EXPECT_EQ(host_.Status(kReqB, {0x00, 0x01}), status::kNoCard);
    const std::optional<Reply> reply = host_.Exchange(typeb_command::kSlotMarker, {2});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kCollision);
    EXPECT_TRUE(reply->data.empty());
    // Both sent their ATQB: either can be selected by its PUPI.
    EXPECT_EQ(host_.Status(typeb_command::kAttrib, AttribParams(kPupi1, 0x00)), status::kOk);
}

TEST_F(TypeBTest, SingleSlotRequestMakesEveryCardCollide) {
    Add(kPupi1)->FixSlot(5);  // a fixed slot beyond the count means the last slot
    Add(kPupi2);
    EXPECT_EQ(host_.Status(kReqB, {0x00, 0x00}), status::kCollision);
}

TEST_F(TypeBTest, RandomSlotsStayWithinTheSlotCount) {
    auto card = std::make_unique<TypeBCard>(kPupi1);
    for (int code = 0; code <= 4; ++code) {
        for (int i = 0; i < 50; ++i) {
            const int slot = card->DrawSlot(1 << code);
            ASSERT_GE(slot, 1);
            ASSERT_LE(slot, 1 << code);
        }
    }
}

TEST_F(TypeBTest, SlotMarkerFindsTheCardAfterAnyNumberOfDraws) {
    // Whatever slot the card draws among 16, walking the markers finds it exactly once.
    Add(kPupi1);
    for (int round = 0; round < 10; ++round) {
        int answers = host_.Status(kReqB, {0x00, 0x04}) == status::kOk ? 1 : 0;
        for (uint8_t slot = 2; slot <= 16; ++slot) {
            if (host_.Status(typeb_command::kSlotMarker, {slot}) == status::kOk) ++answers;
        }
        EXPECT_EQ(answers, 1) << "round " << round;
    }
}

struct AttribCase {
    const char* name;
    Bytes configuredAnswer;  // the card's higher-layer answer
    Bytes sent;              // higher-layer data of the ATTRIB
    uint8_t param4;
    bool cidSupported;
    Bytes expected;
};

class TypeBAttribTest : public TypeBTest, public ::testing::WithParamInterface<AttribCase> {};

TEST_P(TypeBAttribTest, AnswersCidParameterTwoAndHigherLayerData) {
    const AttribCase& c = GetParam();
    TypeBCard::Options options;
    options.higherLayerAnswer = c.configuredAnswer;
    if (!c.cidSupported) options.protocolInfo[2] = 0x70;
    TypeBCard* card = Add(kPupi1, options);
    ASSERT_EQ(host_.Status(kReqB, {0x00, 0x00}), status::kOk);
    const std::optional<Reply> reply =
        host_.Exchange(typeb_command::kAttrib, AttribParams(kPupi1, c.param4, c.sent));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kOk);
    EXPECT_EQ(reply->data, c.expected);
    EXPECT_EQ(card->Fsd(), 256u);  // parameter 2 low nibble 8
    EXPECT_EQ(card->Cid(), c.expected[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TypeBAttribTest,
    ::testing::Values(
        AttribCase{"no_higher_layer", {0x90, 0x00}, {}, 0x00, true, {0x00, 0x08, 0x00}},
        AttribCase{"higher_layer",
                   {0x90, 0x00},
                   {0x01, 0x02, 0x03},
                   0x00,
                   true,
                   {0x00, 0x08, 0x02, 0x90, 0x00}},
        AttribCase{"card_without_answer", {}, {0x01}, 0x00, true, {0x00, 0x08, 0x00}},
        AttribCase{"cid", {}, {}, 0x05, true, {0x05, 0x08, 0x00}},
        AttribCase{"cid_not_supported", {}, {}, 0x05, false, {0x00, 0x08, 0x00}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TypeBTest, SilentAttribKeepsTheThreeAnswerBytes) {
    const std::optional<Reply> reply =
        host_.Exchange(typeb_command::kAttrib, AttribParams(kPupi1, 0x00));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kNoCard);
    EXPECT_EQ(reply->data, (Bytes{0x00, 0x00, 0x00}));
}

TEST_F(TypeBTest, TypeACardsAndTypeBCardsShareTheField) {
    Add(kPupi1);
    ASSERT_TRUE(reader_.AddCard(test::TypeACard({0x0A, 0x0B, 0x0C, 0x0D})));
    EXPECT_EQ(host_.Status(command::kActivateIdle, {0x00}), status::kOk);
    EXPECT_EQ(State(kPupi1), CardState::kIdle);
    const std::optional<Reply> reply = host_.Exchange(kReqB, {0x00, 0x00});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kOk);
    EXPECT_EQ(reply->data.size(), iso14443b::kAtqbSize);
    EXPECT_EQ(reader_.StateOf({0x0A, 0x0B, 0x0C, 0x0D}), CardState::kActive);
}

TEST_F(TypeBTest, ActiveTypeBCardIsNotTheActiveCardOfTypeACommands) {
    Add(kPupi1);
    ASSERT_EQ(host_.Status(kReqB, {0x00, 0x00}), status::kOk);
    ASSERT_EQ(host_.Status(typeb_command::kAttrib, AttribParams(kPupi1, 0x00)), status::kOk);
    // An ISO/IEC 14443-4 block for the Type A card: there is none, and the Type B card is not
    // disturbed by a frame of the other technology.
    EXPECT_EQ(host_.Status(command::kExchangeBlock, {0x00, 0x01, 0x00, 0x02}), status::kNoCard);
    EXPECT_EQ(host_.Status(0x19, {0x04}), status::kUnknownCommand);
    EXPECT_EQ(State(kPupi1), CardState::kActive);
    reader_.WithFirmware([](Firmware& f) { EXPECT_EQ(f.field().ActiveCard(), nullptr); });
}

struct BadCase {
    const char* name;
    uint8_t code;
    Bytes params;
};

class TypeBBadParameterTest : public TypeBTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(TypeBBadParameterTest, AnswersBadParameterAndChangesNothing) {
    Add(kPupi1);
    const std::optional<Reply> reply = host_.Exchange(GetParam().code, GetParam().params);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kBadParameter);
    EXPECT_TRUE(reply->data.empty());
    EXPECT_EQ(State(kPupi1), CardState::kIdle);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, TypeBBadParameterTest,
    ::testing::Values(
        BadCase{"reqb_short", kReqB, {0x00}}, BadCase{"reqb_long", kReqB, {0x00, 0x00, 0x00}},
        BadCase{"reqb_slot_code_5", kReqB, {0x00, 0x05}},
        BadCase{"wupb_slot_code_7", kWupB, {0x00, 0x0F}},
        BadCase{"raw_request_short", typeb_command::kRequest, {0x05, 0x00}},
        BadCase{"raw_request_bad_apf", typeb_command::kRequest, {0x06, 0x00, 0x00}},
        BadCase{"slot_marker_empty", typeb_command::kSlotMarker, {}},
        BadCase{"slot_marker_1", typeb_command::kSlotMarker, {1}},
        BadCase{"slot_marker_17", typeb_command::kSlotMarker, {17}},
        BadCase{"attrib_short", typeb_command::kAttrib, {0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0}},
        BadCase{"attrib_length_beyond_data",
                typeb_command::kAttrib,
                {0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0, 2, 0xAA}},
        BadCase{"attrib_data_beyond_length",
                typeb_command::kAttrib,
                {0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0, 0, 0xAA}},
        BadCase{"hltb_short", typeb_command::kHalt, {0x11, 0x22, 0x33}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TypeBCardTest, ParseCardMakesATypeBCardWithItsPupi) {
    std::mt19937 random(7);
    std::string error;
    std::unique_ptr<Card> card = ParseCard("typeb:0A0B0C0D", random, &error);
    ASSERT_TRUE(card) << error;
    EXPECT_EQ(card->Type(), "typeb");
    EXPECT_FALSE(card->AnswersTypeA());
    ASSERT_NE(dynamic_cast<TypeBCard*>(card.get()), nullptr);
    EXPECT_EQ(card->Uid(), (Bytes{0x0A, 0x0B, 0x0C, 0x0D}));
    EXPECT_FALSE(ParseCard("typeb:0A0B0C", random, &error));
    std::unique_ptr<Card> randomCard = ParseCard("typeb", random, &error);
    ASSERT_TRUE(randomCard);
    EXPECT_EQ(randomCard->Uid().size(), 4u);
}

TEST(TypeBCardTest, RefusesAPupiOfAnotherLength) {
    EXPECT_THROW(TypeBCard(Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}), std::invalid_argument);
}

}  // namespace
}  // namespace kestrel::sim
