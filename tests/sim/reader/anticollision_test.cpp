// Several cards in the field: bit-wise anticollision, the cascade levels of 7- and 10-byte
// UIDs, and which card the one-shot activation picks.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "kestrel_sim/helpers/codes.h"
#include "sim/sim_test_util.h"

namespace kestrel::sim {
namespace {

using test::Host;
using test::Reply;
using test::TypeACard;

constexpr uint8_t kReqA = iso14443a::kReqA;
constexpr uint8_t kCt = iso14443a::kCascadeTag;

Bytes WithBits(uint8_t knownBits, const Bytes& serial) {
    Bytes params = {knownBits};
    params.insert(params.end(), serial.begin(), serial.end());
    return params;
}

class AnticollisionTest : public ::testing::Test {
  protected:
    AnticollisionTest() : host_(reader_) {}

    void Add(const Bytes& uid, uint16_t atqa = 0x0004, uint8_t sak = 0x08) {
        ASSERT_TRUE(reader_.AddCard(TypeACard(uid, atqa, sak)));
    }
    CardState State(const Bytes& uid) { return reader_.StateOf(uid).value(); }
    Reply Must(uint8_t code, const Bytes& params) {
        const std::optional<Reply> reply = host_.Exchange(code, params);
        EXPECT_TRUE(reply) << "no answer to command " << int(code);
        return reply.value_or(Reply{0xEE, {}});
    }

    VirtualReader reader_;
    Host host_;
};

const Bytes kA = {0x12, 0x34, 0x56, 0x78};
const Bytes kB = {0x12, 0x34, 0x56, 0x79};  // differs from kA in bit 24 (byte 3, bit 0)

TEST_F(AnticollisionTest, RequestOrsTheAtqasOfAllCards) {
    Add(kA, 0x0004);
    Add(kB, 0x0002);
    const Reply reply = Must(command::kRequest, {kReqA});
    EXPECT_EQ(reply.status, status::kOk);
    EXPECT_EQ(reply.data, (Bytes{0x06, 0x00}));
}

TEST_F(AnticollisionTest, CollisionAnswersSharedBitsAndTheirCount) {
    Add(kA);
    Add(kB);
    ASSERT_EQ(host_.Status(command::kRequest, {kReqA}), status::kOk);
    const Reply reply = Must(command::kAnticollision, WithBits(0, {0, 0, 0, 0}));
    EXPECT_EQ(reply.status, status::kCollision);
    EXPECT_EQ(reply.data, (Bytes{0x12, 0x34, 0x56, 0x00, 24}));
    // A collision changes no state: both cards stay ready.
    EXPECT_EQ(State(kA), CardState::kReady);
    EXPECT_EQ(State(kB), CardState::kReady);
}

struct ChoiceCase {
    const char* name;
    uint8_t knownBits;
    Bytes serial;
    uint8_t status;
    Bytes data;
};

class KnownBitsTest : public AnticollisionTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(KnownBitsTest, KnownBitsSingleOutOneCard) {
    const ChoiceCase& c = GetParam();
    Add(kA);
    Add(kB);
    Add({0x13, 0x00, 0x00, 0x01});
    ASSERT_EQ(host_.Status(command::kRequest, {kReqA}), status::kOk);
    const Reply reply = Must(command::kAnticollision, WithBits(c.knownBits, c.serial));
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.data, c.data);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, KnownBitsTest,
    ::testing::Values(
        // 0x12 and 0x13 differ in bit 0.
        ChoiceCase{"all_three", 0, {0, 0, 0, 0}, status::kCollision, {0, 0, 0, 0, 0}},
        ChoiceCase{"bit0_set", 1, {0x01, 0, 0, 0}, status::kOk, {0x13, 0x00, 0x00, 0x01}},
        ChoiceCase{
            "bit0_clear", 1, {0x00, 0, 0, 0}, status::kCollision, {0x12, 0x34, 0x56, 0x00, 24}},
        ChoiceCase{"bit24_clear", 25, {0x12, 0x34, 0x56, 0x00}, status::kOk, kA},
        ChoiceCase{"bit24_set", 25, {0x12, 0x34, 0x56, 0x01}, status::kOk, kB},
        ChoiceCase{"whole_serial", 32, kB, status::kOk, kB},
        ChoiceCase{"nobody", 8, {0x55, 0, 0, 0}, status::kNoCard, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AnticollisionTest, NonMatchingCardsStayReadyForTheNextRound) {
    Add(kA);
    Add(kB);
    ASSERT_EQ(host_.Status(command::kRequest, {kReqA}), status::kOk);
    ASSERT_EQ(Must(command::kAnticollision, WithBits(25, {0x12, 0x34, 0x56, 0x01})).data, kB);
    EXPECT_EQ(State(kA), CardState::kReady);
    EXPECT_EQ(Must(command::kAnticollision, WithBits(25, {0x12, 0x34, 0x56, 0x00})).data, kA);
    ASSERT_EQ(host_.Status(command::kSelect, kA), status::kOk);
    EXPECT_EQ(State(kA), CardState::kActive);
    EXPECT_EQ(State(kB), CardState::kIdle);
}

// The inventory loop of a host: resolve one card, select it, halt it, again until no card
// answers. Every card is found exactly once.
TEST_F(AnticollisionTest, InventoryFindsEveryCardOnce) {
    const std::vector<Bytes> uids = {kA, kB, {0x13, 0x00, 0x00, 0x01}, {0xF0, 0x0F, 0xAA, 0x55}};
    for (const Bytes& uid : uids) Add(uid);

    std::set<Bytes> found;
    for (int round = 0; round < 10; ++round) {
        if (host_.Status(command::kRequest, {kReqA}) == status::kNoCard) break;
        Bytes serial(4, 0);
        uint8_t known = 0;
        Reply reply;
        for (int step = 0; step <= 32; ++step) {
            reply = Must(command::kAnticollision, WithBits(known, serial));
            if (reply.status != status::kCollision) break;
            ASSERT_EQ(reply.data.size(), 5u);
            serial.assign(reply.data.begin(), reply.data.begin() + 4);
            const uint8_t bit = reply.data[4];
            serial[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));  // take the 1 branch
            known = static_cast<uint8_t>(bit + 1);
        }
        ASSERT_EQ(reply.status, status::kOk);
        ASSERT_EQ(host_.Status(command::kSelect, reply.data), status::kOk);
        EXPECT_TRUE(found.insert(reply.data).second) << "found twice";
        ASSERT_EQ(host_.Status(command::kHalt), status::kOk);
    }
    EXPECT_EQ(found, std::set<Bytes>(uids.begin(), uids.end()));
}

// With a collision the firmware goes on with the 0 bit: it finds the card whose UID bits are
// lowest in the order they travel (byte 0 first, least significant bit first), which is not
// the numeric order. 0x02 starts with bit 0 = 0; of 0x01 and 0x03, 0x01 has bit 1 = 0.
TEST_F(AnticollisionTest, ActivateIdlePicksLowestUidInAirOrderAndLeavesOthersIdle) {
    const Bytes one = {0x01, 0x00, 0x00, 0x00};
    const Bytes two = {0x02, 0x00, 0x00, 0x00};
    const Bytes three = {0x03, 0x00, 0x00, 0x00};
    Add(one);
    Add(two);
    Add(three);
    for (const Bytes& expected : {two, one, three}) {
        const Reply reply = Must(command::kActivateIdle, {0x00});
        ASSERT_EQ(reply.status, status::kOk);
        ASSERT_EQ(reply.data.size(), 8u);
        EXPECT_EQ(Bytes(reply.data.begin() + 4, reply.data.end()), expected);
        EXPECT_EQ(State(expected), CardState::kActive);
        for (const Bytes& uid : {one, two, three}) {
            if (uid != expected) {
                EXPECT_NE(State(uid), CardState::kActive);
                EXPECT_NE(State(uid), CardState::kReady);
            }
        }
        ASSERT_EQ(host_.Status(command::kHalt), status::kOk);
    }
    EXPECT_EQ(host_.Status(command::kActivateIdle, {0x00}), status::kNoCard);
}

TEST_F(AnticollisionTest, ActivateIdleReportsTheAtqaAsReceived) {
    Add({0x02, 0, 0, 0}, 0x0004, 0x08);
    Add({0x01, 0, 0, 0}, 0x0040, 0x18);
    const Reply reply = Must(command::kActivateIdle, {0x00});
    ASSERT_EQ(reply.status, status::kOk);
    EXPECT_EQ(reply.data, (Bytes{0x44, 0x00, 0x08, 4, 0x02, 0, 0, 0}));
}

struct CascadeCase {
    const char* name;
    Bytes uid;
    uint8_t sak;
    std::vector<Bytes> levels;  // the four bytes of each level
};

class CascadeTest : public AnticollisionTest, public ::testing::WithParamInterface<CascadeCase> {};

TEST_P(CascadeTest, WalksEveryLevel) {
    const CascadeCase& c = GetParam();
    Add(c.uid, 0x0044, c.sak);
    ASSERT_EQ(host_.Status(command::kRequestA, {kReqA}), status::kOk);
    const uint8_t selectCodes[] = {0x93, 0x95, 0x97};
    for (size_t level = 0; level < c.levels.size(); ++level) {
        const uint8_t sel = selectCodes[level];
        const Reply anticollision =
            Must(command::kCascadeAnticollision, {sel, 0x00, 0x00, 0x00, 0x00, 0x00});
        ASSERT_EQ(anticollision.status, status::kOk) << "level " << level;
        EXPECT_EQ(anticollision.data, c.levels[level]) << "level " << level;

        Bytes selectParams = {sel};
        selectParams.insert(selectParams.end(), c.levels[level].begin(), c.levels[level].end());
        const Reply select = Must(command::kCascadeSelect, selectParams);
        ASSERT_EQ(select.status, status::kOk);
        const bool last = level + 1 == c.levels.size();
        EXPECT_EQ(select.data, (Bytes{static_cast<uint8_t>(last ? c.sak : (c.sak | 0x04))}))
            << "level " << level;
        EXPECT_EQ(State(c.uid), last ? CardState::kActive : CardState::kReady);
    }
}

TEST_P(CascadeTest, LevelBytesGiveTheFullUid) {
    const CascadeCase& c = GetParam();
    Bytes uid;
    for (size_t level = 0; level < c.levels.size(); ++level) {
        const bool last = level + 1 == c.levels.size();
        uid.insert(uid.end(), c.levels[level].begin() + (last ? 0 : 1), c.levels[level].end());
        if (!last) {
            EXPECT_EQ(c.levels[level][0], kCt);
        }
    }
    EXPECT_EQ(uid, c.uid);
}

INSTANTIATE_TEST_SUITE_P(
    UidSizes, CascadeTest,
    ::testing::Values(
        CascadeCase{"single", {0x0A, 0x0B, 0x0C, 0x0D}, 0x08, {{0x0A, 0x0B, 0x0C, 0x0D}}},
        CascadeCase{"double",
                    {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66},
                    0x20,
                    {{kCt, 0x04, 0x11, 0x22}, {0x33, 0x44, 0x55, 0x66}}},
        CascadeCase{"triple",
                    {0x04, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9},
                    0x00,
                    {{kCt, 0x04, 0x21, 0x32}, {kCt, 0x43, 0x54, 0x65}, {0x76, 0x87, 0x98, 0xA9}}}),
    [](const auto& info) { return std::string(info.param.name); });

const Bytes kUid7 = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

TEST_F(AnticollisionTest, PlainCommandsWorkOnTheFirstLevel) {
    Add(kUid7, 0x0344, 0x20);
    ASSERT_EQ(host_.Status(command::kRequest, {kReqA}), status::kOk);
    const Reply anticollision = Must(command::kAnticollision, WithBits(0, {0, 0, 0, 0}));
    EXPECT_EQ(anticollision.data, (Bytes{kCt, 0x04, 0x11, 0x22}));
    const Reply select = Must(command::kSelect, anticollision.data);
    EXPECT_EQ(select.data, (Bytes{0x24}));
    EXPECT_EQ(State(kUid7), CardState::kReady);
    // The second level goes on with the cascade commands.
    const Reply second = Must(command::kCascadeSelect, {0x95, 0x33, 0x44, 0x55, 0x66});
    EXPECT_EQ(second.data, (Bytes{0x20}));
    EXPECT_EQ(State(kUid7), CardState::kActive);
}

TEST_F(AnticollisionTest, CardsWithEqualFirstLevelAnswerInUnison) {
    const Bytes other = {0x04, 0x11, 0x22, 0x99, 0x44, 0x55, 0x66};  // differs in byte 3
    Add(kUid7, 0x0044, 0x00);
    Add(other, 0x0344, 0x20);
    ASSERT_EQ(host_.Status(command::kRequest, {kReqA}), status::kOk);
    const Reply first = Must(command::kCascadeAnticollision, {0x93, 0, 0, 0, 0, 0});
    EXPECT_EQ(first.status, status::kOk);
    EXPECT_EQ(first.data, (Bytes{kCt, 0x04, 0x11, 0x22}));
    const Reply select = Must(command::kCascadeSelect, {0x93, kCt, 0x04, 0x11, 0x22});
    EXPECT_EQ(select.data, (Bytes{0x24}));  // 0x04 | 0x24: both answered
    EXPECT_EQ(State(kUid7), CardState::kReady);
    EXPECT_EQ(State(other), CardState::kReady);
    // 0x33 and 0x99 differ first in bit 1.
    const Reply second = Must(command::kCascadeAnticollision, {0x95, 0, 0, 0, 0, 0});
    EXPECT_EQ(second.status, status::kCollision);
    EXPECT_EQ(second.data, (Bytes{0x01, 0x00, 0x00, 0x00, 1}));
}

TEST_F(AnticollisionTest, ActivateIdleResolvesCollisionOnALaterLevel) {
    const Bytes other = {0x04, 0x11, 0x22, 0x99, 0x44, 0x55, 0x66};
    Add(kUid7, 0x0044, 0x00);
    Add(other, 0x0344, 0x20);
    // 0x99 has bit 1 clear, 0x33 has it set.
    const Reply reply = Must(command::kActivateIdle, {0x00});
    ASSERT_EQ(reply.status, status::kOk);
    EXPECT_EQ(reply.data, test::Concat({{0x44, 0x03, 0x20, 7}, other}));
    EXPECT_EQ(State(kUid7), CardState::kIdle);
}

struct WrongLevelCase {
    const char* name;
    uint8_t code;
    Bytes params;
};

class WrongLevelTest : public AnticollisionTest,
                       public ::testing::WithParamInterface<WrongLevelCase> {};

// A card waiting for its second level that hears a frame of another level falls back.
TEST_P(WrongLevelTest, CardWaitingForLevelTwoFallsBack) {
    Add(kUid7, 0x0044, 0x00);
    ASSERT_EQ(host_.Status(command::kRequest, {kReqA}), status::kOk);
    ASSERT_EQ(host_.Status(command::kCascadeSelect, {0x93, kCt, 0x04, 0x11, 0x22}), status::kOk);
    ASSERT_EQ(State(kUid7), CardState::kReady);
    EXPECT_EQ(host_.Status(GetParam().code, GetParam().params), status::kNoCard);
    EXPECT_EQ(State(kUid7), CardState::kIdle);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, WrongLevelTest,
    ::testing::Values(
        WrongLevelCase{"anticollision_level_one", command::kAnticollision, {0, 0, 0, 0, 0}},
        WrongLevelCase{"select_level_one", command::kSelect, {kCt, 0x04, 0x11, 0x22}},
        WrongLevelCase{
            "anticollision_level_three", command::kCascadeAnticollision, {0x97, 0, 0, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel::sim
