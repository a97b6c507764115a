// The host's side of DESFire application, file and data commands for the virtual card's tests:
// legacy authentication, MACs and cryptograms computed with the test's own libcrypto code,
// commands sent in 60-byte frames and answers collected over 0xAF frames.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "iso_host.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/helpers/hex.h"

namespace kestrel::sim::test {

namespace df = desfire;

inline Bytes Le(uint32_t value, size_t length) {
    Bytes out;
    for (size_t i = 0; i < length; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return out;
}

// The 4-byte MAC: CBC encipherment with a zero IV over the data and zero padding up to the next
// multiple of 8, a whole zero block when the length is one already.
inline Bytes HostMac(const Key16& key, const Bytes& data) {
    Bytes padded = data;
    padded.resize(data.size() / 8 * 8 + 8, 0x00);
    uint8_t chain[8] = {};
    for (size_t offset = 0; offset < padded.size(); offset += 8) {
        uint8_t block[8];
        for (int i = 0; i < 8; ++i) block[i] = padded[offset + i] ^ chain[i];
        const Bytes out = TripleDes(key, block, true);
        std::copy(out.begin(), out.end(), chain);
    }
    return Bytes(chain, chain + 4);
}

// Data as the host sends it in a communication mode.
inline Bytes HostProtect(uint8_t mode, const Key16& key, const Bytes& data) {
    if (mode == 1) return Concat({data, HostMac(key, data)});
    if (mode == 3) {
        Bytes plain = Concat({data, CrcABytes(data)});
        plain.resize((plain.size() + 7) / 8 * 8, 0x00);
        return HostSend(key, plain);
    }
    return data;
}

// The plain data of an answer in a communication mode; a message when it is not intact.
inline std::pair<Bytes, std::string> HostUnprotect(uint8_t mode, const Key16& key,
                                                   const Bytes& received, size_t length) {
    if (mode == 1) {
        if (received.size() != length + 4)
            return {{}, "MAC answer of " + std::to_string(received.size())};
        const Bytes data(received.begin(), received.begin() + length);
        if (HostMac(key, data) != Bytes(received.begin() + length, received.end())) {
            return {{}, "bad MAC"};
        }
        return {data, ""};
    }
    if (mode == 3) {
        if (received.size() != (length + 2 + 7) / 8 * 8) {
            return {{}, "cryptogram of " + std::to_string(received.size())};
        }
        const Bytes plain = HostReceive(key, received);
        const Bytes data(plain.begin(), plain.begin() + length);
        if (CrcABytes(data) != Bytes(plain.begin() + length, plain.begin() + length + 2)) {
            return {{}, "bad CRC"};
        }
        return {data, ""};
    }
    if (received.size() != length)
        return {{}, "plain answer of " + std::to_string(received.size())};
    return {received, ""};
}

inline Bytes Access(uint8_t read, uint8_t write, uint8_t readWrite, uint8_t change) {
    return {static_cast<uint8_t>(readWrite << 4 | change), static_cast<uint8_t>(read << 4 | write)};
}

class DesfireHostTest : public ::testing::Test {
  protected:
    static inline const Bytes kUid = {0x04, 0x61, 0x72, 0x83, 0x94, 0xA5, 0xB6};
    static inline const Bytes kRndA = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87};
    static inline const Key16 kZeroKey{};

    DesfireHostTest() : host_(reader_) {
        auto card = std::make_unique<DesfireCard>(kUid);
        card_ = card.get();
        reader_.AddCard(std::move(card));
        EXPECT_TRUE(host_.Activate(0x00, true));
        host_.SetCardFrameSize(16);
    }

    Bytes Native(const Bytes& command) { return host_.Native(command); }

    // The whole answer: the final status, then the data of every frame.
    Bytes Run(const Bytes& command) {
        Bytes answer = Native(command);
        Bytes data;
        while (!answer.empty() && answer[0] == df::status::kAdditionalFrame) {
            data.insert(data.end(), answer.begin() + 1, answer.end());
            answer = Native({df::command::kAdditionalFrame});
            ++continuations_;
        }
        if (answer.empty()) return {};
        data.insert(data.end(), answer.begin() + 1, answer.end());
        return Concat({{answer[0]}, data});
    }

    // A write as a host sends it: an 8-byte header and up to 52 payload bytes, then 0xAF
    // frames of up to 59 bytes while the card answers 0xAF.
    Bytes Write(uint8_t code, uint8_t file, uint32_t offset, uint32_t length,
                const Bytes& payload) {
        Bytes frame = Concat({{code, file}, Le(offset, 3), Le(length, 3)});
        size_t sent = std::min<size_t>(payload.size(), 52);
        frame.insert(frame.end(), payload.begin(), payload.begin() + sent);
        Bytes answer = Native(frame);
        bool emptySent = false;  // a card that waits for more than the payload gets one 0xAF
        while (answer == Bytes{df::status::kAdditionalFrame} && !emptySent) {
            const size_t n = std::min<size_t>(payload.size() - sent, 59);
            frame = Concat({{df::command::kAdditionalFrame},
                            Bytes(payload.begin() + sent, payload.begin() + sent + n)});
            sent += n;
            emptySent = n == 0;
            answer = Native(frame);
            ++continuations_;
        }
        return answer;
    }

    std::optional<Key16> Authenticate(uint8_t keyNumber, const Key16& key) {
        const Bytes first = Native({df::command::kAuthenticate, keyNumber});
        if (first.size() != 9 || first[0] != df::status::kAdditionalFrame) return std::nullopt;
        const Bytes rndB = HostReceive(key, Bytes(first.begin() + 1, first.end()));
        const Bytes token = HostSend(key, Concat({kRndA, RotateLeft(rndB)}));
        const Bytes second = Native(Concat({{df::command::kAdditionalFrame}, token}));
        if (second.size() != 9 || second[0] != df::status::kOk) return std::nullopt;
        const bool single = std::equal(key.begin(), key.begin() + 8, key.begin() + 8);
        Key16 session{};
        for (int i = 0; i < 4; ++i) {
            session[i] = kRndA[i];
            session[4 + i] = rndB[i];
            session[8 + i] = single ? kRndA[i] : kRndA[4 + i];
            session[12 + i] = single ? rndB[i] : rndB[4 + i];
        }
        return session;
    }
    Key16 MustAuthenticate(uint8_t keyNumber, const Key16& key = Key16{}) {
        const std::optional<Key16> session = Authenticate(keyNumber, key);
        EXPECT_TRUE(session) << "key " << int(keyNumber);
        return session.value_or(Key16{});
    }

    Bytes Select(uint32_t aid) {
        return Native(Concat({{df::command::kSelectApplication}, Le(aid, 3)}));
    }
    Bytes CreateApp(uint32_t aid, uint8_t settings, uint8_t keys) {
        return Native(Concat({{df::command::kCreateApplication}, Le(aid, 3), {settings, keys}}));
    }
    // An application with free create/delete and directory list, selected.
    void MakeApp(uint32_t aid, uint8_t keys = 3, uint8_t settings = 0x0F) {
        ASSERT_EQ(CreateApp(aid, settings, keys), Bytes{0x00});
        ASSERT_EQ(Select(aid), Bytes{0x00});
    }
    Bytes CreateDataFile(uint8_t code, uint8_t file, uint8_t comm, const Bytes& access,
                         uint32_t size) {
        return Native(Concat({{code, file, comm}, access, Le(size, 3)}));
    }
    Bytes CreateValueFile(uint8_t file, uint8_t comm, const Bytes& access, int32_t lower,
                          int32_t upper, int32_t value, uint8_t limited) {
        return Native(Concat({{df::command::kCreateValueFile, file, comm},
                              access,
                              Le(static_cast<uint32_t>(lower), 4),
                              Le(static_cast<uint32_t>(upper), 4),
                              Le(static_cast<uint32_t>(value), 4),
                              {limited}}));
    }
    Bytes CreateRecordFile(uint8_t code, uint8_t file, uint8_t comm, const Bytes& access,
                           uint32_t recordSize, uint32_t maxRecords) {
        return Native(Concat({{code, file, comm}, access, Le(recordSize, 3), Le(maxRecords, 3)}));
    }
    // A value operation with the amount in `mode`.
    Bytes ChangeValue(uint8_t code, uint8_t file, uint8_t mode, const Key16& session,
                      int32_t amount) {
        return Native(Concat(
            {{code, file}, HostProtect(mode, session, Le(static_cast<uint32_t>(amount), 4))}));
    }
    // GetValue in `mode`: the value, or nullopt with a failure reported.
    std::optional<int32_t> Value(uint8_t file, uint8_t mode, const Key16& session) {
        const Bytes answer = Run({df::command::kGetValue, file});
        if (answer.empty() || answer[0] != 0x00) {
            ADD_FAILURE() << "GetValue: " << ToHex(answer);
            return std::nullopt;
        }
        const auto [data, problem] =
            HostUnprotect(mode, session, Bytes(answer.begin() + 1, answer.end()), 4);
        if (!problem.empty()) {
            ADD_FAILURE() << problem;
            return std::nullopt;
        }
        return static_cast<int32_t>(data[0] | data[1] << 8 | data[2] << 16 |
                                    static_cast<uint32_t>(data[3]) << 24);
    }
    Bytes Commit() { return Native({df::command::kCommitTransaction}); }
    Bytes Abort() { return Native({df::command::kAbortTransaction}); }

    VirtualReader reader_;
    IsoHost host_;
    DesfireCard* card_ = nullptr;
    int continuations_ = 0;
};

}  // namespace kestrel::sim::test
