// Block frames between host and reader over a byte stream (serial line, TCP).
#pragma once

#include <cstdint>
#include <vector>

#include "comm/comm_interface.h"
#include "link/link_protocol.h"

namespace kestrel::link {

// Frame layout, both directions, multi-byte fields low byte first:
//   0xA5 | sequence | command code (request) or status (answer) | N (2) | N data | CRC (2)
// The CRC (CRC-16/MCRF4XX) covers every byte before it. The answer echoes the sequence byte
// of the request it answers.
class BlockFramingProtocol : public LinkProtocol {
  public:
    static constexpr uint8_t kStartByte = 0xA5;
    static constexpr size_t kHeaderSize = 5;
    static constexpr size_t kCrcSize = 2;
    // The length field of a request is taken as a signed 16-bit value.
    static constexpr size_t kMaxRequestData = 0x7FFF;

    // `comm` belongs to the session and outlives this object.
    explicit BlockFramingProtocol(comm::CommInterface& comm) : comm_(comm) {}

    Result Reset() override;
    int32_t SetReadTimeOut(int32_t ms) override { return readTimeOut_ = ms; }
    int32_t GetReadTimeOut() const override { return readTimeOut_; }
    int32_t SetWriteTimeOut(int32_t ms) override { return writeTimeOut_ = ms; }
    int32_t GetWriteTimeOut() const override { return writeTimeOut_; }
    Result Transceive(reader::ReaderCommand& command, int32_t readTimeOutMs,
                      int32_t writeTimeOutMs) override;

    // Sequence number the next request will carry.
    uint8_t NextSequence() const { return sequence_; }

    // Maps the reader's status byte to a result code.
    static Result StatusMap(uint8_t status);

  protected:
    // Reads one whole answer frame (header, data, CRC) into `frame`. 0 or a failure code.
    virtual Result ReadResponse(std::vector<uint8_t>& frame);

    comm::CommInterface& comm_;

  private:
    // Set when an answer went missing or was refused: a late or unread remainder may still be
    // on its way, so pending input is discarded before the next request.
    bool outOfStep_ = false;
    int32_t readTimeOut_ = kDefaultTimeOutMs;
    int32_t writeTimeOut_ = kDefaultTimeOutMs;
    uint8_t sequence_ = 0;
};

}  // namespace kestrel::link
