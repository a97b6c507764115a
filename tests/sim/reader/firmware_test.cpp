// Type A commands of the virtual reader's firmware: card states, activation, parameter checks,
// the command table and the card hook.
#include <gtest/gtest.h>

#include <string>

#include "kestrel_sim/helpers/codes.h"
#include "sim/sim_test_util.h"

namespace kestrel::sim {
namespace {

using test::Host;
using test::Reply;
using test::TypeACard;

const Bytes kUid4 = {0x0A, 0x0B, 0x0C, 0x0D};
const Bytes kUid7 = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
const Bytes kUid10 = {0x04, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9};

constexpr uint8_t kReqA = iso14443a::kReqA;
constexpr uint8_t kWupA = iso14443a::kWupA;

class FirmwareTest : public ::testing::Test {
  protected:
    FirmwareTest() : host_(reader_) {}

    void Add(const Bytes& uid, uint16_t atqa = 0x0004, uint8_t sak = 0x08) {
        ASSERT_TRUE(reader_.AddCard(TypeACard(uid, atqa, sak)));
    }
    CardState State(const Bytes& uid) { return reader_.StateOf(uid).value(); }
    // Selects a card with a 4-byte UID step by step.
    void SelectStepByStep(const Bytes& uid, uint8_t request = kReqA) {
        ASSERT_EQ(host_.Status(command::kRequest, {request}), status::kOk);
        ASSERT_EQ(host_.Status(command::kSelect, uid), status::kOk);
    }
    static Bytes ActivateIdleAnswer(uint16_t atqa, uint8_t sak, const Bytes& uid) {
        Bytes answer = {static_cast<uint8_t>(atqa & 0xFF), static_cast<uint8_t>(atqa >> 8), sak,
                        static_cast<uint8_t>(uid.size())};
        answer.insert(answer.end(), uid.begin(), uid.end());
        return answer;
    }
    static Bytes WakeUpParams(const Bytes& uid) {
        Bytes params = {0x00, static_cast<uint8_t>(uid.size())};
        params.insert(params.end(), uid.begin(), uid.end());
        return params;
    }

    VirtualReader reader_;
    Host host_;
};

TEST_F(FirmwareTest, RequestAnswersAtqaLowByteFirst) {
    Add(kUid4, 0x0344);
    const std::optional<Reply> reply = host_.Exchange(command::kRequest, {kReqA});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kOk);
    EXPECT_EQ(reply->data, (Bytes{0x44, 0x03}));
    EXPECT_EQ(State(kUid4), CardState::kReady);
}

TEST_F(FirmwareTest, EmptyFieldAnswersNoCardWithTheExpectedLength) {
    // Requests keep their 2-byte ATQA (zero), a wake-up its ATQA and SAK (zero).
    for (uint8_t code : {command::kRequest, command::kRequestA}) {
        const std::optional<Reply> reply = host_.Exchange(code, {kWupA});
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, status::kNoCard);
        EXPECT_EQ(reply->data, (Bytes{0x00, 0x00}));
    }
    const std::optional<Reply> wake =
        host_.Exchange(command::kActivateWakeUp, {0x00, 4, 0x01, 0x02, 0x03, 0x04});
    ASSERT_TRUE(wake);
    EXPECT_EQ(wake->status, status::kNoCard);
    EXPECT_EQ(wake->data, (Bytes{0x00, 0x00, 0x00}));
    EXPECT_EQ(host_.Status(command::kActivateIdle, {0}), status::kNoCard);
    EXPECT_EQ(host_.Status(command::kHalt), status::kNoCard);
}

// Steps of the card state machine: the command and its parameters, the status the reader
// answers, the card's state afterwards.
struct Step {
    uint8_t code;
    Bytes params;
    uint8_t status;
    CardState after;
};

struct StateCase {
    const char* name;
    std::vector<Step> steps;
};

class StateMachineTest : public FirmwareTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StateMachineTest, FollowsSteps) {
    Add(kUid4);
    const std::vector<Step>& steps = GetParam().steps;
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(host_.Status(steps[i].code, steps[i].params), steps[i].status) << "step " << i;
        EXPECT_EQ(State(kUid4), steps[i].after) << "step " << i;
    }
}

const Step kReqaAnswered{command::kRequest, {kReqA}, status::kOk, CardState::kReady};
const Step kWupaAnswered{command::kRequest, {kWupA}, status::kOk, CardState::kReady};
const Step kSelected{command::kSelect, kUid4, status::kOk, CardState::kActive};
const Step kHalted{command::kHalt, {}, status::kOk, CardState::kHalt};

INSTANTIATE_TEST_SUITE_P(
    Sequences, StateMachineTest,
    ::testing::Values(
        StateCase{"reqa_select_halt", {kReqaAnswered, kSelected, kHalted}},
        StateCase{"halted_card_ignores_reqa",
                  {kReqaAnswered,
                   kSelected,
                   kHalted,
                   {command::kRequest, {kReqA}, status::kNoCard, CardState::kHalt}}},
        StateCase{"wupa_wakes_halted_card",
                  {kReqaAnswered, kSelected, kHalted, kWupaAnswered, kSelected}},
        StateCase{"rf_reset_makes_halted_card_idle",
                  {kReqaAnswered,
                   kSelected,
                   kHalted,
                   {command::kRfReset, {0x19, 0x00}, status::kOk, CardState::kIdle},
                   kReqaAnswered}},
        StateCase{"rf_reset_deactivates",
                  {kReqaAnswered,
                   kSelected,
                   {command::kRfReset, {0x00, 0x00}, status::kOk, CardState::kIdle}}},
        // A request reaching a ready or active card is a frame it does not expect: it drops
        // back without answering (to halt when it was woken from halt), and the firmware's
        // repeated request finds it again.
        StateCase{"reqa_reaches_active_card_again",
                  {kReqaAnswered, kSelected, kReqaAnswered, kSelected}},
        StateCase{"second_reqa_reaches_ready_card_again", {kReqaAnswered, kReqaAnswered}},
        StateCase{"woken_card_falls_back_to_halt_and_is_woken_again",
                  {kReqaAnswered, kSelected, kHalted, kWupaAnswered, kSelected, kWupaAnswered}},
        StateCase{"reqa_does_not_reach_a_card_woken_from_halt",
                  {kReqaAnswered,
                   kSelected,
                   kHalted,
                   kWupaAnswered,
                   kSelected,
                   {command::kRequest, {kReqA}, status::kNoCard, CardState::kHalt}}},
        StateCase{
            "wrong_select_sends_ready_card_back",
            {kReqaAnswered,
             {command::kSelect, {0x0A, 0x0B, 0x0C, 0x0E}, status::kNoCard, CardState::kIdle}}},
        StateCase{"halt_without_active_card",
                  {kReqaAnswered, {command::kHalt, {}, status::kNoCard, CardState::kIdle}}},
        StateCase{"select_needs_ready_card",
                  {{command::kSelect, kUid4, status::kNoCard, CardState::kIdle}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareTest, SelectMakesOthersReadyCardsIdle) {
    const Bytes other = {0x01, 0x02, 0x03, 0x04};
    Add(kUid4);
    Add(other);
    SelectStepByStep(kUid4);
    EXPECT_EQ(State(kUid4), CardState::kActive);
    EXPECT_EQ(State(other), CardState::kIdle);
}

struct ActivateCase {
    const char* name;
    Bytes uid;
    uint16_t atqa;
    uint8_t sak;
};

class ActivateTest : public FirmwareTest, public ::testing::WithParamInterface<ActivateCase> {};

TEST_P(ActivateTest, IdleCardAnswersAtqaSakAndWholeUid) {
    const ActivateCase& c = GetParam();
    Add(c.uid, c.atqa, c.sak);
    const std::optional<Reply> reply = host_.Exchange(command::kActivateIdle, {0x00});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kOk);
    EXPECT_EQ(reply->data, ActivateIdleAnswer(c.atqa, c.sak, c.uid));
    EXPECT_EQ(State(c.uid), CardState::kActive);
}

TEST_P(ActivateTest, WakeUpSelectsHaltedCardByUid) {
    const ActivateCase& c = GetParam();
    Add(c.uid, c.atqa, c.sak);
    ASSERT_EQ(host_.Status(command::kActivateIdle, {0x00}), status::kOk);
    ASSERT_EQ(host_.Status(command::kHalt), status::kOk);
    ASSERT_EQ(host_.Status(command::kActivateIdle, {0x00}), status::kNoCard);

    const std::optional<Reply> reply =
        host_.Exchange(command::kActivateWakeUp, WakeUpParams(c.uid));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kOk);
    ASSERT_GE(reply->data.size(), 3u);
    EXPECT_EQ(reply->data, ActivateIdleAnswer(c.atqa, c.sak, c.uid));
    EXPECT_EQ(State(c.uid), CardState::kActive);
}

TEST_P(ActivateTest, WakeUpWithAnotherUidFindsNothing) {
    const ActivateCase& c = GetParam();
    Add(c.uid, c.atqa, c.sak);
    Bytes other = c.uid;
    other.back() ^= 0x01;
    EXPECT_EQ(host_.Status(command::kActivateWakeUp, WakeUpParams(other)), status::kNoCard);
    EXPECT_EQ(State(c.uid), CardState::kIdle);
}

INSTANTIATE_TEST_SUITE_P(UidSizes, ActivateTest,
                         ::testing::Values(ActivateCase{"single", kUid4, 0x0004, 0x08},
                                           ActivateCase{"double", kUid7, 0x0344, 0x20},
                                           ActivateCase{"triple", kUid10, 0x0044, 0x00}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareTest, ActivateIdleTwiceInARowFindsTheCardAgain) {
    // The active card ignores the first request (and drops to idle); the firmware's second
    // request wakes it.
    Add(kUid4);
    EXPECT_EQ(host_.Status(command::kActivateIdle, {0x00}), status::kOk);
    EXPECT_EQ(host_.Status(command::kActivateIdle, {0x00}), status::kOk);
    EXPECT_EQ(State(kUid4), CardState::kActive);
}

TEST_F(FirmwareTest, WakeUpLeavesOtherHaltedCardsHalted) {
    const Bytes other = {0x01, 0x02, 0x03, 0x04};
    Add(kUid4);
    Add(other);
    for (const Bytes& uid : {kUid4, other}) {
        ASSERT_EQ(host_.Status(command::kActivateWakeUp, WakeUpParams(uid)), status::kOk);
        ASSERT_EQ(host_.Status(command::kHalt), status::kOk);
    }
    ASSERT_EQ(host_.Status(command::kActivateWakeUp, WakeUpParams(kUid4)), status::kOk);
    EXPECT_EQ(State(kUid4), CardState::kActive);
    EXPECT_EQ(State(other), CardState::kHalt);
}

TEST_F(FirmwareTest, WakeUpWithTheFirstLevelOfALongerUidFindsNothing) {
    Add(kUid7, 0x0044, 0x00);
    const Bytes firstLevel = {iso14443a::kCascadeTag, kUid7[0], kUid7[1], kUid7[2]};
    EXPECT_EQ(host_.Status(command::kActivateWakeUp, WakeUpParams(firstLevel)), status::kNoCard);
}

TEST_F(FirmwareTest, SetCardTimeOutIsStoredLittleEndian) {
    EXPECT_EQ(host_.Status(command::kSetCardTimeOut, {0x44, 0x33, 0x22, 0x11}), status::kOk);
    EXPECT_EQ(reader_.CardTimeOut(), 0x11223344u);
}

// Parameter lists of the wrong length or with values out of range: status kBadParameter, and
// the card is left alone.
struct BadParameterCase {
    const char* name;
    uint8_t code;
    Bytes params;
};

class BadParameterTest : public FirmwareTest,
                         public ::testing::WithParamInterface<BadParameterCase> {};

TEST_P(BadParameterTest, AnswersBadParameterAndChangesNothing) {
    Add(kUid4);
    ASSERT_EQ(host_.Status(command::kRequest, {kReqA}), status::kOk);
    reader_.WithFirmware([](Firmware& f) { EXPECT_EQ(f.CardTimeOut(), 0u); });
    const std::optional<Reply> reply = host_.Exchange(GetParam().code, GetParam().params);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kBadParameter);
    EXPECT_TRUE(reply->data.empty());
    EXPECT_EQ(State(kUid4), CardState::kReady);
    EXPECT_EQ(reader_.CardTimeOut(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, BadParameterTest,
    ::testing::Values(
        BadParameterCase{"request_empty", command::kRequest, {}},
        BadParameterCase{"request_two_bytes", command::kRequest, {kReqA, 0x00}},
        BadParameterCase{"request_unknown_code", command::kRequest, {0x30}},
        BadParameterCase{"request_a_empty", command::kRequestA, {}},
        BadParameterCase{"anticollision_short", command::kAnticollision, {0x00, 1, 2, 3}},
        BadParameterCase{"anticollision_long", command::kAnticollision, {0x00, 1, 2, 3, 4, 5}},
        BadParameterCase{"anticollision_33_bits", command::kAnticollision, {33, 1, 2, 3, 4}},
        BadParameterCase{"select_short", command::kSelect, {0x0A, 0x0B, 0x0C}},
        BadParameterCase{"select_long", command::kSelect, {0x0A, 0x0B, 0x0C, 0x0D, 0x00}},
        BadParameterCase{"cascade_anticollision_short", command::kCascadeAnticollision, {0x93, 0}},
        BadParameterCase{"cascade_anticollision_bad_level",
                         command::kCascadeAnticollision,
                         {0x91, 0, 0, 0, 0, 0}},
        BadParameterCase{"cascade_select_short", command::kCascadeSelect, {0x93, 1, 2, 3}},
        BadParameterCase{"cascade_select_bad_level", command::kCascadeSelect, {0x99, 1, 2, 3, 4}},
        BadParameterCase{"activate_idle_empty", command::kActivateIdle, {}},
        BadParameterCase{"activate_idle_long", command::kActivateIdle, {0, 0}},
        BadParameterCase{"wake_up_empty", command::kActivateWakeUp, {}},
        BadParameterCase{"wake_up_no_length", command::kActivateWakeUp, {0}},
        BadParameterCase{
            "wake_up_length_beyond_data", command::kActivateWakeUp, {0, 7, 0x0A, 0x0B, 0x0C, 0x0D}},
        BadParameterCase{"wake_up_data_beyond_length",
                         command::kActivateWakeUp,
                         {0, 4, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E}},
        BadParameterCase{"wake_up_length_255", command::kActivateWakeUp, {0, 255}},
        BadParameterCase{"wake_up_five_byte_uid", command::kActivateWakeUp, {0, 5, 1, 2, 3, 4, 5}},
        BadParameterCase{"halt_with_data", command::kHalt, {0}},
        BadParameterCase{"rf_reset_short", command::kRfReset, {0x19}},
        BadParameterCase{"rf_reset_long", command::kRfReset, {0x19, 0, 0}},
        BadParameterCase{"card_time_out_short", command::kSetCardTimeOut, {1, 2, 3}},
        BadParameterCase{"card_time_out_long", command::kSetCardTimeOut, {1, 2, 3, 4, 5}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareTest, UnknownCommandAnswersUnknownCommand) {
    Add(kUid4);
    const std::optional<Reply> reply = host_.Exchange(0x99, {1, 2, 3});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, status::kUnknownCommand);
    EXPECT_TRUE(reply->data.empty());
}

TEST_F(FirmwareTest, RegisteredCommandRunsFromTheTable) {
    reader_.WithFirmware([](Firmware& f) {
        f.RegisterCommand(0x63, "GetFWVersion", [](Firmware&, const Bytes&) {
            return Answer{status::kOk, {'v', '1'}};
        });
        EXPECT_EQ(f.CommandName(0x63), "GetFWVersion");
        EXPECT_EQ(f.CommandName(0x64), "command 0x64");
    });
    const std::optional<Reply> reply = host_.Exchange(0x63);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->data, (Bytes{'v', '1'}));
}

// A card model that reads "pages" and halts itself on command 0x50.
class PageCard : public Card {
  public:
    explicit PageCard(const Bytes& uid) : Card("pages", uid, 0x0044, 0x00) {}

    std::optional<CardReply> HandleCommand(uint8_t code, const Bytes& params) override {
        if (code == 0x28 && params.size() == 1) {
            return CardReply{Answer{status::kOk, Bytes(4, params[0])}, CardExit::kStay};
        }
        if (code == 0x50) return CardReply{Answer{status::kOk, {}}, CardExit::kHalt};
        return std::nullopt;
    }
    void OnActivated() override { ++activations; }
    void OnDeactivated() override { ++deactivations; }

    int activations = 0;
    int deactivations = 0;
};

TEST_F(FirmwareTest, CardHookServesTheActiveCardOnly) {
    auto owned = std::make_unique<PageCard>(kUid7);
    PageCard* card = owned.get();
    ASSERT_TRUE(reader_.AddCard(std::move(owned)));

    EXPECT_EQ(host_.Status(0x28, {0x05}), status::kUnknownCommand);  // not active yet
    ASSERT_EQ(host_.Status(command::kActivateIdle, {0x00}), status::kOk);
    EXPECT_EQ(card->activations, 1);

    const std::optional<Reply> page = host_.Exchange(0x28, {0x05});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, status::kOk);
    EXPECT_EQ(page->data, (Bytes{5, 5, 5, 5}));
    EXPECT_EQ(host_.Status(0x29), status::kUnknownCommand);  // the card does not know it
    EXPECT_EQ(State(kUid7), CardState::kActive);

    EXPECT_EQ(host_.Status(0x50), status::kOk);
    EXPECT_EQ(State(kUid7), CardState::kHalt);
    EXPECT_EQ(card->deactivations, 1);
    EXPECT_EQ(host_.Status(0x28, {0x05}), status::kUnknownCommand);
}

TEST_F(FirmwareTest, FieldRejectsDuplicateUid) {
    Add(kUid4);
    std::string error;
    EXPECT_FALSE(reader_.AddCard(TypeACard(kUid4), &error));
    EXPECT_NE(error.find("0A0B0C0D"), std::string::npos) << error;
    EXPECT_EQ(reader_.ListCards().size(), 1u);
}

TEST_F(FirmwareTest, RemovedCardNoLongerAnswers) {
    Add(kUid4);
    ASSERT_EQ(host_.Status(command::kActivateIdle, {0x00}), status::kOk);
    EXPECT_TRUE(reader_.RemoveCard(kUid4));
    EXPECT_FALSE(reader_.RemoveCard(kUid4));
    EXPECT_EQ(host_.Status(command::kHalt), status::kNoCard);
    EXPECT_EQ(host_.Status(command::kActivateIdle, {0x00}), status::kNoCard);
}

TEST_F(FirmwareTest, BadCrcGetsBadFrameWithTheRequestsSequence) {
    Add(kUid4);
    Bytes request = EncodeFrame(0x5C, command::kRequest, Bytes{kReqA});
    request[request.size() - 1] ^= 0x40;
    const std::vector<Frame> answers = test::DecodeAll(host_.SendRaw(request));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].crcOk);
    EXPECT_EQ(answers[0].sequence, 0x5C);
    EXPECT_EQ(answers[0].code, status::kBadFrame);
    EXPECT_TRUE(answers[0].data.empty());
    EXPECT_EQ(State(kUid4), CardState::kIdle);  // the request was not executed
}

TEST_F(FirmwareTest, NoiseBeforeARequestIsSkipped) {
    Add(kUid4);
    const Bytes stream = test::Concat({{0x00, 0xFF, 0x13, 0xA5, 0x01, 0x02, 0xFF, 0xFF},
                                       EncodeFrame(0x21, command::kRequest, Bytes{kReqA})});
    const std::vector<Frame> answers = test::DecodeAll(host_.SendRaw(stream));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].sequence, 0x21);
    EXPECT_EQ(answers[0].code, status::kOk);
    EXPECT_EQ(answers[0].data, (Bytes{0x04, 0x00}));
}

TEST(CardChecks, RejectsUidsThatCannotBeTypeA) {
    EXPECT_THROW(Card("x", Bytes{1, 2, 3}, 0x0004, 0x08), std::invalid_argument);
    EXPECT_THROW(Card("x", Bytes{0x88, 2, 3, 4}, 0x0004, 0x08), std::invalid_argument);
    EXPECT_THROW(Card("x", Bytes{4, 1, 2, 0x88, 4, 5, 6}, 0x0044, 0x00), std::invalid_argument);
    EXPECT_THROW(Card("x", Bytes{1, 2, 3, 4}, 0x0004, 0x0C), std::invalid_argument);
    EXPECT_NO_THROW(Card("x", Bytes{4, 0x88, 2, 3, 4, 5, 6}, 0x0044, 0x00));
}

struct ProfileCase {
    const char* text;
    const char* type;
    size_t uidLength;
    uint16_t atqa;
    uint8_t sak;
};

class ProfileTest : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(ProfileTest, RandomUidHasTheRightShape) {
    const ProfileCase& c = GetParam();
    std::mt19937 random(99);
    for (int i = 0; i < 200; ++i) {
        std::string error;
        const std::unique_ptr<Card> card = ParseCard(c.text, random, &error);
        ASSERT_TRUE(card) << error;
        EXPECT_EQ(card->Type(), c.type);
        ASSERT_EQ(card->Uid().size(), c.uidLength);
        if (c.uidLength == 7) {
            EXPECT_EQ(card->Uid()[0], 0x04);
        }
        EXPECT_EQ(card->Atqa(), c.atqa);
        EXPECT_EQ(card->Sak(), c.sak);
    }
}

INSTANTIATE_TEST_SUITE_P(Types, ProfileTest,
                         ::testing::Values(ProfileCase{"classic1k", "classic1k", 4, 0x0004, 0x08},
                                           ProfileCase{"classic4k", "classic4k", 4, 0x0002, 0x18},
                                           ProfileCase{"ultralight", "ultralight", 7, 0x0044, 0x00},
                                           ProfileCase{"desfire", "desfire", 7, 0x0344, 0x20}),
                         [](const auto& info) { return std::string(info.param.type); });

TEST(CardTexts, ExplicitUidAndErrors) {
    std::mt19937 random(1);
    std::string error;
    const std::unique_ptr<Card> card = ParseCard("ultralight:04a1b2c3d4e5f6", random, &error);
    ASSERT_TRUE(card) << error;
    EXPECT_EQ(card->Uid(), (Bytes{0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));

    const std::vector<std::pair<std::string, std::string>> bad = {
        {"classic1k:0102", "4-byte UID"},    {"desfire:01020304", "7-byte UID"},
        {"classic1k:0A0B0C0", "hex"},        {"classic1k:ZZ0B0C0D", "hex"},
        {"mifareplus", "unknown card type"}, {"classic1k:880B0C0D", "cascade tag"},
    };
    for (const auto& [text, message] : bad) {
        error.clear();
        EXPECT_FALSE(ParseCard(text, random, &error)) << text;
        EXPECT_NE(error.find(message), std::string::npos) << text << ": " << error;
    }
}

}  // namespace
}  // namespace kestrel::sim
