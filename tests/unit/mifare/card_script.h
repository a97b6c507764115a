// A session connected to a scripted reader, for tests of the card functions: the test lists
// the reader commands it expects, with the answers, and compares them with what was sent.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "KestrelAPI.h"
#include "api/session.h"
#include "support/scripted_comm.h"

namespace kestrel::test {

constexpr uint8_t kGuard = 0xCC;

// Reader status bytes and the results the link protocol makes of them.
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusNoCard = 0xFF;      // KESTREL_ERR_NO_CARD
constexpr uint8_t kStatusAuthFailed = 0xFC;  // KESTREL_ERR_AUTH_NOT_ALLOWED

// Two keys with their coded forms, worked out by hand.
const MifareKey kTransportKey = {KEY_TYPE_A, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
const Bytes kTransportKeyCoded(12, 0x0F);
const MifareKey kKeyB = {KEY_TYPE_B, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}};
const Bytes kKeyBCoded = {0x5A, 0xF0, 0x5A, 0xE1, 0x5A, 0xD2, 0x5A, 0xC3, 0x5A, 0xB4, 0x5A, 0xA5};

const MifareKey kZeroKey = {KEY_TYPE_A, {0, 0, 0, 0, 0, 0}};
const Bytes kZeroKeyCoded(12, 0xF0);

const Bytes kSerial = {0x11, 0x22, 0x33, 0x44};

// The coded form of one of the keys above.
inline Bytes Coded(const MifareKey& key) {
    const struct {
        const MifareKey* key;
        const Bytes* coded;
    } known[] = {
        {&kTransportKey, &kTransportKeyCoded}, {&kKeyB, &kKeyBCoded}, {&kZeroKey, &kZeroKeyCoded}};
    for (const auto& k : known) {
        if (std::equal(key.key, key.key + 6, k.key->key)) return *k.coded;
    }
    ADD_FAILURE() << "no coded form for this key";
    return {};
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// n bytes counting up from `from`.
inline Bytes Count(uint8_t from, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
    return b;
}

// 16 bytes that tell block `block` apart from every other block.
inline Bytes BlockData(uint8_t block) {
    return Count(static_cast<uint8_t>(block * 16), 16);
}

// BlockData of `count` blocks from `first` on, one after the other.
inline Bytes Blocks(int first, int count) {
    Bytes all;
    for (int b = first; b < first + count; ++b) {
        const Bytes one = BlockData(static_cast<uint8_t>(b));
        all.insert(all.end(), one.begin(), one.end());
    }
    return all;
}

// "code: params" in hex, one reader command.
inline std::string Describe(uint8_t code, const Bytes& params) {
    std::string text;
    char part[4];
    std::snprintf(part, sizeof part, "%02X", code);
    text = part;
    text += ":";
    for (uint8_t b : params) {
        std::snprintf(part, sizeof part, " %02X", b);
        text += part;
    }
    return text;
}

class CardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        session = CreateSession(0);
        auto comm = std::make_unique<ScriptedComm>();
        comm_ = comm.get();
        ASSERT_EQ(api::ConnectWith(*session, std::move(comm), 0), KESTREL_OK);
    }
    void TearDown() override { ReleaseSession(session, 0); }

    // Expects reader command `code` with `params`, answered with `status` and `data`.
    void Expect(uint8_t code, const Bytes& params, uint8_t status = kStatusOk,
                const Bytes& data = {}) {
        expected_.push_back(Describe(code, params));
        comm_->Expect(Frame(sequence_, code, params), Frame(sequence_, status, data));
        ++sequence_;
    }
    // WUPA, anticollision (sending `sent`), select: the activation of the Single forms.
    void ExpectWakeUp(const Bytes& serial = kSerial, const Bytes& sent = {0, 0, 0, 0}) {
        Expect(0x11, {0x52}, kStatusOk, {0x04, 0x00});
        Expect(0x12, Cat({{0x00}, sent}), kStatusOk, serial);
        Expect(0x13, serial, kStatusOk, {0x08});
    }
    // RF reset 25, then the wake-up: the activation of the older functions.
    void ExpectLegacyActivation(const Bytes& serial = kSerial) {
        Expect(0x20, {0x19, 0x00});
        ExpectWakeUp(serial);
    }
    void ExpectAuth(const MifareKey& key, uint8_t block, const Bytes& serial = kSerial,
                    uint8_t status = kStatusOk) {
        Expect(0x18, Cat({{key.type}, serial, Coded(key), {block}}), status);
    }
    void ExpectRead(uint8_t block, const Bytes& data, uint8_t status = kStatusOk) {
        Expect(0x19, {block}, status, data);
    }
    void ExpectWrite(uint8_t block, const Bytes& data, uint8_t status = kStatusOk) {
        Expect(0x1A, Cat({{block}, data}), status);
    }

    // Reads, or writes, of BlockData for `count` blocks from `first` on.
    void ExpectReads(int first, int count) {
        for (int b = first; b < first + count; ++b) {
            ExpectRead(static_cast<uint8_t>(b), BlockData(static_cast<uint8_t>(b)));
        }
    }
    void ExpectWrites(int first, int count) {
        for (int b = first; b < first + count; ++b) {
            ExpectWrite(static_cast<uint8_t>(b), BlockData(static_cast<uint8_t>(b)));
        }
    }

    // The reader commands sent so far, described as Expect describes them.
    std::vector<std::string> Sent() const {
        std::vector<std::string> sent;
        for (const Bytes& r : comm_->requests) {
            sent.push_back(Describe(r[2], Bytes(r.begin() + 5, r.end() - 2)));
        }
        return sent;
    }
    // Compares the traffic with the script and starts a new script.
    void CheckTraffic(const char* label = "") {
        EXPECT_EQ(Sent(), expected_) << label;
        EXPECT_TRUE(comm_->Done()) << label;
        Reset();
    }
    // Forgets the script and what was sent (the sequence numbers go on).
    void Reset() {
        expected_.clear();
        comm_->requests.clear();
        comm_->surprises.clear();
    }

    KestrelSession* session = nullptr;
    ScriptedComm* comm_ = nullptr;

  private:
    std::vector<std::string> expected_;
    uint8_t sequence_ = 0;
};

// An export, with arguments fixed by the test, that takes a session.
struct SessionCall {
    const char* name;
    std::function<int32_t(KestrelSession*)> call;
};

// Every export checks the session before anything else it does with it.
inline void ExpectSessionChecks(const std::vector<SessionCall>& calls) {
    alignas(KestrelSession) unsigned char notASession[sizeof(KestrelSession)] = {0x12, 0x34};
    auto* fake = reinterpret_cast<KestrelSession*>(notASession);
    KestrelSession* disconnected = CreateSession(0);
    for (const SessionCall& c : calls) {
        EXPECT_EQ(c.call(nullptr), KESTREL_ERR_NO_SESSION) << c.name;
        EXPECT_EQ(c.call(fake), KESTREL_ERR_INVALID_SESSION) << c.name;
        EXPECT_EQ(c.call(disconnected), KESTREL_ERR_NO_READER) << c.name;
    }
    ReleaseSession(disconnected, 0);
}

}  // namespace kestrel::test
