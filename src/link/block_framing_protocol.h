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

    Result Exchange(ReaderCommand& command, uint32_t timeOutMs) override;

    // Sequence number the next request will carry.
    uint8_t NextSequence() const { return sequence_; }

  protected:
    // Reads one whole answer frame (header, data, CRC) into `frame`, each read within
    // `timeOutMs`. 0 or a failure code.
    virtual Result ReadResponse(std::vector<uint8_t>& frame, uint32_t timeOutMs);

    comm::CommInterface& comm_;

  private:
    // Set when an answer went missing or was refused: a late or unread remainder may still be
    // on its way, so pending input is discarded before the next request.
    bool outOfStep_ = false;
    uint8_t sequence_ = 0;
};

}  // namespace kestrel::link
