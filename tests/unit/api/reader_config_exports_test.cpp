// Reader configuration exports against a scripted reader: session checks, the bytes each
// export sends, the answers it hands back, RF scanning on both reader types and the exchange
// time-out.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "KestrelAPI.h"
#include "unit/mifare/card_script.h"

namespace kestrel::test {
namespace {

using ReaderConfigExportsTest = CardTest;

TEST_F(ReaderConfigExportsTest, SessionChecks) {
    char text[8];
    uint8_t b = 8;
    uint32_t d = 0;
    const uint8_t data[1] = {0};
    ExpectSessionChecks({
        {"PcdSetDefaultAttrib", [&](KestrelSession* s) { return PcdSetDefaultAttrib(s); }},
        {"PcdSetAttrib", [&](KestrelSession* s) { return PcdSetAttrib(s, 1, 2); }},
        {"GetFWVersion", [&](KestrelSession* s) { return GetFWVersion(s, text, &b); }},
        {"PcdWriteReg", [&](KestrelSession* s) { return PcdWriteReg(s, 1, 2); }},
        {"PcdReadReg", [&](KestrelSession* s) { return PcdReadReg(s, 1, &b); }},
        {"Interface_SetTimeOuts",
         [&](KestrelSession* s) { return Interface_SetTimeOuts(s, 500, &d); }},
        {"SetIODevState", [&](KestrelSession* s) { return SetIODevState(s, 1, 1); }},
        {"Pcd_LoadConfig", [&](KestrelSession* s) { return Pcd_LoadConfig(s, 1); }},
        {"PcdSetCardType", [&](KestrelSession* s) { return PcdSetCardType(s, 1); }},
        {"SendDirectCommand",
         [&](KestrelSession* s) { return SendDirectCommand(s, 0x10, data, 1, nullptr, nullptr); }},
        {"SetRFScan", [&](KestrelSession* s) { return SetRFScan(s, 1); }},
        {"GetRFScan", [&](KestrelSession* s) { return GetRFScan(s, &b); }},
    });
}

TEST_F(ReaderConfigExportsTest, CommandLayouts) {
    const struct {
        const char* name;
        std::function<int32_t()> call;
        uint8_t code;
        Bytes params;
    } cases[] = {
        {"PcdSetDefaultAttrib", [&] { return PcdSetDefaultAttrib(session); }, 0x45, {}},
        {"PcdSetAttrib", [&] { return PcdSetAttrib(session, 0x12, 0x34); }, 0x46, {0x12, 0x34}},
        {"PcdWriteReg", [&] { return PcdWriteReg(session, 0x05, 0xA5); }, 0x01, {0x05, 0xA5}},
        {"SetIODevState", [&] { return SetIODevState(session, 0x03, 0x01); }, 0xE6, {0x03, 0x01}},
        {"Pcd_LoadConfig", [&] { return Pcd_LoadConfig(session, 0x0102); }, 0xED, {0x02, 0x01}},
        {"PcdSetCardType", [&] { return PcdSetCardType(session, 0x0B); }, 0xEA, {0x0B}},
    };
    for (const auto& c : cases) {
        Expect(c.code, c.params);
        EXPECT_EQ(c.call(), KESTREL_OK) << c.name;
        CheckTraffic(c.name);
    }
}

TEST_F(ReaderConfigExportsTest, ReadRegisterAndFirmwareVersion) {
    uint8_t value = kGuard;
    Expect(0x02, {0x05}, kStatusOk, {0x3C});
    EXPECT_EQ(PcdReadReg(session, 0x05, &value), KESTREL_OK);
    EXPECT_EQ(value, 0x3C);

    char text[4] = {'x', 'x', 'x', 'x'};
    uint8_t length = 3;
    Expect(0x63, {}, kStatusOk, {0x02, 0x00, 'v', '1'});
    EXPECT_EQ(GetFWVersion(session, text, &length), KESTREL_OK);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(std::string(text, 4), "v1xx");
    CheckTraffic();
}

TEST_F(ReaderConfigExportsTest, DirectCommandWithAndWithoutAnswerBuffer) {
    const uint8_t data[3] = {0x0A, 0x0B, 0x0C};
    // No answer wanted: the answer is dropped.
    Expect(0x5C, {0x0A, 0x0B, 0x0C}, kStatusOk, {0x01, 0x02});
    EXPECT_EQ(SendDirectCommand(session, 0x5C, data, 3, nullptr, nullptr), KESTREL_OK);

    // With a buffer: the answer and its length, also when the reader reports a failure.
    Bytes answer(5, kGuard);
    uint32_t length = 4;
    Expect(0x5C, {0x0A}, kStatusNoCard, {0x01, 0x02});
    EXPECT_EQ(SendDirectCommand(session, 0x5C, data, 1, answer.data(), &length),
              KESTREL_ERR_NO_CARD);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(answer, (Bytes{0x01, 0x02, kGuard, kGuard, kGuard}));
    CheckTraffic();
}

TEST_F(ReaderConfigExportsTest, SetTimeOutsAppliesToTheNextCommand) {
    uint32_t previous = 0;
    EXPECT_EQ(Interface_SetTimeOuts(session, 500, &previous), KESTREL_OK);
    EXPECT_EQ(previous, 2000u);
    EXPECT_TRUE(comm_->requests.empty());

    Expect(0x45, {});
    EXPECT_EQ(PcdSetDefaultAttrib(session), KESTREL_OK);
    ASSERT_EQ(comm_->writeTimeOuts.size(), 1u);
    EXPECT_EQ(comm_->writeTimeOuts.back(), 500u);
    ASSERT_FALSE(comm_->readTimeOuts.empty());
    for (uint32_t t : comm_->readTimeOuts) EXPECT_EQ(t, 500u);

    EXPECT_EQ(Interface_SetTimeOuts(session, 750, nullptr), KESTREL_OK);
    EXPECT_EQ(Interface_SetTimeOuts(session, 2000, &previous), KESTREL_OK);
    EXPECT_EQ(previous, 750u);
    CheckTraffic();
}

// RF scanning goes through the free-form command on every reader type.
class RfScanExportsTest : public CardTest, public ::testing::WithParamInterface<int32_t> {
  protected:
    void SetUp() override {
        session = CreateSession(0);
        auto comm = std::make_unique<ScriptedComm>();
        comm_ = comm.get();
        ASSERT_EQ(api::ConnectWith(*session, std::move(comm), GetParam()), KESTREL_OK);
    }
};

TEST_P(RfScanExportsTest, SetRFScan) {
    Expect(0xE0, {}, kStatusOk, {0x01, 0x02});
    EXPECT_EQ(SetRFScan(session, 1), KESTREL_OK);
    Expect(0xE0, {});
    EXPECT_EQ(SetRFScan(session, 0x80), KESTREL_OK);
    Expect(0xE1, {}, kStatusNoCard);
    EXPECT_EQ(SetRFScan(session, 0), KESTREL_ERR_NO_CARD);
    CheckTraffic();
}

TEST_P(RfScanExportsTest, GetRFScan) {
    const struct {
        const char* name;
        uint8_t status;
        Bytes answer;
        int32_t expected;
        uint8_t state;
    } cases[] = {
        {"on", kStatusOk, {0x01}, KESTREL_OK, 1},
        {"any non-zero byte", kStatusOk, {0x07}, KESTREL_OK, 1},
        {"off", kStatusOk, {0x00}, KESTREL_OK, 0},
        {"empty answer", kStatusOk, {}, KESTREL_OK, 0},
        {"two bytes", kStatusOk, {0x01, 0x00}, KESTREL_ERR_WRONG_PARAMETER, kGuard},
        {"failure", kStatusNoCard, {0x01}, KESTREL_ERR_NO_CARD, kGuard},
    };
    for (const auto& c : cases) {
        uint8_t state = kGuard;
        Expect(0xE8, {}, c.status, c.answer);
        EXPECT_EQ(GetRFScan(session, &state), c.expected) << c.name;
        EXPECT_EQ(state, c.state) << c.name;
        CheckTraffic(c.name);
    }
    EXPECT_EQ(GetRFScan(session, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("null state");
}

INSTANTIATE_TEST_SUITE_P(ReaderTypes, RfScanExportsTest, ::testing::Values(0, READER_TYPE_RFSCAN));

}  // namespace
}  // namespace kestrel::test
