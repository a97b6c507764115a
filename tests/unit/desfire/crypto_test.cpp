// DESFire cryptography: known answers, the two chaining modes against the card's side, the
// MAC padding and the protection of data for the communication modes.
#include "desfire/crypto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "unit/desfire/card_cipher.h"
#include "unit/desfire/fixed_random.h"
#include "unit/desfire/native_card.h"

namespace kestrel::desfire {
namespace {

using test::Bytes;
using test::CardEncipher;
using test::CardRecover;
using test::Concat;
using test::Hex;

constexpr uint8_t kGuard = 0xCC;

Bytes Ascii(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

Bytes Cat(const Bytes& a, const Bytes& b) {
    return Concat({a, b});
}

const Bytes kZeroKey(16, 0x00);
// A two-key triple DES key with different halves.
const Bytes kTwoKey = Hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");

// Runs DfSendCipher into a buffer with guard bytes on both sides; returns the whole buffer.
Bytes SendCipherGuarded(const Bytes& key, const Bytes& input, bool encipher) {
    Bytes out(input.size() + 2, kGuard);
    DfSendCipher(key.data(), input.data(), out.data() + 1, input.size(), encipher);
    return out;
}

Bytes ReceiveDecipherGuarded(const Bytes& key, const Bytes& input) {
    Bytes out(input.size() + 2, kGuard);
    DfReceiveDecipher(key.data(), input.data(), out.data() + 1, input.size());
    return out;
}

Bytes Guarded(const Bytes& inside) {
    return Concat({{kGuard}, inside, {kGuard}});
}

struct CrcCase {
    Bytes data;
    int type;
    Bytes crc;
};

TEST(Crc16Iso14443, KnownAnswers) {
    // ISO/IEC 14443-3 examples and published check values.
    const CrcCase cases[] = {
        {Hex("00 00"), kCrcA, Hex("A0 1E")},
        {Hex("12 34"), kCrcA, Hex("26 CF")},
        {Hex("0A 12 34 56"), kCrcB, Hex("2C F6")},
        {Hex("04 44 0F 32 76 31 80"), kCrcA, Hex("27 98")},
        {Hex("AB DA"), kCrcA, Hex("20 2C")},
        {Ascii("123456789"), kCrcA, Hex("05 BF")},
        {Ascii("123456789"), kCrcB, Hex("6E 90")},
        {{}, kCrcA, Hex("63 63")},
        {Hex("50 00"), kCrcA, Hex("57 CD")},
        {Hex("05 00 00"), kCrcB, Hex("71 FF")},
    };
    for (const auto& c : cases) {
        uint8_t out[4] = {kGuard, kGuard, kGuard, kGuard};
        Crc16Iso14443(c.type, c.data.data(), c.data.size(), &out[1], &out[2]);
        EXPECT_EQ(Bytes(out, out + 4), Guarded(c.crc))
            << "type " << c.type << ", " << c.data.size() << " bytes";
        if (c.type == kCrcA) {
            EXPECT_EQ(test::CardCrcA(c.data), c.crc);
        }
    }
}

TEST(Crc16Iso14443, OtherTypesWriteNothing) {
    const Bytes data = Hex("12 34");
    for (int type : {0, 3, -1, 0x101}) {
        uint8_t first = kGuard, second = kGuard;
        Crc16Iso14443(type, data.data(), data.size(), &first, &second);
        EXPECT_EQ(first, kGuard) << type;
        EXPECT_EQ(second, kGuard) << type;
    }
}

TEST(DfSendCipher, SingleDesKnownAnswerWithEqualHalves) {
    // Single DES vector; a key with equal halves must give the single-DES result.
    const Bytes key = Hex("01 23 45 67 89 AB CD EF 01 23 45 67 89 AB CD EF");
    const Bytes plain = Hex("4E 6F 77 20 69 73 20 74");
    const Bytes cipher = Hex("3F A4 0E 8A 98 4D 48 15");
    EXPECT_EQ(SendCipherGuarded(key, plain, true), Guarded(cipher));
    // One block in the send mode with the flag 0 is a plain decipher.
    EXPECT_EQ(SendCipherGuarded(key, cipher, false), Guarded(plain));
    EXPECT_EQ(ReceiveDecipherGuarded(key, cipher), Guarded(plain));
}

TEST(DfReceiveDecipher, ParityBitsAreIgnored) {
    const Bytes received = Hex("D6 59 E1 70 43 A8 40 68");
    const Bytes plain = Hex("73 0D DF AD A4 D2 07 89");
    EXPECT_EQ(ReceiveDecipherGuarded(Bytes(16, 0x00), received), Guarded(plain));
    EXPECT_EQ(ReceiveDecipherGuarded(Bytes(16, 0x01), received), Guarded(plain));
    // The same vector with every parity bit of the DES key flipped.
    const Bytes key = Hex("01 23 45 67 89 AB CD EF 01 23 45 67 89 AB CD EF");
    Bytes flipped = key;
    for (uint8_t& b : flipped) b ^= 0x01;
    const Bytes des = Hex("4E 6F 77 20 69 73 20 74");
    EXPECT_EQ(SendCipherGuarded(flipped, des, true), SendCipherGuarded(key, des, true));
}

TEST(DfSendCipher, GenuineCardTrace) {
    // Legacy authentication with the factory key, recorded from a genuine card.
    const Bytes ekRndB = Hex("DF 6A B2 9A AE 46 BA 27");
    const Bytes rndB = Hex("CC F5 32 70 57 0A 76 69");
    const Bytes rndA = Hex("A0 A1 A2 A3 A4 A5 A6 A7");
    const Bytes token = Hex("05 EE C3 1F 1E 6A 0C C3 1F EF 83 98 A6 62 13 70");
    const Bytes proof = Hex("26 AC ED 3C 77 1E F9 A0");
    EXPECT_EQ(ReceiveDecipherGuarded(kZeroKey, ekRndB), Guarded(rndB));
    EXPECT_EQ(SendCipherGuarded(kZeroKey, Cat(rndA, test::RotateLeft(rndB)), false),
              Guarded(token));
    EXPECT_EQ(ReceiveDecipherGuarded(kZeroKey, proof), Guarded(test::RotateLeft(rndA)));
}

TEST(ChainingModes, MatchTheCardsSide) {
    const Bytes plain =
        Hex("10 11 12 13 14 15 16 17 20 21 22 23 24 25 26 27 30 31 32 33 34 35 36 37");
    for (const Bytes& key : {kTwoKey, kZeroKey}) {
        // Host to card: the card recovers what the host put in.
        const Bytes sent = SendCipherGuarded(key, plain, false);
        EXPECT_EQ(CardRecover(key, Bytes(sent.begin() + 1, sent.end() - 1)), plain);
        // Card to host.
        EXPECT_EQ(ReceiveDecipherGuarded(key, CardEncipher(key, plain)), Guarded(plain));
        // The encipher flag is CBC enciphering with a zero initial vector.
        EXPECT_EQ(SendCipherGuarded(key, plain, true), Guarded(CardEncipher(key, plain)));
    }
}

TEST(ChainingModes, InPlace) {
    const Bytes plain = Hex("10 11 12 13 14 15 16 17 20 21 22 23 24 25 26 27");
    Bytes buffer = plain;
    DfSendCipher(kTwoKey.data(), buffer.data(), buffer.data(), buffer.size(), false);
    EXPECT_EQ(CardRecover(kTwoKey, buffer), plain);
    buffer = CardEncipher(kTwoKey, plain);
    DfReceiveDecipher(kTwoKey.data(), buffer.data(), buffer.data(), buffer.size());
    EXPECT_EQ(buffer, plain);
}

TEST(ChainingModes, WholeBlocksOnly) {
    const Bytes plain = Hex("10 11 12 13 14 15 16 17 20 21 22 23 24");
    for (size_t length : {0u, 1u, 7u}) {
        Bytes input(plain.begin(), plain.begin() + length);
        EXPECT_EQ(SendCipherGuarded(kTwoKey, input, false), Bytes(length + 2, kGuard)) << length;
        EXPECT_EQ(SendCipherGuarded(kTwoKey, input, true), Bytes(length + 2, kGuard)) << length;
        EXPECT_EQ(ReceiveDecipherGuarded(kTwoKey, input), Bytes(length + 2, kGuard)) << length;
    }
    // 13 bytes: one block processed, the five trailing bytes of the output left alone.
    const Bytes firstBlock(plain.begin(), plain.begin() + 8);
    const Bytes sent = SendCipherGuarded(kTwoKey, plain, false);
    EXPECT_EQ(CardRecover(kTwoKey, Bytes(sent.begin() + 1, sent.begin() + 9)), firstBlock);
    EXPECT_EQ(Bytes(sent.begin() + 9, sent.end()), Bytes(6, kGuard));
    const Bytes received = ReceiveDecipherGuarded(
        kTwoKey, Cat(CardEncipher(kTwoKey, firstBlock), Hex("01 02 03 04 05")));
    EXPECT_EQ(Bytes(received.begin() + 1, received.begin() + 9), firstBlock);
    EXPECT_EQ(Bytes(received.begin() + 9, received.end()), Bytes(6, kGuard));
}

struct MacCase {
    size_t length;
    size_t padded;  // bytes that go through the cipher
};

TEST(DfComputeMac, PadsWithAWholeBlockOnABoundary) {
    const MacCase cases[] = {{0, 8}, {1, 8}, {7, 8}, {8, 16}, {9, 16}, {16, 24}};
    for (const auto& c : cases) {
        EXPECT_EQ(MacPaddedLength(c.length), c.padded) << c.length;
        Bytes data(c.length);
        for (size_t i = 0; i < c.length; ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
        Bytes padded = data;
        padded.resize(c.padded, 0x00);
        const Bytes cbc = CardEncipher(kTwoKey, padded);
        const Bytes expected(cbc.end() - 8, cbc.end() - 4);
        Bytes mac(6, kGuard);
        DfComputeMac(data.data(), data.size(), mac.data() + 1, kTwoKey.data());
        EXPECT_EQ(mac, Guarded(expected)) << c.length;
    }
}

struct EncipheredCase {
    size_t length;
    size_t cryptogram;
};

TEST(DfProtectData, EncipheredAddsCrcAndPadding) {
    const EncipheredCase cases[] = {{0, 8}, {5, 8}, {6, 8}, {7, 16}, {14, 16}, {15, 24}};
    for (const auto& c : cases) {
        Bytes data(c.length);
        for (size_t i = 0; i < c.length; ++i) data[i] = static_cast<uint8_t>(0x30 + i);
        std::vector<uint8_t> out;
        ASSERT_EQ(DfProtectData(kCommEnciphered, data.data(), data.size(), out, kTwoKey.data()),
                  KESTREL_OK);
        ASSERT_EQ(out.size(), c.cryptogram) << c.length;
        Bytes plain = Cat(data, test::CardCrcA(data));
        plain.resize(c.cryptogram, 0x00);
        EXPECT_EQ(CardRecover(kTwoKey, out), plain) << c.length;
    }
}

TEST(DfUnprotectData, MacedRoundTripAndTampering) {
    const Bytes data = Hex("01 02 03 04 05 06 07 08 09");
    std::vector<uint8_t> maced;
    ASSERT_EQ(DfProtectData(kCommMaced, data.data(), data.size(), maced, kTwoKey.data()),
              KESTREL_OK);
    Bytes buffer = maced;
    size_t length = buffer.size();
    ASSERT_EQ(DfUnprotectData(kCommMaced, buffer.data(), &length, 0, kTwoKey.data()), KESTREL_OK);
    EXPECT_EQ(length, data.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), data);

    // Any flipped bit, in the data or in the MAC, is found; nothing changes.
    for (size_t i = 0; i < maced.size(); ++i) {
        buffer = maced;
        buffer[i] ^= 0x01;
        const Bytes received = buffer;
        length = buffer.size();
        EXPECT_EQ(DfUnprotectData(kCommMaced, buffer.data(), &length, 0, kTwoKey.data()),
                  KESTREL_ERR_DF_BAD_MAC)
            << i;
        EXPECT_EQ(length, maced.size()) << i;
        EXPECT_EQ(buffer, received) << i;
    }
    // The wrong key.
    buffer = maced;
    length = buffer.size();
    EXPECT_EQ(DfUnprotectData(kCommMaced, buffer.data(), &length, 0, kZeroKey.data()),
              KESTREL_ERR_DF_BAD_MAC);
    // Fewer bytes than a MAC.
    for (size_t shortLength : {0u, 3u}) {
        length = shortLength;
        EXPECT_EQ(DfUnprotectData(kCommMaced, buffer.data(), &length, 0, kTwoKey.data()),
                  KESTREL_ERR_DF_BAD_MAC);
        EXPECT_EQ(length, shortLength);
    }
}

// 10 bytes + CRC: two blocks, as the card sends them.
const Bytes kCardData = Hex("41 42 43 44 45 46 47 48 49 4A");
Bytes EncipheredByTheCard() {
    Bytes plain = Cat(kCardData, test::CardCrcA(kCardData));
    plain.resize(16, 0x00);
    return CardEncipher(kTwoKey, plain);
}

TEST(DfUnprotectData, EncipheredFromTheCard) {
    const Bytes& data = kCardData;
    const Bytes received = EncipheredByTheCard();

    Bytes buffer = received;
    size_t length = buffer.size();
    ASSERT_EQ(DfUnprotectData(kCommEnciphered, buffer.data(), &length, data.size(), kTwoKey.data()),
              KESTREL_OK);
    EXPECT_EQ(length, data.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 10), data);
    // Only the data is copied over the start; the rest of the buffer stays as received.
    EXPECT_EQ(Bytes(buffer.begin() + 10, buffer.end()),
              Bytes(received.begin() + 10, received.end()));
}

struct TamperCase {
    const char* name;
    size_t flip;            // byte to flip, or SIZE_MAX for none
    size_t receivedLength;  // bytes handed over
    size_t expectedLength;
};

TEST(DfUnprotectData, EncipheredFailuresLeaveTheBufferAlone) {
    const Bytes received = EncipheredByTheCard();
    const TamperCase cases[] = {
        {"bit flipped in the first block", 3, 16, 10},
        {"bit flipped in the CRC's block", 10, 16, 10},
        {"CRC over another length", SIZE_MAX, 16, 9},
        {"CRC would end past the data", SIZE_MAX, 16, 15},
        {"CRC would start past the data", SIZE_MAX, 16, 16},
        {"CRC outside the whole blocks", SIZE_MAX, 15, 14},
        {"absurd expected length", SIZE_MAX, 16, SIZE_MAX},
        {"no whole block", SIZE_MAX, 7, 0},
    };
    for (const auto& c : cases) {
        Bytes buffer = received;
        if (c.flip != SIZE_MAX) buffer[c.flip] ^= 0x80;
        const Bytes before = buffer;
        size_t length = c.receivedLength;
        EXPECT_EQ(DfUnprotectData(kCommEnciphered, buffer.data(), &length, c.expectedLength,
                                  kTwoKey.data()),
                  KESTREL_ERR_DF_BAD_CRC)
            << c.name;
        EXPECT_EQ(length, c.receivedLength) << c.name;
        EXPECT_EQ(buffer, before) << c.name;
    }
}

TEST(DfProtection, OtherModesAndMissingKey) {
    const Bytes data = Hex("01 02 03 04 05 06 07 08");
    for (int number : {0, 2, 4, -1, 0x103}) {
        const auto mode = static_cast<CommMode>(number);
        std::vector<uint8_t> out = {0x77};
        EXPECT_EQ(DfProtectData(mode, data.data(), data.size(), out, kTwoKey.data()),
                  KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS)
            << mode;
        EXPECT_EQ(out, Bytes{0x77}) << mode;
        Bytes buffer = data;
        size_t length = buffer.size();
        EXPECT_EQ(DfUnprotectData(mode, buffer.data(), &length, 4, kTwoKey.data()),
                  KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS)
            << mode;
        EXPECT_EQ(length, data.size());
        EXPECT_EQ(buffer, data);
    }
    // A missing key is reported before the mode is looked at.
    for (int number : {1, 2, 3}) {
        const auto mode = static_cast<CommMode>(number);
        std::vector<uint8_t> out;
        EXPECT_EQ(DfProtectData(mode, data.data(), data.size(), out, nullptr),
                  KESTREL_ERR_DF_NO_SESSION_KEY);
        Bytes buffer = data;
        size_t length = buffer.size();
        EXPECT_EQ(DfUnprotectData(mode, buffer.data(), &length, 4, nullptr),
                  KESTREL_ERR_DF_NO_SESSION_KEY);
    }
}

TEST(DfMakeRndA, DrawsFromTheSecureGeneratorAndReportsItsFailure) {
    uint8_t first[10], second[10];
    std::memset(first, kGuard, sizeof first);
    std::memset(second, kGuard, sizeof second);
    ASSERT_EQ(DfMakeRndA(first + 1), KESTREL_OK);
    ASSERT_EQ(DfMakeRndA(second + 1), KESTREL_OK);
    EXPECT_NE(Bytes(first + 1, first + 9), Bytes(second + 1, second + 9));
    EXPECT_EQ(first[0], kGuard);
    EXPECT_EQ(first[9], kGuard);
    test::ScopedRandomSource failing(test::FailingRandom);
    EXPECT_EQ(DfMakeRndA(first + 1), KESTREL_ERR_DF_UNKNOWN);
}

}  // namespace
}  // namespace kestrel::desfire
