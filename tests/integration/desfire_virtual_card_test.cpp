// DESFire exchange, authentication and keys end to end against the virtual reader's DESFire
// card, through the ISO/IEC 14443-4 block protocol; over the in-process link and over a USB HID
// reader on the fake HID bus.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "support/card_scenario.h"

namespace kestrel::test {
namespace {

const Bytes kUid = {0x04, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76};
const Bytes kZeroKey(16, 0x00);
// Two-key triple DES: the halves differ.
const Bytes kNewKey = {0x10, 0x22, 0x34, 0x46, 0x58, 0x6A, 0x7C, 0x8E,
                       0x90, 0xA2, 0xB4, 0xC6, 0xD8, 0xEA, 0xFC, 0x0E};

class DesfireCardTest : public CardScenarioTest {
  protected:
    void SetUp() override {
        desfire = Add<sim::DesfireCard>("desfire", kUid);
        ASSERT_NE(desfire, nullptr);
        CardScenarioTest::SetUp();
    }

    // Authenticates key 0 of the selected application with `key`; the session key or empty.
    Bytes Authenticate(const Bytes& key, int32_t* result) {
        Bytes sessionKey(18, 0xCC);
        *result = DF_AuthKey(session, 0, key.data(), sessionKey.data() + 1);
        EXPECT_EQ(sessionKey.front(), 0xCC);
        EXPECT_EQ(sessionKey.back(), 0xCC);
        if (*result != KESTREL_OK) return {};
        return Bytes(sessionKey.begin() + 1, sessionKey.end() - 1);
    }

    sim::DesfireCard* desfire = nullptr;
};

TEST_P(DesfireCardTest, NothingBeforeInitData) {
    uint8_t data[64];
    uint16_t length = sizeof data;
    const uint8_t getVersion = 0x60;
    EXPECT_EQ(DF_SendNativeCMDEx(session, &getVersion, 1, data, &length),
              KESTREL_ERR_DF_NO_DESFIRE_SESSION);
    EXPECT_EQ(DF_Ping(session), KESTREL_ERR_DF_NO_DESFIRE_SESSION);
}

TEST_P(DesfireCardTest, GetVersionOverContinuationFrames) {
    ASSERT_EQ(DF_Connect(session), KESTREL_OK);
    uint8_t data[40];
    std::fill(std::begin(data), std::end(data), 0xCC);
    uint16_t length = 38;
    const uint8_t getVersion = 0x60;
    ASSERT_EQ(DF_SendNativeCMDEx(session, &getVersion, 1, data + 1, &length), KESTREL_OK);
    EXPECT_EQ(length, 28);
    // The third frame carries the UID.
    EXPECT_EQ(Bytes(data + 15, data + 22), kUid);
    EXPECT_EQ(data[0], 0xCC);
    EXPECT_EQ(data[29], 0xCC);
    EXPECT_EQ(DF_Ping(session), KESTREL_OK);
}

TEST_P(DesfireCardTest, AuthenticateChangeTheMasterKeyAndAuthenticateAgain) {
    ASSERT_EQ(DF_Connect(session), KESTREL_OK);
    int32_t r;
    const Bytes sessionKey = Authenticate(kZeroKey, &r);
    ASSERT_EQ(r, KESTREL_OK);
    // The library and the card derived the same session key.
    EXPECT_EQ(Bytes(desfire->SessionKey().begin(), desfire->SessionKey().end()), sessionKey);

    ASSERT_EQ(DF_ChangeCurKey(session, 0, kNewKey.data(), sessionKey.data()), KESTREL_OK);
    Authenticate(kZeroKey, &r);
    EXPECT_EQ(r, KESTREL_ERR_DF_AUTHENTICATION);  // an error in the card's second frame
    const Bytes second = Authenticate(kNewKey, &r);
    ASSERT_EQ(r, KESTREL_OK);

    uint8_t settings = 0;
    uint8_t maxKeys = 0;
    ASSERT_EQ(DF_GetKeySettings(session, &settings, &maxKeys), KESTREL_OK);
    EXPECT_EQ(settings, 0x0F);
    EXPECT_EQ(maxKeys, 1);
    ASSERT_EQ(DF_ChangeKeySettings(session, 0x0B, second.data()), KESTREL_OK);
    ASSERT_EQ(DF_GetKeySettings(session, &settings, &maxKeys), KESTREL_OK);
    EXPECT_EQ(settings, 0x0B);

    uint8_t version = 0xCC;
    ASSERT_EQ(DF_GetKeyVersion(session, 0, &version), KESTREL_OK);
    EXPECT_NE(version, 0xCC);
}

TEST_P(DesfireCardTest, CardStatusInTheFirstFrame) {
    ASSERT_EQ(DF_Connect(session), KESTREL_OK);
    Bytes sessionKey(16, 0xCC);
    // Key 5 does not exist on the card level.
    EXPECT_EQ(DF_AuthKey(session, 5, kZeroKey.data(), sessionKey.data()),
              KESTREL_ERR_DF_NO_SUCH_KEY);
    EXPECT_EQ(sessionKey, Bytes(16, 0xCC));
    uint8_t version = 0xCC;
    EXPECT_EQ(DF_GetKeyVersion(session, 9, &version), KESTREL_ERR_DF_NO_SUCH_KEY);
    EXPECT_EQ(version, 0xCC);
}

TEST_P(DesfireCardTest, AnswerOfTheWrongLength) {
    ASSERT_EQ(DF_Connect(session), KESTREL_OK);
    // The card answers GetKeySettings with three data bytes instead of two.
    desfire->RegisterNativeCommand(0x45, [](sim::DesfireCard&, const Bytes&) {
        return sim::desfire::Frames({0x0F, 0x01, 0x00});
    });
    uint8_t settings = 0xCC;
    uint8_t maxKeys = 0xCC;
    EXPECT_EQ(DF_GetKeySettings(session, &settings, &maxKeys), KESTREL_ERR_WRONG_ANSWER_LENGTH);
    EXPECT_EQ(settings, 0xCC);
    EXPECT_EQ(maxKeys, 0xCC);
}

TEST_P(DesfireCardTest, RawApduExchangeAndPresenceCheck) {
    // The ISO/IEC 14443-4 exports on their own: RATS, then a native command as an I-block.
    uint8_t ats[32];
    uint16_t atsLength = sizeof ats;
    ASSERT_EQ(Request_ATS(session, 0x00, &atsLength, ats), KESTREL_OK);
    ASSERT_GT(atsLength, 1);
    EXPECT_EQ(ats[0], atsLength);  // TL, the ATS's own length
    uint8_t blockNumber = 0;
    const uint8_t getKeyVersion[2] = {0x64, 0x00};
    uint8_t answer[8];
    uint16_t answerLength = sizeof answer;
    ASSERT_EQ(
        Send_Raw_APDU(session, &blockNumber, 64, getKeyVersion, 2, answer, &answerLength, 500),
        KESTREL_OK);
    EXPECT_EQ(answerLength, 2);
    EXPECT_EQ(answer[0], 0x00);
    EXPECT_EQ(blockNumber, 1);
    EXPECT_EQ(TCLPing(session, &blockNumber, 16, 500), KESTREL_OK);
    EXPECT_EQ(Reset14443_4(session, 16), KESTREL_OK);
}

INSTANTIATE_TEST_SUITE_P(Transports, DesfireCardTest,
                         ::testing::Values(Transport::kInProcess, Transport::kUsb), TransportName);

}  // namespace
}  // namespace kestrel::test
