// DESFire authentication and key management against a played card: the genuine-card trace
// replayed byte for byte, a card that checks the host's token, failures in each step, and
// the layout of the key and settings cryptograms as the card recovers them.
#include "desfire/authentication.h"

#include <gtest/gtest.h>

#include <utility>

#include "unit/desfire/card_cipher.h"
#include "unit/desfire/fixed_random.h"
#include "unit/desfire/native_card.h"

namespace kestrel::desfire {
namespace {

using test::Bytes;
using test::CardCrcA;
using test::CardEncipher;
using test::CardRecover;
using test::Concat;
using test::Hex;
using test::RotateLeft;

constexpr uint8_t kGuard = 0xCC;

// The genuine-card trace (factory key).
const Bytes kZeroKey(16, 0x00);
const Bytes kTraceEkRndB = Hex("DF 6A B2 9A AE 46 BA 27");
const Bytes kTraceRndB = Hex("CC F5 32 70 57 0A 76 69");
const Bytes kTraceToken = Hex("05 EE C3 1F 1E 6A 0C C3 1F EF 83 98 A6 62 13 70");
const Bytes kTraceProof = Hex("26 AC ED 3C 77 1E F9 A0");
const Bytes kTraceSessionKey = Hex("A0 A1 A2 A3 CC F5 32 70 A0 A1 A2 A3 CC F5 32 70");

const Bytes kTwoKey = Hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
const Bytes kSingleDesKey = Hex("01 23 45 67 89 AB CD EF 01 23 45 67 89 AB CD EF");

// The card's side of the legacy authentication: sends ek(RndB), recovers RndA and RndB
// rotated from whatever token the host sends, refuses a token without RndB rotated, and
// proves itself with ek(RndA rotated).
struct AuthenticatingCard {
    AuthenticatingCard(Bytes cardKey, Bytes cardRndB, bool twoFrames = false)
        : key(std::move(cardKey)), rndB(std::move(cardRndB)), proofInTwoFrames(twoFrames) {}

    Bytes key;
    Bytes rndB;
    bool proofInTwoFrames;

    Bytes challenge;  // what the card sent
    Bytes rndA;       // recovered from the token
    bool tokenAccepted = false;
    int step = 0;
    Bytes rest;  // the second part of a proof sent over two frames

    Result operator()(const Bytes& command, Bytes& response) {
        if (step == 0 && command.size() == 2 && command[0] == 0x0A) {
            challenge = CardEncipher(key, rndB);
            response = Concat({{0xAF}, challenge});
            step = 1;
        } else if (step == 1 && command.size() == 17 && command[0] == 0xAF) {
            const Bytes plain = CardRecover(key, Bytes(command.begin() + 1, command.end()));
            rndA.assign(plain.begin(), plain.begin() + 8);
            tokenAccepted = Bytes(plain.begin() + 8, plain.end()) == RotateLeft(rndB);
            if (!tokenAccepted) {
                response = {0xAE};
                return KESTREL_OK;
            }
            const Bytes proof = CardEncipher(key, RotateLeft(rndA));
            if (proofInTwoFrames) {
                response = Concat({{0xAF}, Bytes(proof.begin(), proof.begin() + 3)});
                rest = Bytes(proof.begin() + 3, proof.end());
                step = 2;
            } else {
                response = Concat({{0x00}, proof});
                step = 3;
            }
        } else if (step == 2 && command == Bytes{0xAF}) {
            response = Concat({{0x00}, rest});
            step = 3;
        } else {
            ADD_FAILURE() << "unexpected command in step " << step;
            response = {0x1C};
        }
        return KESTREL_OK;
    }

    // The session key as the card derives it.
    Bytes SessionKey() const {
        Bytes k =
            Concat({Bytes(rndA.begin(), rndA.begin() + 4), Bytes(rndB.begin(), rndB.begin() + 4)});
        if (Bytes(key.begin(), key.begin() + 8) == Bytes(key.begin() + 8, key.end())) {
            return Concat({k, k});
        }
        return Concat(
            {k, Bytes(rndA.begin() + 4, rndA.end()), Bytes(rndB.begin() + 4, rndB.end())});
    }
};

class DesfireAuthTest : public ::testing::Test {
  protected:
    void SetUp() override { context.frameSize = 16; }

    // Runs AuthKey into a session-key buffer with guard bytes; returns the 16 bytes written
    // (or the guard bytes that stayed) and checks the guards on both sides.
    Result Authenticate(const Bytes& key, Bytes& sessionKey, uint8_t keyNumber = 0) {
        Bytes buffer(18, kGuard);
        const Result r = AuthKey(card, keyNumber, key.data(), buffer.data() + 1);
        EXPECT_EQ(buffer.front(), kGuard);
        EXPECT_EQ(buffer.back(), kGuard);
        sessionKey.assign(buffer.begin() + 1, buffer.end() - 1);
        return r;
    }

    test::NativeCard channel;
    DesfireContext context;
    DesfireCard card{channel, context};
};

TEST_F(DesfireAuthTest, GenuineCardTraceIsReproducedByteForByte) {
    test::ScopedRandomSource traceRandom(test::TraceRandom);
    channel.Expect({0x0A, 0x00}, Concat({{0xAF}, kTraceEkRndB}));
    channel.Expect(Concat({{0xAF}, kTraceToken}), Concat({{0x00}, kTraceProof}));
    Bytes sessionKey;
    ASSERT_EQ(Authenticate(kZeroKey, sessionKey), KESTREL_OK);
    EXPECT_EQ(sessionKey, kTraceSessionKey);
    EXPECT_TRUE(channel.Done());
    // The challenge comes with a capacity of 9 bytes; the proof through the full exchange.
    ASSERT_EQ(channel.exchanges.size(), 2u);
    EXPECT_EQ(channel.exchanges[0].capacity, 9);
    EXPECT_EQ(channel.exchanges[1].capacity, kResponseCapacity);
    EXPECT_EQ(channel.exchanges[0].timeOut, kCardTimeOutMs);
}

struct KeyCase {
    const char* name;
    Bytes key;
    uint8_t keyNumber;
    bool proofInTwoFrames;
};

TEST_F(DesfireAuthTest, CardChecksTheTokenAndBothSidesAgreeOnTheSessionKey) {
    const KeyCase cases[] = {
        {"factory key", kZeroKey, 0, false},
        {"single DES", kSingleDesKey, 1, false},
        {"two-key triple DES", kTwoKey, 13, true},
    };
    Bytes previousRndA;
    for (const auto& c : cases) {
        AuthenticatingCard sim{c.key, kTraceRndB, c.proofInTwoFrames};
        channel.card = std::ref(sim);
        channel.exchanges.clear();
        Bytes sessionKey;
        ASSERT_EQ(Authenticate(c.key, sessionKey, c.keyNumber), KESTREL_OK) << c.name;
        EXPECT_TRUE(sim.tokenAccepted) << c.name;
        EXPECT_EQ(sessionKey, sim.SessionKey()) << c.name;
        EXPECT_EQ(channel.exchanges.front().command, (Bytes{0x0A, c.keyNumber})) << c.name;
        // RndA is random: never the same twice.
        EXPECT_NE(sim.rndA, previousRndA) << c.name;
        previousRndA = sim.rndA;
    }
    // The played card sends exactly the trace's challenge for the factory key.
    AuthenticatingCard factory{kZeroKey, kTraceRndB};
    Bytes response;
    factory({0x0A, 0x00}, response);
    EXPECT_EQ(factory.challenge, kTraceEkRndB);
}

// A scripted answer, or a failed exchange.
struct Answer {
    Bytes response;
    Result failure = KESTREL_OK;
};

struct AuthFailure {
    const char* name;
    std::vector<Answer> answers;  // to the challenge request, the token, continuations
    Result expected;
};

TEST_F(DesfireAuthTest, FailuresLeaveTheSessionKeyUnwritten) {
    test::ScopedRandomSource traceRandom(test::TraceRandom);
    const Bytes challenge = Concat({{0xAF}, kTraceEkRndB});
    const Bytes proofShort = Concat({{0x00}, Bytes(kTraceProof.begin(), kTraceProof.end() - 1)});
    const Bytes notRotated = CardEncipher(kZeroKey, Hex("A0 A1 A2 A3 A4 A5 A6 A7"));
    // clang-format off
    const AuthFailure cases[] = {
        // The challenge: status first, then length.
        {"no such key", {{{0x40}}}, KESTREL_ERR_DF_NO_SUCH_KEY},
        {"authentication error alone", {{{0xAE}}}, KESTREL_ERR_DF_AUTHENTICATION},
        {"authentication error with 8 bytes", {{Concat({{0xAE}, kTraceEkRndB})}},
         KESTREL_ERR_DF_AUTHENTICATION},
        {"status 0x00", {{Concat({{0x00}, kTraceEkRndB})}}, 0xA100},
        {"challenge one byte short", {{Bytes(challenge.begin(), challenge.end() - 1)}},
         KESTREL_ERR_WRONG_ANSWER_LENGTH},
        {"challenge one byte long", {{Concat({challenge, {0x00}})}}, KESTREL_ERR_READING_TOO_MUCH},
        {"empty challenge", {{{}}}, kEmptyResponse},
        {"challenge exchange fails", {{{}, KESTREL_ERR_NO_CARD}}, KESTREL_ERR_NO_CARD},
        // The proof.
        {"token refused", {{challenge}, {{0xAE}}}, KESTREL_ERR_DF_AUTHENTICATION},
        {"proof one byte short", {{challenge}, {proofShort}}, KESTREL_ERR_WRONG_ANSWER_LENGTH},
        {"proof one byte long", {{challenge}, {Concat({{0x00}, kTraceProof, {0x00}})}},
         KESTREL_ERR_WRONG_ANSWER_LENGTH},
        {"proof over two frames, one byte long",
         {{challenge}, {Concat({{0xAF}, kTraceProof})}, {{0x00, 0x01}}},
         KESTREL_ERR_WRONG_ANSWER_LENGTH},
        {"proof of another RndA", {{challenge}, {Concat({{0x00}, Hex("26 AC ED 3C 77 1E F9 A1")})}},
         KESTREL_ERR_DF_AUTHENTICATION},
        {"RndA not rotated", {{challenge}, {Concat({{0x00}, notRotated})}},
         KESTREL_ERR_DF_AUTHENTICATION},
        {"proof exchange fails", {{challenge}, {{}, KESTREL_ERR_OPERATION_ABORTED}},
         KESTREL_ERR_OPERATION_ABORTED},
        {"empty proof response", {{challenge}, {{}}}, kEmptyResponse},
    };
    // clang-format on
    for (const auto& c : cases) {
        for (const Answer& a : c.answers) {
            if (a.failure != KESTREL_OK) {
                channel.Fail(a.failure);
            } else {
                channel.Answer(a.response);
            }
        }
        Bytes sessionKey;
        EXPECT_EQ(Authenticate(kZeroKey, sessionKey), c.expected) << c.name;
        EXPECT_EQ(sessionKey, Bytes(16, kGuard)) << c.name;
        EXPECT_TRUE(channel.Done()) << c.name;
        channel.surprises.clear();
    }
}

TEST_F(DesfireAuthTest, GeneratorFailureSendsNothing) {
    test::ScopedRandomSource failing(test::FailingRandom);
    Bytes sessionKey;
    EXPECT_EQ(Authenticate(kZeroKey, sessionKey), KESTREL_ERR_DF_UNKNOWN);
    EXPECT_EQ(sessionKey, Bytes(16, kGuard));
    EXPECT_TRUE(channel.exchanges.empty());
}

TEST_F(DesfireAuthTest, MissingArgumentsSendNothing) {
    uint8_t sessionKey[16];
    EXPECT_EQ(AuthKey(card, 0, nullptr, sessionKey), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(AuthKey(card, 0, kZeroKey.data(), nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(ChangeCurKey(card, 0, kTwoKey.data(), nullptr), KESTREL_ERR_DF_NO_SESSION_KEY);
    EXPECT_EQ(ChangeCurKey(card, 0, nullptr, kTwoKey.data()), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(ChangeKey(card, 1, kZeroKey.data(), kTwoKey.data(), nullptr),
              KESTREL_ERR_DF_NO_SESSION_KEY);
    EXPECT_EQ(ChangeKey(card, 1, nullptr, kTwoKey.data(), kTwoKey.data()),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(ChangeKey(card, 1, kZeroKey.data(), nullptr, kTwoKey.data()),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(ChangeKeySettings(card, 0x0F, nullptr), KESTREL_ERR_DF_NO_SESSION_KEY);
    uint8_t byte = 0;
    EXPECT_EQ(GetKeySettings(card, nullptr, &byte), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(GetKeySettings(card, &byte, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(GetKeyVersion(card, 0, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(channel.exchanges.empty());
}

const Bytes kSessionKey = Hex("A0 A1 A2 A3 CC F5 32 70 A4 A5 A6 A7 57 0A 76 69");

// The 24 plain bytes the card recovers from a ChangeKey command, after checking its frame.
Bytes RecoveredKeyBlock(const Bytes& command, uint8_t keyNumber) {
    EXPECT_EQ(command.size(), 26u);
    if (command.size() != 26) return {};
    EXPECT_EQ(command[0], 0xC4);
    EXPECT_EQ(command[1], keyNumber);
    return CardRecover(kSessionKey, Bytes(command.begin() + 2, command.end()));
}

TEST_F(DesfireAuthTest, ChangeCurKeyCryptogram) {
    channel.Answer({0x00});
    EXPECT_EQ(ChangeCurKey(card, 0, kTwoKey.data(), kSessionKey.data()), KESTREL_OK);
    ASSERT_EQ(channel.exchanges.size(), 1u);
    EXPECT_EQ(RecoveredKeyBlock(channel.exchanges[0].command, 0),
              Concat({kTwoKey, CardCrcA(kTwoKey), Bytes(6, 0x00)}));
    EXPECT_EQ(CardCrcA(kTwoKey), Hex("CC 69"));  // worked out apart
}

struct ChangeKeyCase {
    const char* name;
    Bytes oldKey;
    Bytes newKey;
};

TEST_F(DesfireAuthTest, ChangeKeyCryptogram) {
    const ChangeKeyCase cases[] = {
        {"factory key to two-key", kZeroKey, kTwoKey},
        {"two-key to single DES", kTwoKey, kSingleDesKey},
        {"old key equal to new key", kTwoKey, kTwoKey},
    };
    for (const auto& c : cases) {
        channel.exchanges.clear();
        channel.Answer({0x00});
        EXPECT_EQ(ChangeKey(card, 3, c.oldKey.data(), c.newKey.data(), kSessionKey.data()),
                  KESTREL_OK)
            << c.name;
        ASSERT_EQ(channel.exchanges.size(), 1u) << c.name;
        const Bytes x = test::Xor(c.oldKey, c.newKey);
        EXPECT_EQ(RecoveredKeyBlock(channel.exchanges[0].command, 3),
                  Concat({x, CardCrcA(x), CardCrcA(c.newKey), Bytes(4, 0x00)}))
            << c.name;
    }
    // Sixteen zero bytes have a CRC of their own, not the start value.
    EXPECT_EQ(CardCrcA(Bytes(16, 0x00)), Hex("37 49"));
}

struct NoDataCase {
    const char* name;
    std::vector<Bytes> responses;
    Result expected;
};

TEST_F(DesfireAuthTest, ChangeOperationsTakeTheCardsStatus) {
    const NoDataCase cases[] = {
        {"ok", {{0x00}}, KESTREL_OK},
        {"unexpected data is ignored", {{0x00, 0x01, 0x02}}, KESTREL_OK},
        {"permission denied", {{0x9D}}, KESTREL_ERR_DF_PERMISSION_DENIED},
        {"continued", {{0xAF}, {0x00}}, KESTREL_OK},
    };
    using Call = std::function<Result()>;
    const std::pair<const char*, Call> calls[] = {
        {"ChangeCurKey", [&] { return ChangeCurKey(card, 0, kTwoKey.data(), kSessionKey.data()); }},
        {"ChangeKey",
         [&] { return ChangeKey(card, 1, kZeroKey.data(), kTwoKey.data(), kSessionKey.data()); }},
        {"ChangeKeySettings", [&] { return ChangeKeySettings(card, 0x0B, kSessionKey.data()); }},
    };
    for (const auto& [name, call] : calls) {
        for (const auto& c : cases) {
            for (const Bytes& r : c.responses) channel.Answer(r);
            EXPECT_EQ(call(), c.expected) << name << ": " << c.name;
            EXPECT_TRUE(channel.Done()) << name << ": " << c.name;
        }
    }
}

TEST_F(DesfireAuthTest, ChangeKeySettingsCryptogram) {
    for (uint8_t settings : {0x0F, 0x0B, 0x00}) {
        channel.exchanges.clear();
        channel.Answer({0x00});
        EXPECT_EQ(ChangeKeySettings(card, settings, kSessionKey.data()), KESTREL_OK);
        ASSERT_EQ(channel.exchanges.size(), 1u);
        const Bytes& command = channel.exchanges[0].command;
        ASSERT_EQ(command.size(), 9u);
        EXPECT_EQ(command[0], 0x54);
        EXPECT_EQ(CardRecover(kSessionKey, Bytes(command.begin() + 1, command.end())),
                  Concat({{settings}, CardCrcA({settings}), Bytes(5, 0x00)}))
            << int(settings);
    }
}

struct SettingsCase {
    const char* name;
    std::vector<Bytes> responses;
    Result expected;
    uint8_t settings;  // kGuard: left unwritten
    uint8_t maxKeys;
};

TEST_F(DesfireAuthTest, GetKeySettingsWantsExactlyTwoBytes) {
    const SettingsCase cases[] = {
        {"two bytes", {{0x00, 0x0F, 0x01}}, KESTREL_OK, 0x0F, 0x01},
        {"over two frames", {{0xAF, 0x0B}, {0x00, 0x0E}}, KESTREL_OK, 0x0B, 0x0E},
        {"one byte", {{0x00, 0x0F}}, KESTREL_ERR_WRONG_ANSWER_LENGTH, kGuard, kGuard},
        {"three bytes",
         {{0x00, 0x0F, 0x01, 0x02}},
         KESTREL_ERR_WRONG_ANSWER_LENGTH,
         kGuard,
         kGuard},
        {"no data", {{0x00}}, KESTREL_ERR_WRONG_ANSWER_LENGTH, kGuard, kGuard},
        {"card error", {{0xA0}}, KESTREL_ERR_DF_APPLICATION_NOT_FOUND, kGuard, kGuard},
    };
    for (const auto& c : cases) {
        for (const Bytes& r : c.responses) channel.Answer(r);
        uint8_t out[4] = {kGuard, kGuard, kGuard, kGuard};
        EXPECT_EQ(GetKeySettings(card, &out[1], &out[2]), c.expected) << c.name;
        EXPECT_EQ(Bytes(out, out + 4), (Bytes{kGuard, c.settings, c.maxKeys, kGuard})) << c.name;
        EXPECT_EQ(channel.exchanges.front().command, Bytes{0x45}) << c.name;
        EXPECT_TRUE(channel.Done()) << c.name;
        channel.exchanges.clear();
    }
}

TEST_F(DesfireAuthTest, GetKeyVersionTakesOneByteUnchecked) {
    struct {
        const char* name;
        Bytes response;
        Result expected;
        uint8_t version;  // kGuard: left unwritten
    } const cases[] = {
        {"one byte", {0x00, 0x05}, KESTREL_OK, 0x05},
        {"two bytes: not copied, no error", {0x00, 0x05, 0x06}, KESTREL_OK, kGuard},
        {"no byte", {0x00}, KESTREL_OK, kGuard},
        {"no such key", {0x40}, KESTREL_ERR_DF_NO_SUCH_KEY, kGuard},
    };
    for (const auto& c : cases) {
        channel.Answer(c.response);
        uint8_t out[3] = {kGuard, kGuard, kGuard};
        EXPECT_EQ(GetKeyVersion(card, 7, &out[1]), c.expected) << c.name;
        EXPECT_EQ(Bytes(out, out + 3), (Bytes{kGuard, c.version, kGuard})) << c.name;
        EXPECT_EQ(channel.exchanges.front().command, (Bytes{0x64, 0x07})) << c.name;
        channel.exchanges.clear();
    }
}

}  // namespace
}  // namespace kestrel::desfire
