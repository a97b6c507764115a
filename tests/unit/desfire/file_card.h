// Test support for the DESFire application, file and data exports: a session whose card channel is
// the played card of native_card.h, the card's side of MAC and enciphered data (EVP, through
// card_cipher.h), and cards that answer with data in frames or take data in frames.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "KestrelAPI.h"
#include "api/session.h"
#include "reader/standard_reader.h"
#include "unit/desfire/card_cipher.h"
#include "unit/desfire/native_card.h"
#include "unit/mifare/card_script.h"

namespace kestrel::test {

constexpr uint8_t kDfGuard = 0xCC;

// A SessionCall named after its own text, `s` being the session.
#define DF_CALL(...)                                                  \
    SessionCall {                                                     \
#__VA_ARGS__, [=](KestrelSession * s) { return __VA_ARGS__; } \
    }

// A session whose card channel is the played card of native_card.h, without a DESFire context.
class NativeSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        session = CreateSession(0);
        session->linkProtocol = std::make_unique<UnusedLink>();
        session->reader = std::make_unique<reader::StandardReader>(*session->linkProtocol);
        auto fake = std::make_unique<NativeCard>();
        channel = fake.get();
        session->cardChannel = std::move(fake);
    }
    void TearDown() override { ReleaseSession(session, 0); }

    // Each call is refused without a session, a reader or a DESFire context, sending nothing.
    void ExpectContextChecks(const std::vector<SessionCall>& calls) {
        ExpectSessionChecks(calls);
        for (const SessionCall& c : calls) {
            EXPECT_EQ(c.call(session), KESTREL_ERR_DF_NO_DESFIRE_SESSION) << c.name;
        }
        EXPECT_TRUE(channel->exchanges.empty());
        EXPECT_TRUE(channel->calls.empty());
    }

    KestrelSession* session = nullptr;
    NativeCard* channel = nullptr;
};

// A connected session with a DESFire context, frame size 64.
class DesfireSessionTest : public NativeSessionTest {
  protected:
    void SetUp() override {
        NativeSessionTest::SetUp();
        ASSERT_EQ(DF_InitData(session), KESTREL_OK);
        ASSERT_EQ(DF_SetFrameSize(session, 64), KESTREL_OK);
    }
};

// The card's MAC of data: zero padding to a multiple of 8 after at least one zero byte, CBC
// enciphered, the first 4 bytes of the last block.
inline Bytes CardMac(const Bytes& key, const Bytes& data) {
    Bytes padded = data;
    padded.resize((data.size() / 8 + 1) * 8, 0);
    const Bytes cipher = CardEncipher(key, padded);
    return Bytes(cipher.end() - 8, cipher.end() - 4);
}

// The data, its CRC_A and zero padding to a multiple of 8: the plain form of enciphered data.
inline Bytes WithCrcPadded(const Bytes& data) {
    Bytes plain = Concat({data, CardCrcA(data)});
    plain.resize((plain.size() + 7) / 8 * 8, 0);
    return plain;
}

// What the card sends for `data` in a communication mode.
inline Bytes CardProtect(int mode, const Bytes& key, const Bytes& data) {
    if (mode == DF_COMM_MACED) return Concat({data, CardMac(key, data)});
    if (mode == DF_COMM_ENCIPHERED) return CardEncipher(key, WithCrcPadded(data));
    return data;
}

// A card that answers the first command with `data` in frames of at most 59 data bytes
// (status 0xAF while more follow, fetched with 0xAF), or with `status` alone when not 0.
struct FramedAnswerCard {
    explicit FramedAnswerCard(Bytes answer, uint8_t errorStatus = 0x00)
        : data(std::move(answer)), status(errorStatus) {}

    Bytes data;
    uint8_t status;
    size_t sent = 0;
    std::vector<Bytes> commands;

    Result operator()(const Bytes& command, Bytes& response) {
        commands.push_back(command);
        if (status != 0x00) {
            response = {status};
            return KESTREL_OK;
        }
        const size_t n = std::min<size_t>(data.size() - sent, 59);
        response = {static_cast<uint8_t>(sent + n < data.size() ? 0xAF : 0x00)};
        response.insert(response.end(), data.begin() + sent, data.begin() + sent + n);
        sent += n;
        return KESTREL_OK;
    }
};

// A card that takes a write: answers 0xAF to each frame until `payloadLength` payload bytes
// (after the 8-byte header of the first frame) have arrived, then 0x00.
struct WriteTakingCard {
    explicit WriteTakingCard(size_t length) : payloadLength(length) {}

    size_t payloadLength;
    std::vector<Bytes> frames;
    Bytes payload;

    Result operator()(const Bytes& command, Bytes& response) {
        frames.push_back(command);
        const size_t skip = frames.size() == 1 ? 8 : 1;
        if (command.size() > skip)
            payload.insert(payload.end(), command.begin() + skip, command.end());
        response = {static_cast<uint8_t>(payload.size() < payloadLength ? 0xAF : 0x00)};
        return KESTREL_OK;
    }
};

// A caller buffer between guard bytes.
struct Guarded {
    explicit Guarded(size_t n) : bytes(n + 2, kDfGuard) {}
    uint8_t* data() { return bytes.data() + 1; }
    Bytes Inner(size_t n) const { return Bytes(bytes.begin() + 1, bytes.begin() + 1 + n); }
    bool GuardsIntact() const { return bytes.front() == kDfGuard && bytes.back() == kDfGuard; }
    bool Untouched() const {
        return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == kDfGuard; });
    }
    Bytes bytes;
};

}  // namespace kestrel::test
