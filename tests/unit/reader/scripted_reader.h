// A standard (or derived) reader over a scripted line: the test lists each reader command it
// expects, byte for byte in its frame, with the reader's answer.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "link/block_framing_protocol.h"
#include "reader/standard_reader.h"
#include "support/scripted_comm.h"

namespace kestrel::test {

constexpr uint8_t kGuardByte = 0xCC;

// Reader status bytes and the results the link protocol makes of them.
constexpr uint8_t kReaderOk = 0x00;
constexpr uint8_t kReaderNoCard = 0xFF;  // KESTREL_ERR_NO_CARD

class ScriptedReaderTest : public ::testing::Test {
  protected:
    // Expects the frame of command `code` with `params`; answers with `status` and `data`.
    void Expect(uint8_t code, const Bytes& params, uint8_t status = kReaderOk,
                const Bytes& data = {}) {
        comm.Expect(Frame(sequence_, code, params), Frame(sequence_, status, data));
        ++sequence_;
    }
    // Replaces the reader with one of the reader type that offers RF scanning.
    void UseRfScanReader() { reader = std::make_unique<reader::RfScanReader>(link); }

    ScriptedComm comm;
    link::BlockFramingProtocol link{comm};
    std::unique_ptr<reader::StandardReader> reader = std::make_unique<reader::StandardReader>(link);

  private:
    uint8_t sequence_ = 0;
};

}  // namespace kestrel::test
