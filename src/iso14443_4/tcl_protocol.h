// The host side of the ISO/IEC 14443-4 block transmission protocol: I-, R- and S-blocks,
// chaining, waiting-time extensions, the CID and the block number.
//
// The reader carries single blocks (its block exchange); the host builds every block, reads
// every answer and decides what comes next. The reader adds and checks the CRC, so the blocks
// here carry none.
#pragma once

#include <cstdint>
#include <optional>

#include "common/result.h"
#include "reader/block_exchange.h"

namespace kestrel::iso14443_4 {

// PCB bits.
constexpr uint8_t kPcbBlockNumber = 0x01;
constexpr uint8_t kPcbFixed = 0x02;  // set in every block the host sends
constexpr uint8_t kPcbNad = 0x04;
constexpr uint8_t kPcbCid = 0x08;
constexpr uint8_t kPcbChaining = 0x10;
constexpr uint8_t kPcbRAck = 0xA0;
constexpr uint8_t kPcbRNak = 0xB0;
constexpr uint8_t kPcbS = 0xC2;
constexpr uint8_t kSBlockDeselect = 0x00;
constexpr uint8_t kSBlockWtx = 0x30;

// Parameter byte of the reader's block exchange for every block of the protocol.
constexpr uint8_t kBlockExchangeParameter = 0x1E;
// Single answer blocks land in a buffer of this size; it bounds the frame size.
constexpr uint16_t kBlockBufferSize = 1024;
// PCB and the two bytes the reader's CRC would take: what a frame holds besides the
// information field (without CID).
constexpr uint16_t kFrameOverhead = 3;
// Pause before the R(NAK) that retries a failed I-block.
constexpr uint32_t kRetryPauseMs = 1000;
// WTXM: the low six bits of the byte that carries it.
constexpr uint8_t kWtxmMask = 0x3F;

// What a block from the card is, judged by its PCB in this order.
enum class BlockKind {
    kAck,          // R(ACK), whatever its block number and CID bit
    kWtx,          // S(WTX) request, whatever its CID bit
    kInformation,  // I-block without NAD
    kOther,        // R(NAK), S(DESELECT), an I-block with NAD, anything else
};
BlockKind Classify(uint8_t pcb);

// The largest information field of one I-block for `frameSize`, with a CID byte where `cid`
// says so. 0 when the frame size leaves no room for an information field or is larger than
// the block buffer: such frame sizes are refused, not adjusted.
uint16_t MaxInformationField(uint16_t frameSize, bool cid);

// The protocol with one card: its frame size, its CID (none: no CID byte in any block), how
// long the reader waits for each of its blocks, and the block number of the next I-block. A
// value made for one exchange or a few; the caller keeps what must outlive it (the block
// number, which only a successful exchange changes).
class TclProtocol {
  public:
    TclProtocol(reader::BlockExchange& reader, uint16_t frameSize, std::optional<uint8_t> cid,
                uint32_t cardTimeOutMs, uint8_t blockNumber);

    // One message each way: the request in I-blocks of at most the frame size (chained), the
    // card's waiting-time extensions granted, one failed I-block retried with R(NAK) after a
    // pause, the answer's chained I-blocks collected with R(ACK)s. The card time-out goes to
    // the reader first. `answerLength` holds the capacity on entry and receives the length on
    // success; on any failure nothing is copied out and the block number stays. Null pointers
    // the exchange needs and frame sizes that leave no information field give
    // KESTREL_ERR_WRONG_PARAMETER without traffic; an answer beyond the capacity
    // KESTREL_ERR_READING_TOO_MUCH; a block that is neither what was asked for nor an I-block
    // KESTREL_ERR_OPERATION_ABORTED.
    Result Exchange(const uint8_t* request, uint16_t requestLength, uint8_t* answer,
                    uint16_t* answerLength);
    // Presence check: after the card time-out, one R(NAK) with the block number, which does
    // not change. The card's answer is dropped; one longer than `capacity` (cut to the block
    // buffer) fails.
    Result Ping(uint16_t capacity);
    // S(DESELECT), after the card time-out. `answerLength`: capacity in, length out.
    Result Deselect(uint8_t* answer, uint16_t* answerLength);

    // The block number of the next I-block: bit 0 of the one given, toggled by every
    // I-block of a successful exchange; as given until one succeeds.
    uint8_t BlockNumber() const { return blockNumber_; }

  private:
    // The block builders: each carries one block with the reader's block exchange.
    // `answerLength` holds the answer capacity on entry and the card block's length on return.
    Result SendIBlock(uint8_t pcb, const uint8_t* info, uint16_t length, uint8_t* answer,
                      uint16_t* answerLength);
    Result SendRBlock(uint8_t pcb, uint8_t* answer, uint16_t* answerLength);
    Result SendSBlock(uint8_t kind, uint8_t wtxm, uint8_t* answer, uint16_t* answerLength);
    uint8_t CidBit() const { return cid_ ? kPcbCid : 0; }

    reader::BlockExchange& reader_;
    uint16_t frameSize_;
    std::optional<uint8_t> cid_;
    uint32_t cardTimeOutMs_;
    uint8_t blockNumber_;
};

}  // namespace kestrel::iso14443_4
