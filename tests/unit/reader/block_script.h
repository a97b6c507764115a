// Test support for the reader's block exchange and the block protocol above it: a standard
// reader over a scripted line, and the steps of a script of single blocks.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "link/block_framing_protocol.h"
#include "reader/standard_reader.h"
#include "support/scripted_comm.h"
#include "unit/mifare/card_script.h"

namespace kestrel::test {

constexpr uint8_t kOk = 0x00;
constexpr uint8_t kNoCard = 0xFF;       // KESTREL_ERR_NO_CARD
constexpr uint8_t kCardTimeOut = 0xEA;  // KESTREL_ERR_FRAME_CARD_TIMEOUT

constexpr uint32_t kTimeOut = 3000;
inline const Bytes kTimeOutBytes = {0xB8, 0x0B, 0x00, 0x00};

inline Bytes Le16(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}
inline Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

// The parameters of reader command 0x03 carrying `block`.
inline Bytes BlockParams(const Bytes& block) {
    return Cat({{0x1E}, Le16(static_cast<uint32_t>(block.size())), block});
}

// One exchange of the block protocol: the block the host must send and what comes back.
struct Step {
    Bytes sent;
    Bytes answer;          // the card's block in the reader's answer
    uint8_t status = kOk;  // the reader's status byte
    bool linkFails = false;
};
inline Step Card(Bytes sent, Bytes answer) {
    return {std::move(sent), std::move(answer)};
}
inline Step ReaderFails(Bytes sent, uint8_t status, Bytes answer = {}) {
    return {std::move(sent), std::move(answer), status};
}
inline Step LinkFails(Bytes sent) {
    return {std::move(sent), {}, kOk, true};
}

class BlockScriptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reader.SetPause([this](uint32_t ms) { pauses.push_back(ms); });
    }

    // Expects reader command `code` with `params`, answered with `status` and `data`.
    void Expect(uint8_t code, const Bytes& params, uint8_t status = kOk, const Bytes& data = {}) {
        expected_.push_back(Describe(code, params));
        comm.Expect(Frame(sequence_, code, params), Frame(sequence_, status, data));
        ++sequence_;
    }
    // Expects reader command `code` with `params` whose write fails.
    void ExpectWriteFailure(uint8_t code, const Bytes& params) {
        expected_.push_back(Describe(code, params));
        comm.FailWrite(KESTREL_ERR_RS232_WRITE);
        ++sequence_;
    }
    void ExpectCardTimeOut(const Bytes& value = kTimeOutBytes, uint8_t status = kOk) {
        Expect(0x27, value, status);
    }
    void ExpectStep(const Step& s) {
        if (s.linkFails) {
            ExpectWriteFailure(0x03, BlockParams(s.sent));
        } else {
            Expect(0x03, BlockParams(s.sent), s.status, s.answer);
        }
    }

    // Compares the traffic with the script and starts a new script.
    void CheckTraffic(const std::string& label) {
        std::vector<std::string> sent;
        for (const Bytes& r : comm.requests) {
            sent.push_back(Describe(r[2], Bytes(r.begin() + 5, r.end() - 2)));
        }
        EXPECT_EQ(sent, expected_) << label;
        EXPECT_TRUE(comm.Done()) << label;
        expected_.clear();
        comm.requests.clear();
        comm.surprises.clear();
        comm.writeTimeOuts.clear();
        comm.readTimeOuts.clear();
        pauses.clear();
    }

    test::ScriptedComm comm;
    link::BlockFramingProtocol link{comm};
    reader::StandardReader reader{link};
    std::vector<uint32_t> pauses;

  private:
    std::vector<std::string> expected_;
    uint8_t sequence_ = 0;
};

}  // namespace kestrel::test
