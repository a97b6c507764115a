#include "iso14443_4/tcl_protocol.h"

#include <array>
#include <cstring>
#include <vector>

namespace kestrel::iso14443_4 {
namespace {

// A buffer the caller gives with its capacity: null is allowed only without room.
bool BufferMissing(const void* buffer, uint32_t size) {
    return buffer == nullptr && size > 0;
}

// Bytes in front of the information field (or the WTXM) of a block from the card: the PCB,
// and the CID when the block's own PCB has the CID bit.
uint16_t HeaderLength(uint8_t pcb) {
    return (pcb & kPcbCid) != 0 ? 2 : 1;
}

}  // namespace

BlockKind Classify(uint8_t pcb) {
    if ((pcb & 0xF6) == 0xA2) return BlockKind::kAck;
    if ((pcb & 0xF7) == 0xF2) return BlockKind::kWtx;
    if ((pcb & 0xE7) < 4) return BlockKind::kInformation;
    return BlockKind::kOther;
}

uint16_t MaxInformationField(uint16_t frameSize, bool cid) {
    const uint32_t overhead = kFrameOverhead + (cid ? 1 : 0);
    if (frameSize > kBlockBufferSize || frameSize <= overhead) return 0;
    return static_cast<uint16_t>(frameSize - overhead);
}

TclProtocol::TclProtocol(reader::BlockExchange& reader, uint16_t frameSize,
                         std::optional<uint8_t> cid, uint32_t cardTimeOutMs, uint8_t blockNumber)
    : reader_(reader),
      frameSize_(frameSize),
      cid_(cid),
      cardTimeOutMs_(cardTimeOutMs),
      blockNumber_(blockNumber) {}

Result TclProtocol::SendIBlock(uint8_t pcb, const uint8_t* info, uint16_t length, uint8_t* answer,
                               uint16_t* answerLength) {
    std::vector<uint8_t> block;
    block.reserve(length + 2u);
    block.push_back(pcb);
    if (cid_) block.push_back(*cid_);
    if (length > 0) block.insert(block.end(), info, info + length);
    return reader_.ExchangeBlock(kBlockExchangeParameter, block.data(),
                                 static_cast<uint16_t>(block.size()), answer, answerLength);
}

Result TclProtocol::SendRBlock(uint8_t pcb, uint8_t* answer, uint16_t* answerLength) {
    const uint8_t block[2] = {pcb, cid_.value_or(0)};
    return reader_.ExchangeBlock(kBlockExchangeParameter, block, cid_ ? 2 : 1, answer,
                                 answerLength);
}

Result TclProtocol::SendSBlock(uint8_t kind, uint8_t wtxm, uint8_t* answer,
                               uint16_t* answerLength) {
    uint8_t block[3];
    uint16_t length = 0;
    block[length++] = static_cast<uint8_t>(kPcbS | kind | CidBit());
    if (cid_) block[length++] = *cid_;
    if (kind == kSBlockWtx) block[length++] = wtxm;
    return reader_.ExchangeBlock(kBlockExchangeParameter, block, length, answer, answerLength);
}

Result TclProtocol::Exchange(const uint8_t* request, uint16_t requestLength, uint8_t* answer,
                             uint16_t* answerLength) {
    if (answerLength == nullptr || BufferMissing(request, requestLength) ||
        BufferMissing(answer, *answerLength)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    const uint16_t maxInfo = MaxInformationField(frameSize_, cid_.has_value());
    if (maxInfo == 0) return KESTREL_ERR_WRONG_PARAMETER;
    const uint16_t capacity = *answerLength;
    if (Result r = reader_.SetCardTimeOut(cardTimeOutMs_); r != KESTREL_OK) return r;

    uint8_t number = blockNumber_ & kPcbBlockNumber;
    // One block from the card; every exchange may fill it up to the frame size.
    std::array<uint8_t, kBlockBufferSize> block;
    uint16_t blockLength = 0;
    // Every exchange gets the frame size as its answer room, never the caller's capacity.
    auto fresh = [&] {
        blockLength = frameSize_;
        return &blockLength;
    };

    // The answer message so far, and whether (and with which number) the card is to be asked
    // for its next block with an R(ACK).
    uint32_t received = 0;
    bool fetchMore = false;
    uint8_t ackNumber = number;

    // Takes one I-block of the answer into the caller's buffer after what came before.
    auto takeInformation = [&]() -> Result {
        const uint8_t pcb = block[0];
        const uint16_t header = HeaderLength(pcb);
        if (blockLength < header) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
        const uint32_t n = blockLength - header;
        if (received + n > capacity) return KESTREL_ERR_READING_TOO_MUCH;
        if (n > 0) std::memcpy(answer + received, block.data() + header, n);
        received += n;
        number ^= kPcbBlockNumber;
        fetchMore = (pcb & kPcbChaining) != 0;
        ackNumber = static_cast<uint8_t>(~pcb & kPcbBlockNumber);
        return KESTREL_OK;
    };

    if (requestLength == 0) {
        // Nothing to send: ask for the answer straight away, with the current block number.
        fetchMore = true;
    }
    uint32_t sent = 0;
    while (sent < requestLength) {
        const uint32_t left = requestLength - sent;
        const bool chaining = left > maxInfo;
        const uint16_t chunk = static_cast<uint16_t>(chaining ? maxInfo : left);
        const uint8_t pcb = kPcbFixed | CidBit() | (chaining ? kPcbChaining : 0) | number;
        Result r = SendIBlock(pcb, request + sent, chunk, block.data(), fresh());
        if (r != KESTREL_OK) {
            // One retry: after a pause, ask the card with R(NAK) to answer the block again.
            reader_.PauseBeforeRetry(kRetryPauseMs);
            r = SendRBlock(kPcbRNak | pcb, block.data(), fresh());
            if (r != KESTREL_OK) return r;
        }
        if (blockLength == 0) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
        BlockKind kind = Classify(block[0]);
        while (kind == BlockKind::kWtx) {
            // The WTXM sits after the CID when this side sends CIDs.
            const uint16_t at = cid_ ? 2 : 1;
            if (blockLength <= at || blockLength <= HeaderLength(block[0])) {
                return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
            }
            const uint8_t wtxm = block[at] & kWtxmMask;
            r = SendSBlock(kSBlockWtx, wtxm, block.data(), fresh());
            if (r != KESTREL_OK) return r;
            if (blockLength == 0) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
            kind = Classify(block[0]);
        }
        if (kind == BlockKind::kAck) {
            if (blockLength < HeaderLength(block[0])) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
            number ^= kPcbBlockNumber;
            sent += chunk;
            if (sent == requestLength) {
                // All sent and acknowledged: fetch the answer, numbered after this R(ACK).
                fetchMore = true;
                ackNumber = static_cast<uint8_t>(~block[0] & kPcbBlockNumber);
            }
            continue;
        }
        if (kind != BlockKind::kInformation) return KESTREL_ERR_OPERATION_ABORTED;
        // The card's answer has begun (even if request bytes remain).
        if (Result t = takeInformation(); t != KESTREL_OK) return t;
        break;
    }

    while (fetchMore) {
        // No retry and no WTX here: whatever is not an I-block ends the exchange.
        const uint8_t pcb = kPcbRAck | kPcbFixed | CidBit() | ackNumber;
        if (Result r = SendRBlock(pcb, block.data(), fresh()); r != KESTREL_OK) return r;
        if (blockLength == 0) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
        if (Classify(block[0]) != BlockKind::kInformation) return KESTREL_ERR_OPERATION_ABORTED;
        if (Result t = takeInformation(); t != KESTREL_OK) return t;
    }

    *answerLength = static_cast<uint16_t>(received);
    blockNumber_ = number;
    return KESTREL_OK;
}

Result TclProtocol::Ping(uint16_t capacity) {
    if (Result r = reader_.SetCardTimeOut(cardTimeOutMs_); r != KESTREL_OK) return r;
    // A capacity beyond the local buffer is cut to it, so a longer answer fails in the block
    // exchange instead of overrunning the buffer.
    std::array<uint8_t, kBlockBufferSize> block;
    uint16_t length = capacity < kBlockBufferSize ? capacity : kBlockBufferSize;
    const uint8_t pcb = kPcbRNak | kPcbFixed | CidBit() | (blockNumber_ & kPcbBlockNumber);
    return SendRBlock(pcb, block.data(), &length);
}

Result TclProtocol::Deselect(uint8_t* answer, uint16_t* answerLength) {
    if (answerLength == nullptr || BufferMissing(answer, *answerLength)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    if (Result r = reader_.SetCardTimeOut(cardTimeOutMs_); r != KESTREL_OK) return r;
    return SendSBlock(kSBlockDeselect, 0, answer, answerLength);
}

}  // namespace kestrel::iso14443_4
