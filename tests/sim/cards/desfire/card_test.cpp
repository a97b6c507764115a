// The virtual reader's DESFire card, byte by byte through ExchangeBlock with frame size 16 and a
// CID, as a host library talks to it: native framing with 0xAF frames both ways, GetVersion,
// legacy authentication (the genuine-card trace included), keys, key settings, key versions,
// applications.
#include <gtest/gtest.h>

#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/helpers/hex.h"
#include "sim/iso_host.h"

namespace kestrel::sim {
namespace {

using test::Key16;
namespace df = desfire;

const Bytes kUid = {0x04, 0x5A, 0x3B, 0x1C, 0x2D, 0x3E, 0x80};
const Key16 kZeroKey{};
const Key16 kTripleDesKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                             0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const Key16 kDesKey = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                       0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
const Bytes kRndA = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
const df::Aid kAid = {0x01, 0x02, 0x03};

Bytes St(uint8_t statusByte) {
    return {statusByte};
}

class DesfireCardTest : public ::testing::Test {
  protected:
    DesfireCardTest() : host_(reader_) {
        auto card = MakeCard(*FindCardProfile("desfire"), kUid);
        card_ = dynamic_cast<DesfireCard*>(card.get());
        reader_.AddCard(std::move(card));
        Connect();
    }
    // Activation as a host library does it: RATS with parameter 0 (FSD 16), blocks with CID 0,
    // I-blocks of 16 bytes.
    void Connect() {
        ASSERT_TRUE(host_.Activate(0x00, true));
        host_.SetCardFrameSize(16);
    }
    Bytes Native(const Bytes& command) { return host_.Native(command); }

    // Legacy authentication from the host's side. The status of the last answer; on success
    // the session key the host derives.
    struct AuthResult {
        Bytes last;
        std::optional<Key16> sessionKey;
    };
    AuthResult Authenticate(uint8_t keyNumber, const Key16& key) {
        const Bytes first = Native({df::command::kAuthenticate, keyNumber});
        if (first.size() != 9 || first[0] != df::status::kAdditionalFrame) return {first, {}};
        const Bytes rndB = test::HostReceive(key, Bytes(first.begin() + 1, first.end()));
        const Bytes token = test::HostSend(key, test::Concat({kRndA, test::RotateLeft(rndB)}));
        const Bytes second = Native(test::Concat({{df::command::kAdditionalFrame}, token}));
        if (second.size() != 9 || second[0] != df::status::kOk) return {second, {}};
        EXPECT_EQ(test::HostReceive(key, Bytes(second.begin() + 1, second.end())),
                  test::RotateLeft(kRndA));
        const bool single = std::equal(key.begin(), key.begin() + 8, key.begin() + 8);
        Key16 session{};
        for (int i = 0; i < 4; ++i) {
            session[i] = kRndA[i];
            session[4 + i] = rndB[i];
            session[8 + i] = single ? kRndA[i] : kRndA[4 + i];
            session[12 + i] = single ? rndB[i] : rndB[4 + i];
        }
        return {second, session};
    }
    Key16 MustAuthenticate(uint8_t keyNumber, const Key16& key) {
        const AuthResult result = Authenticate(keyNumber, key);
        EXPECT_TRUE(result.sessionKey) << "key " << int(keyNumber) << ": " << ToHex(result.last);
        return result.sessionKey.value_or(Key16{});
    }

    // The ChangeKey cryptograms, with CRCs that a test may spoil.
    static Bytes CurrentKeyCryptogram(const Key16& session, const Key16& newKey, int spoil = 0) {
        Bytes plain(newKey.begin(), newKey.end());
        Bytes crc = test::CrcABytes(plain);
        crc[0] ^= static_cast<uint8_t>(spoil);
        plain.insert(plain.end(), crc.begin(), crc.end());
        plain.resize(24, 0x00);
        return test::HostSend(session, plain);
    }
    static Bytes OtherKeyCryptogram(const Key16& session, const Key16& oldKey, const Key16& newKey,
                                    int spoilX = 0, int spoilNew = 0) {
        Bytes x(16);
        for (int i = 0; i < 16; ++i) x[i] = oldKey[i] ^ newKey[i];
        Bytes crcX = test::CrcABytes(x);
        crcX[1] ^= static_cast<uint8_t>(spoilX);
        Bytes crcNew = test::CrcABytes(Bytes(newKey.begin(), newKey.end()));
        crcNew[0] ^= static_cast<uint8_t>(spoilNew);
        Bytes plain = test::Concat({x, crcX, crcNew});
        plain.resize(24, 0x00);
        return test::HostSend(session, plain);
    }
    Bytes ChangeKey(uint8_t keyNumber, const Bytes& cryptogram) {
        return Native(test::Concat({{df::command::kChangeKey, keyNumber}, cryptogram}));
    }
    Bytes ChangeKeySettings(const Key16& session, uint8_t settings, int spoil = 0) {
        Bytes plain = {settings};
        Bytes crc = test::CrcABytes(plain);
        crc[0] ^= static_cast<uint8_t>(spoil);
        plain.insert(plain.end(), crc.begin(), crc.end());
        plain.resize(8, 0x00);
        return Native(
            test::Concat({{df::command::kChangeKeySettings}, test::HostSend(session, plain)}));
    }
    Bytes Select(const df::Aid& aid) {
        return Native({df::command::kSelectApplication, aid[0], aid[1], aid[2]});
    }
    // The first 16 bytes of a key: all there is to DES and two-key triple DES keys.
    Key16 CardKey(const df::Aid& aid, size_t number) {
        const df::Key& key = card_->FindApplication(aid)->keys.at(number);
        Key16 first{};
        std::copy(key.begin(), key.begin() + 16, first.begin());
        return first;
    }

    VirtualReader reader_;
    test::IsoHost host_;
    DesfireCard* card_ = nullptr;
};

TEST_F(DesfireCardTest, FactoryState) {
    EXPECT_EQ(card_->Atqa(), 0x0344);
    EXPECT_EQ(card_->Sak(), 0x20);
    EXPECT_EQ(host_.ats(), DesfireCard::kAts);
    ASSERT_EQ(card_->Applications().size(), 1u);
    const df::Application& level = card_->Applications()[0];
    EXPECT_EQ(level.aid, df::kCardLevel);
    EXPECT_EQ(level.keySettings, 0x0F);
    EXPECT_EQ(level.keys, std::vector<df::Key>{df::Key{}});
    EXPECT_EQ(Native({df::command::kGetKeySettings}), (Bytes{0x00, 0x0F, 0x01}));
    EXPECT_EQ(Native({df::command::kGetKeyVersion, 0x00}), (Bytes{0x00, 0x00}));
}

TEST_F(DesfireCardTest, GetVersionInThreeFrames) {
    const Bytes third = test::Concat({kUid, {0x4B, 0x53, 0x49, 0x4D, 0x01, 0x01, 0x24}});
    const std::vector<std::pair<Bytes, Bytes>> steps = {
        {{0x60}, {0xAF, 0x04, 0x01, 0x01, 0x00, 0x02, 0x18, 0x05}},
        {{0xAF}, {0xAF, 0x04, 0x01, 0x01, 0x00, 0x06, 0x18, 0x05}},
        {{0xAF}, test::Concat({{0x00}, third})},  // 15 bytes: chained over two blocks
        {{0xAF}, St(df::status::kIllegalCommand)},
    };
    for (const auto& [command, answer] : steps) EXPECT_EQ(Native(command), answer);
    EXPECT_EQ(Native({0x60, 0x00}), St(df::status::kLengthError));
}

TEST_F(DesfireCardTest, AnotherCommandEndsPendingFrames) {
    ASSERT_EQ(Native({0x60})[0], 0xAF);
    EXPECT_EQ(Native({df::command::kGetKeyVersion, 0x00}), (Bytes{0x00, 0x00}));
    EXPECT_EQ(Native({0xAF}), St(df::status::kIllegalCommand));
    // 0xAF with data while frames are pending is a length error and ends them.
    ASSERT_EQ(Native({0x60})[0], 0xAF);
    EXPECT_EQ(Native({0xAF, 0x00}), St(df::status::kLengthError));
    EXPECT_EQ(Native({0xAF}), St(df::status::kIllegalCommand));
}

TEST_F(DesfireCardTest, FramesTheCardDoesNotTake) {
    const std::vector<std::pair<Bytes, Bytes>> cases = {
        {{}, St(df::status::kLengthError)},
        {Bytes(61, 0x45), St(df::status::kLengthError)},  // beyond a native frame
        {{0x2A}, St(df::status::kIllegalCommand)},        // not a command of this card
        {{0xAF}, St(df::status::kIllegalCommand)},
        {{0x45, 0x00}, St(df::status::kLengthError)},
        {{0x64}, St(df::status::kLengthError)},
        {{0x64, 0x00, 0x00}, St(df::status::kLengthError)},
        {{0x64, 0x01}, St(df::status::kNoSuchKey)},
        {{0x0A}, St(df::status::kLengthError)},
        {{0x0A, 0x00, 0x00}, St(df::status::kLengthError)},
        {{0x0A, 0x01}, St(df::status::kNoSuchKey)},
        {{0x5A, 0x00, 0x00}, St(df::status::kLengthError)},
        {{0x5A, 0x01, 0x02, 0x03}, St(df::status::kApplicationNotFound)},
        {{0x54, 0, 0, 0, 0, 0, 0, 0, 0}, St(df::status::kAuthenticationError)},
        {{0x54, 0, 0, 0, 0, 0, 0, 0}, St(df::status::kLengthError)},
        {test::Concat({{0xC4, 0x00}, Bytes(24, 0)}), St(df::status::kAuthenticationError)},
        {test::Concat({{0xC4, 0x00}, Bytes(23, 0)}), St(df::status::kLengthError)},
        {test::Concat({{0xC4, 0x01}, Bytes(24, 0)}), St(df::status::kNoSuchKey)},
    };
    for (const auto& [command, answer] : cases) {
        EXPECT_EQ(Native(command), answer) << ToHex(command);
    }
}

TEST_F(DesfireCardTest, GenuineCardTraceIsReproduced) {
    const Bytes rndB = {0xCC, 0xF5, 0x32, 0x70, 0x57, 0x0A, 0x76, 0x69};
    card_->SetFixedRndB(std::array<uint8_t, 8>{0xCC, 0xF5, 0x32, 0x70, 0x57, 0x0A, 0x76, 0x69});
    const Bytes token = {0x05, 0xEE, 0xC3, 0x1F, 0x1E, 0x6A, 0x0C, 0xC3,
                         0x1F, 0xEF, 0x83, 0x98, 0xA6, 0x62, 0x13, 0x70};
    // The test's own host cryptography gives the trace's token for the trace's numbers.
    ASSERT_EQ(test::HostSend(kZeroKey, test::Concat({kRndA, test::RotateLeft(rndB)})), token);

    EXPECT_EQ(Native({0x0A, 0x00}), (Bytes{0xAF, 0xDF, 0x6A, 0xB2, 0x9A, 0xAE, 0x46, 0xBA, 0x27}));
    EXPECT_EQ(Native(test::Concat({{0xAF}, token})),
              (Bytes{0x00, 0x26, 0xAC, 0xED, 0x3C, 0x77, 0x1E, 0xF9, 0xA0}));
    EXPECT_EQ(card_->AuthenticatedKey(), 0);
    const df::Key session = {0xA0, 0xA1, 0xA2, 0xA3, 0xCC, 0xF5, 0x32, 0x70,
                             0xA0, 0xA1, 0xA2, 0xA3, 0xCC, 0xF5, 0x32, 0x70};
    EXPECT_EQ(card_->SessionKey(), Bytes(session.begin(), session.begin() + 16));
}

TEST_F(DesfireCardTest, RandomNumbersDifferBetweenAuthentications) {
    const Bytes first = Native({0x0A, 0x00});
    const Bytes second = Native({0x0A, 0x00});
    ASSERT_EQ(first.size(), 9u);
    ASSERT_EQ(second.size(), 9u);
    EXPECT_NE(first, second);
}

TEST_F(DesfireCardTest, AuthenticationFailures) {
    // Wrong key: the card finds its RndB missing from the token.
    const Key16 wrong = {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(Authenticate(0, wrong).last, St(df::status::kAuthenticationError));
    EXPECT_FALSE(card_->AuthenticatedKey());

    // A token of the wrong length, 0xAF with nothing pending, another command in between.
    ASSERT_EQ(Native({0x0A, 0x00}).size(), 9u);
    EXPECT_EQ(Native(test::Concat({{0xAF}, Bytes(15, 0)})), St(df::status::kLengthError));
    EXPECT_EQ(Native(test::Concat({{0xAF}, Bytes(16, 0)})), St(df::status::kIllegalCommand));
    ASSERT_EQ(Native({0x0A, 0x00}).size(), 9u);
    EXPECT_EQ(Native({0x64, 0x00}), (Bytes{0x00, 0x00}));
    EXPECT_EQ(Native(test::Concat({{0xAF}, Bytes(16, 0)})), St(df::status::kIllegalCommand));

    // A new authentication ends the one in force, also when it fails.
    MustAuthenticate(0, kZeroKey);
    EXPECT_EQ(card_->AuthenticatedKey(), 0);
    EXPECT_EQ(Authenticate(0, wrong).last, St(df::status::kAuthenticationError));
    EXPECT_FALSE(card_->AuthenticatedKey());
}

TEST_F(DesfireCardTest, ChangeTheCardMasterKeyToTripleDes) {
    const Key16 session = MustAuthenticate(0, kZeroKey);
    EXPECT_EQ(ChangeKey(0, CurrentKeyCryptogram(session, kTripleDesKey)), St(0x00));
    EXPECT_EQ(CardKey(df::kCardLevel, 0), kTripleDesKey);
    // Changing the key of the authentication ends it.
    EXPECT_FALSE(card_->AuthenticatedKey());
    // Version 0x55 sits in the lowest bits of bytes 0-7 (00 11 22 33 44 55 66 77).
    EXPECT_EQ(Native({0x64, 0x00}), (Bytes{0x00, 0x55}));

    EXPECT_EQ(Authenticate(0, kZeroKey).last, St(df::status::kAuthenticationError));
    const Key16 tripleSession = MustAuthenticate(0, kTripleDesKey);
    EXPECT_EQ(card_->SessionKey(), Bytes(tripleSession.begin(), tripleSession.end()));
    // Two-key triple DES: the second half of the session key is RndA 4-7, RndB 4-7.
    EXPECT_EQ(Bytes(tripleSession.begin() + 8, tripleSession.begin() + 12),
              Bytes(kRndA.begin() + 4, kRndA.end()));

    // And back to a single DES key.
    EXPECT_EQ(ChangeKey(0, CurrentKeyCryptogram(tripleSession, kDesKey)), St(0x00));
    const Key16 desSession = MustAuthenticate(0, kDesKey);
    EXPECT_TRUE(std::equal(desSession.begin(), desSession.begin() + 8, desSession.begin() + 8));
    EXPECT_EQ(card_->SessionKey(), Bytes(desSession.begin(), desSession.end()));
}

// ChangeKey cryptograms in an application with three keys, with good and spoiled CRCs.
struct CryptogramCase {
    const char* name;
    uint8_t authKey;
    uint8_t changedKey;
    bool current;  // the cryptogram for the key of the authentication
    int spoilFirst, spoilSecond;
    uint8_t status;
};
class CryptogramTest : public DesfireCardTest,
                       public ::testing::WithParamInterface<CryptogramCase> {};

TEST_P(CryptogramTest, CardChecksTheCrcs) {
    const CryptogramCase c = GetParam();
    // A key changes itself under settings 0xE., the master key changes the others under 0x0.
    const bool same = c.authKey == c.changedKey;
    ASSERT_TRUE(card_->AddApplication(kAid, same ? 0xEF : 0x0F, 3));
    ASSERT_EQ(Select(kAid), St(0x00));
    const Key16 oldKey = CardKey(kAid, c.changedKey);
    const Key16 session = MustAuthenticate(c.authKey, kZeroKey);
    const Bytes cryptogram =
        c.current ? CurrentKeyCryptogram(session, kTripleDesKey, c.spoilFirst)
                  : OtherKeyCryptogram(session, oldKey, kTripleDesKey, c.spoilFirst, c.spoilSecond);
    EXPECT_EQ(ChangeKey(c.changedKey, cryptogram), St(c.status));
    EXPECT_EQ(CardKey(kAid, c.changedKey), c.status == 0x00 ? kTripleDesKey : oldKey);
    // Errors and a change of the authentication's key end the authentication.
    const bool stays = c.status == 0x00 && c.authKey != c.changedKey;
    EXPECT_EQ(card_->AuthenticatedKey().has_value(), stays);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CryptogramTest,
    ::testing::Values(CryptogramCase{"current_good", 1, 1, true, 0, 0, 0x00},
                      CryptogramCase{"current_bad_crc", 1, 1, true, 0x01, 0, 0x1E},
                      CryptogramCase{"master_other_key_good", 0, 2, false, 0, 0, 0x00},
                      CryptogramCase{"other_bad_crc_of_xor", 0, 2, false, 0x80, 0, 0x1E},
                      CryptogramCase{"other_bad_crc_of_new_key", 0, 2, false, 0, 0x04, 0x1E},
                      // A current-key cryptogram where the card expects another key's.
                      CryptogramCase{"wrong_format", 0, 2, true, 0, 0, 0x1E}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DesfireCardTest, OtherKeyEqualToTheOldOneHasAZeroXor) {
    ASSERT_TRUE(card_->AddApplication(kAid, 0x0F, 2));
    ASSERT_EQ(Select(kAid), St(0x00));
    const Key16 session = MustAuthenticate(0, kZeroKey);
    // X is 16 zero bytes, and its CRC_A is the CRC_A of those zeros.
    EXPECT_EQ(ChangeKey(1, OtherKeyCryptogram(session, kZeroKey, kZeroKey)), St(0x00));
    EXPECT_EQ(CardKey(kAid, 1), kZeroKey);
    EXPECT_EQ(card_->AuthenticatedKey(), 0);
}

// Who may change which key, by the application's key settings.
struct RightsCase {
    const char* name;
    uint8_t settings;
    std::optional<uint8_t> authKey;  // nullopt: not authenticated
    uint8_t changedKey;
    uint8_t status;
};
class ChangeKeyRightsTest : public DesfireCardTest,
                            public ::testing::WithParamInterface<RightsCase> {};

TEST_P(ChangeKeyRightsTest, Rights) {
    const RightsCase c = GetParam();
    ASSERT_TRUE(card_->AddApplication(kAid, c.settings, 3));
    ASSERT_EQ(Select(kAid), St(0x00));
    Key16 session{};
    if (c.authKey) session = MustAuthenticate(*c.authKey, kZeroKey);
    const Bytes cryptogram = c.authKey == c.changedKey
                                 ? CurrentKeyCryptogram(session, kDesKey)
                                 : OtherKeyCryptogram(session, kZeroKey, kDesKey);
    EXPECT_EQ(ChangeKey(c.changedKey, cryptogram), St(c.status));
    if (c.changedKey < 3) {
        EXPECT_EQ(CardKey(kAid, c.changedKey), c.status == 0x00 ? kDesKey : kZeroKey);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChangeKeyRightsTest,
    ::testing::Values(RightsCase{"master_changes_master", 0x0F, 0, 0, 0x00},
                      RightsCase{"master_not_changeable", 0x0E, 0, 0, 0x9D},
                      RightsCase{"master_needs_key_0", 0x0F, 1, 0, 0xAE},
                      RightsCase{"not_authenticated", 0x0F, std::nullopt, 1, 0xAE},
                      RightsCase{"key_0_changes_others", 0x0F, 0, 1, 0x00},
                      RightsCase{"key_0_rule_refuses_key_1", 0x0F, 1, 2, 0xAE},
                      RightsCase{"key_2_rule", 0x2F, 2, 1, 0x00},
                      RightsCase{"key_2_rule_refuses_key_0", 0x2F, 0, 1, 0xAE},
                      RightsCase{"same_key_rule", 0xEF, 2, 2, 0x00},
                      RightsCase{"same_key_rule_refuses_master", 0xEF, 0, 2, 0xAE},
                      RightsCase{"frozen", 0xFF, 0, 1, 0x9D},
                      RightsCase{"frozen_master_still_changes", 0xFF, 0, 0, 0x00},
                      RightsCase{"no_such_key", 0x0F, 0, 3, 0x40}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DesfireCardTest, KeySettings) {
    // Without the free directory list only the master key reads them.
    Key16 session = MustAuthenticate(0, kZeroKey);
    EXPECT_EQ(ChangeKeySettings(session, 0x09), St(0x00));
    EXPECT_EQ(card_->Applications()[0].keySettings, 0x09);
    EXPECT_EQ(card_->AuthenticatedKey(), 0);
    EXPECT_EQ(Native({0x45}), (Bytes{0x00, 0x09, 0x01}));
    ASSERT_EQ(Select(df::kCardLevel), St(0x00));  // ends the authentication
    EXPECT_EQ(Native({0x45}), St(df::status::kAuthenticationError));

    // A spoiled CRC changes nothing and ends the authentication.
    session = MustAuthenticate(0, kZeroKey);
    EXPECT_EQ(ChangeKeySettings(session, 0x0F, 0x10), St(df::status::kIntegrityError));
    EXPECT_EQ(card_->Applications()[0].keySettings, 0x09);
    EXPECT_FALSE(card_->AuthenticatedKey());

    // Settings without "configuration changeable" are final.
    session = MustAuthenticate(0, kZeroKey);
    EXPECT_EQ(ChangeKeySettings(session, 0x03), St(0x00));
    session = MustAuthenticate(0, kZeroKey);
    EXPECT_EQ(ChangeKeySettings(session, 0x0F), St(df::status::kPermissionDenied));
    EXPECT_EQ(card_->Applications()[0].keySettings, 0x03);
}

TEST_F(DesfireCardTest, ApplicationKeySettingsNeedTheApplicationMasterKey) {
    ASSERT_TRUE(card_->AddApplication(kAid, 0x0D, 4));  // no free directory list
    ASSERT_EQ(Select(kAid), St(0x00));
    EXPECT_EQ(Native({0x45}), St(df::status::kAuthenticationError));
    MustAuthenticate(2, kZeroKey);
    EXPECT_EQ(Native({0x45}), St(df::status::kAuthenticationError));
    const Key16 session = MustAuthenticate(0, kZeroKey);
    EXPECT_EQ(Native({0x45}), (Bytes{0x00, 0x0D, 0x04}));
    EXPECT_EQ(ChangeKeySettings(session, 0x2F), St(0x00));
    EXPECT_EQ(card_->FindApplication(kAid)->keySettings, 0x2F);
    EXPECT_EQ(card_->Applications()[0].keySettings, 0x0F);  // the card level is untouched
}

TEST_F(DesfireCardTest, KeyVersionsAreTheLowestBitsOfTheFirstHalf) {
    const struct {
        Key16 key;
        uint8_t version;
    } cases[] = {
        {kZeroKey, 0x00},
        {{0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x80},
        {{0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}, 0x01},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x00},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}, 0xFF},
        {kTripleDesKey, 0x55},
    };
    ASSERT_TRUE(card_->AddApplication(kAid, 0x0F, static_cast<size_t>(std::size(cases)) + 1));
    ASSERT_EQ(Select(kAid), St(0x00));
    Key16 session = MustAuthenticate(0, kZeroKey);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const uint8_t number = static_cast<uint8_t>(i + 1);
        EXPECT_EQ(df::KeyVersion(cases[i].key.data()), cases[i].version) << i;
        EXPECT_EQ(ChangeKey(number, OtherKeyCryptogram(session, kZeroKey, cases[i].key)), St(0x00));
        EXPECT_EQ(Native({0x64, number}), (Bytes{0x00, cases[i].version})) << i;
    }
    // Key versions are readable without authentication.
    ASSERT_EQ(Select(kAid), St(0x00));
    EXPECT_EQ(Native({0x64, 0x02}), (Bytes{0x00, 0x80}));
    EXPECT_EQ(Native({0x64, 0x07}), St(df::status::kNoSuchKey));
}

TEST_F(DesfireCardTest, ApplicationsAndSelection) {
    std::string error;
    EXPECT_FALSE(card_->AddApplication(df::kCardLevel, 0x0F, 1, &error));
    EXPECT_NE(error.find("card level"), std::string::npos);
    EXPECT_TRUE(card_->AddApplication(kAid, 0x0B, 14, &error)) << error;
    EXPECT_FALSE(card_->AddApplication(kAid, 0x0F, 1, &error));
    EXPECT_NE(error.find("exists"), std::string::npos);
    EXPECT_FALSE(card_->AddApplication({9, 9, 9}, 0x0F, 0, &error));
    EXPECT_FALSE(card_->AddApplication({9, 9, 9}, 0x0F, 15, &error));
    EXPECT_NE(error.find("1 to 14"), std::string::npos);

    EXPECT_EQ(Select(kAid), St(0x00));
    EXPECT_EQ(card_->SelectedApplication().aid, kAid);
    EXPECT_EQ(Native({0x45}), (Bytes{0x00, 0x0B, 0x0E}));
    MustAuthenticate(13, kZeroKey);
    EXPECT_EQ(Native({0x0A, 14}), St(df::status::kNoSuchKey));
    EXPECT_FALSE(card_->AuthenticatedKey());  // every error ends the authentication

    // An unknown AID leaves the selection as it was; the authentication ends.
    MustAuthenticate(13, kZeroKey);
    EXPECT_EQ(Select({0x03, 0x02, 0x01}), St(df::status::kApplicationNotFound));
    EXPECT_EQ(card_->SelectedApplication().aid, kAid);
    EXPECT_FALSE(card_->AuthenticatedKey());

    // Leaving the field (or a halt) selects the card level again.
    ASSERT_EQ(host_.host().Status(command::kHalt), status::kOk);
    ASSERT_EQ(host_.host().Status(command::kActivateWakeUp, test::Concat({{0, 7}, kUid})),
              status::kOk);
    EXPECT_EQ(card_->SelectedApplication().aid, df::kCardLevel);
}

TEST_F(DesfireCardTest, DeselectEndsTheAuthentication) {
    MustAuthenticate(0, kZeroKey);
    ASSERT_TRUE(host_.Block({0xCA, 0x00}));
    EXPECT_EQ(reader_.StateOf(kUid), CardState::kHalt);
    EXPECT_FALSE(card_->AuthenticatedKey());
    EXPECT_EQ(card_->SessionKey(), Bytes(16, 0x00));
}

// A command with more data than one frame: the card collects it over the host's 0xAF frames.
TEST_F(DesfireCardTest, HostChainsCommandDataOverAdditionalFrames) {
    Bytes received;
    // 0xF5, length (2 bytes, low first), data: the card answers the data's length and sum.
    card_->RegisterNativeCommand(
        0xF5,
        [&received](DesfireCard&, const Bytes& command) {
            received = command;
            const size_t length = command.size() - 3;
            uint8_t sum = 0;
            for (size_t i = 3; i < command.size(); ++i)
                sum = static_cast<uint8_t>(sum + command[i]);
            return df::NativeAnswer{0x00, {{static_cast<uint8_t>(length), sum}}};
        },
        [](const Bytes& first) {
            if (first.size() < 3) return first.size();
            return size_t{3} + first[1] + (static_cast<size_t>(first[2]) << 8);
        });
    Bytes data(130);
    uint8_t sum = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    const Bytes command = test::Concat({{0xF5, 130, 0}, data});
    // 60 bytes, then 0xAF with 59, then 0xAF with the last 14.
    EXPECT_EQ(Native(Bytes(command.begin(), command.begin() + 60)), St(0xAF));
    EXPECT_EQ(Native(test::Concat({{0xAF}, Bytes(command.begin() + 60, command.begin() + 119)})),
              St(0xAF));
    EXPECT_EQ(Native(test::Concat({{0xAF}, Bytes(command.begin() + 119, command.end())})),
              (Bytes{0x00, 130, sum}));
    EXPECT_EQ(received, command);

    // Too much data, or another command in between.
    EXPECT_EQ(Native({0xF5, 3, 0, 1}), St(0xAF));
    EXPECT_EQ(Native({0xAF, 2, 3, 4}), St(df::status::kLengthError));
    EXPECT_EQ(Native({0xAF}), St(df::status::kIllegalCommand));
    EXPECT_EQ(Native({0xF5, 3, 0, 1}), St(0xAF));
    EXPECT_EQ(Native({0x64, 0x00}), (Bytes{0x00, 0x00}));
    EXPECT_EQ(Native({0xAF, 2, 3}), St(df::status::kIllegalCommand));
    // More than the card collects at all.
    EXPECT_EQ(Native({0xF5, 0x00, 0x20, 1}), St(df::status::kLengthError));
    EXPECT_EQ(Native({0xAF, 1}), St(df::status::kIllegalCommand));
    // A command that fits its first frame runs at once.
    EXPECT_EQ(Native({0xF5, 2, 0, 1, 2}), (Bytes{0x00, 2, 3}));
}

TEST_F(DesfireCardTest, LongAnswersGoOutIn59ByteFrames) {
    Bytes data(130);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    card_->RegisterNativeCommand(0xF6,
                                 [&data](DesfireCard&, const Bytes&) { return df::Frames(data); });
    EXPECT_EQ(Native({0xF6}), test::Concat({{0xAF}, Bytes(data.begin(), data.begin() + 59)}));
    EXPECT_EQ(Native({0xAF}), test::Concat({{0xAF}, Bytes(data.begin() + 59, data.begin() + 118)}));
    EXPECT_EQ(Native({0xAF}), test::Concat({{0x00}, Bytes(data.begin() + 118, data.end())}));
    EXPECT_EQ(df::Frames({}).frames.size(), 0u);
}

}  // namespace
}  // namespace kestrel::sim
