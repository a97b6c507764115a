// ISO/IEC 14443-4: the reader commands that carry it, the block builders and the block
// protocol of the standard reader.
#include "reader/iso14443_4.h"

#include <array>
#include <cstring>
#include <limits>
#include <vector>

#include "reader/standard_reader.h"

namespace kestrel::reader {
namespace {

// Raises the reader's exchange time-out for one exchange and puts the old value back when
// it goes out of scope, whichever way the exchange ends.
class TimeOutRaise {
  public:
    TimeOutRaise(int32_t& timeOut, uint32_t cardTimeOut) : timeOut_(timeOut), saved_(timeOut) {
        if (static_cast<int64_t>(cardTimeOut) > timeOut_) {
            // The card's time-out plus a tenth for the way to and from the reader; kept
            // within the field's range.
            const uint64_t raised = uint64_t{cardTimeOut} + cardTimeOut / 10;
            const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
            timeOut_ = static_cast<int32_t>(raised < limit ? raised : limit);
        }
    }
    ~TimeOutRaise() { timeOut_ = saved_; }
    TimeOutRaise(const TimeOutRaise&) = delete;
    TimeOutRaise& operator=(const TimeOutRaise&) = delete;

  private:
    int32_t& timeOut_;
    const int32_t saved_;
};

// A buffer the caller gives with its capacity: null is allowed only without room.
bool BufferMissing(const void* buffer, uint32_t size) {
    return buffer == nullptr && size > 0;
}

}  // namespace

BlockKind Classify(uint8_t pcb) {
    if ((pcb & 0xF6) == 0xA2) return BlockKind::kAck;
    if ((pcb & 0xF7) == 0xF2) return BlockKind::kWtx;
    if ((pcb & 0xE7) < 4) return BlockKind::kInformation;
    return BlockKind::kOther;
}

uint16_t MaxInformationField(uint16_t frameSize, bool cid, bool nad) {
    const uint32_t overhead = kFrameOverhead + (cid ? 1 : 0) + (nad ? 1 : 0);
    if (frameSize > kBlockBufferSize || frameSize <= overhead) return 0;
    return static_cast<uint16_t>(frameSize - overhead);
}

// Block builders.

Result Reader::SendIBlock(uint8_t pcb, uint8_t cid, uint8_t nad, const uint8_t* info,
                          uint16_t length, uint8_t* answer, uint16_t* answerLength) {
    if (BufferMissing(info, length)) return KESTREL_ERR_WRONG_PARAMETER;
    std::vector<uint8_t> block;
    block.reserve(length + 3u);
    block.push_back(pcb);
    if ((pcb & kPcbCid) != 0) block.push_back(cid);
    if ((pcb & kPcbNad) != 0) block.push_back(nad);
    if (length > 0) block.insert(block.end(), info, info + length);
    return ExchangeBlock(kBlockExchangeParameter, block.data(), static_cast<uint16_t>(block.size()),
                         answer, answerLength);
}

Result Reader::SendRBlock(uint8_t lowBits, uint8_t cid, uint8_t nak, uint8_t* answer,
                          uint16_t* answerLength) {
    if (nak > 1) return KESTREL_ERR_UNKNOWN_COMMAND;
    const uint8_t pcb = (nak != 0 ? kPcbRNak : kPcbRAck) | lowBits;
    const uint8_t block[2] = {pcb, cid};
    const uint16_t length = (pcb & kPcbCid) != 0 ? 2 : 1;
    return ExchangeBlock(kBlockExchangeParameter, block, length, answer, answerLength);
}

Result Reader::SendSBlock(uint8_t cidFlag, uint8_t cid, uint8_t kind, uint8_t wtxm, uint8_t* answer,
                          uint16_t* answerLength) {
    if (kind != kSBlockDeselect && kind != kSBlockWtx) return KESTREL_ERR_UNKNOWN_COMMAND;
    uint8_t block[3];
    uint16_t length = 0;
    block[length++] = static_cast<uint8_t>(kPcbS | kind | (cidFlag != 0 ? kPcbCid : 0));
    if (cidFlag != 0) block[length++] = cid;
    if (kind == kSBlockWtx) block[length++] = wtxm;
    return ExchangeBlock(kBlockExchangeParameter, block, length, answer, answerLength);
}

// Reader commands.

Result StandardReader::ExchangeBlock(uint8_t parameter, const uint8_t* block, uint16_t length,
                                     uint8_t* answer, uint16_t* answerLength) {
    if (answerLength == nullptr || BufferMissing(block, length) ||
        BufferMissing(answer, *answerLength)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    link::ReaderCommand& cmd = Begin(kCmdExchangeBlock);
    cmd.PutByte(parameter);
    cmd.PutWord(length);
    cmd.PutBytes(block, length);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    const uint16_t capacity = *answerLength;
    // An answer frame carries at most 0xFFFF data bytes, so the size fits.
    const uint32_t size = command_->ResponseSize();
    *answerLength = static_cast<uint16_t>(size);
    if (size > capacity) return KESTREL_ERR_WRONG_PARAMETER;
    if (size > 0) std::memcpy(answer, command_->ResponseData(), size);
    return Status();
}

Result StandardReader::ExchangeTimed(const uint8_t* frame, uint16_t length, uint8_t* answer,
                                     uint16_t* answerLength, uint8_t flag, uint32_t cardTimeOut) {
    if (answerLength == nullptr || BufferMissing(frame, length) ||
        BufferMissing(answer, *answerLength)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    link::ReaderCommand& cmd = Begin(kCmdExchangeTimed);
    cmd.PutWord(length);
    cmd.PutByte(flag);
    cmd.PutDword(cardTimeOut);
    cmd.PutBytes(frame, length);
    {
        const TimeOutRaise raise(exchangeTimeOut_, cardTimeOut);
        if (Result r = Exchange(); r != KESTREL_OK) return r;
    }
    // The answer: its length (16 bits, low byte first), then the card's bytes. An answer
    // without its length, or with fewer bytes than it announces, writes nothing.
    const uint32_t size = command_->ResponseSize();
    if (size < 2) return ShortAnswer();
    const uint8_t* data = command_->ResponseData();
    const uint16_t announced = static_cast<uint16_t>(data[0] | (data[1] << 8));
    if (announced > size - 2) return ShortAnswer();
    const uint16_t capacity = *answerLength;
    *answerLength = announced;
    if (announced > capacity) return KESTREL_ERR_WRONG_PARAMETER;
    if (announced > 0) std::memcpy(answer, data + 2, announced);
    return Status();
}

Result StandardReader::RequestATS(uint8_t parameter, uint8_t* ats, uint16_t* atsLength) {
    if (atsLength == nullptr || BufferMissing(ats, *atsLength)) return KESTREL_ERR_WRONG_PARAMETER;
    Begin(kCmdRequestAts).PutByte(parameter);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    const uint32_t size = command_->ResponseSize();
    if (size > *atsLength) return KESTREL_ERR_WRONG_PARAMETER;
    if (size > 0) std::memcpy(ats, command_->ResponseData(), size);
    *atsLength = static_cast<uint16_t>(size);
    return Status();
}

Result StandardReader::PpsRequest(uint8_t cid, uint8_t dsi, uint8_t dri) {
    // DSI and DRI go out as given: the card judges them.
    const uint8_t frame[5] = {static_cast<uint8_t>(kPpsStart | (cid & 0x0F)), kPps0,
                              static_cast<uint8_t>((dsi << 2) | dri), 0x00, 0x00};
    uint8_t answer[kPpsAnswerCapacity];
    uint16_t answerLength = kPpsAnswerCapacity;
    return ExchangeTimed(frame, sizeof frame, answer, &answerLength, kPpsFlag, kPpsCardTimeOutMs);
}

// The block protocol.

Result StandardReader::TclExchange(const uint8_t* request, uint16_t requestLength, uint8_t* answer,
                                   uint16_t* answerLength, uint16_t frameSize, uint8_t cid,
                                   uint8_t nad, uint8_t cidFlag, uint8_t nadFlag,
                                   uint8_t* blockNumber, uint32_t cardTimeOut) {
    if (answerLength == nullptr || blockNumber == nullptr ||
        BufferMissing(request, requestLength) || BufferMissing(answer, *answerLength)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    const bool withCid = cidFlag != 0;
    const uint16_t maxInfo = MaxInformationField(frameSize, withCid, nadFlag != 0);
    if (maxInfo == 0) return KESTREL_ERR_WRONG_PARAMETER;
    const uint16_t capacity = *answerLength;
    if (Result r = SetCardTimeOut(cardTimeOut); r != KESTREL_OK) return r;

    const uint8_t cidBit = withCid ? kPcbCid : 0;
    uint8_t number = *blockNumber & kPcbBlockNumber;
    // One block from the card; every exchange may fill it up to the frame size.
    std::array<uint8_t, kBlockBufferSize> block;
    uint16_t blockLength = 0;
    // Every exchange gets the frame size as its answer room, never the caller's capacity.
    auto fresh = [&] {
        blockLength = frameSize;
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
        const uint8_t pcb = kPcbFixed | cidBit | (chaining ? kPcbChaining : 0) | number;
        Result r = SendIBlock(pcb, cid, nad, request + sent, chunk, block.data(), fresh());
        if (r != KESTREL_OK) {
            // One retry: after a pause, ask the card with R(NAK) to answer the block again.
            pause_(kRetryPauseMs);
            r = SendRBlock(pcb, cid, 1, block.data(), fresh());
            if (r != KESTREL_OK) return r;
        }
        if (blockLength == 0) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
        BlockKind kind = Classify(block[0]);
        while (kind == BlockKind::kWtx) {
            // The WTXM sits after the CID when this side sends CIDs.
            const uint16_t at = withCid ? 2 : 1;
            if (blockLength <= at || blockLength <= HeaderLength(block[0])) {
                return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
            }
            const uint8_t wtxm = block[at] & kWtxmMask;
            r = SendSBlock(cidFlag, cid, kSBlockWtx, wtxm, block.data(), fresh());
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
        const uint8_t lowBits = kPcbFixed | cidBit | ackNumber;
        if (Result r = SendRBlock(lowBits, cid, 0, block.data(), fresh()); r != KESTREL_OK) {
            return r;
        }
        if (blockLength == 0) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
        if (Classify(block[0]) != BlockKind::kInformation) return KESTREL_ERR_OPERATION_ABORTED;
        if (Result t = takeInformation(); t != KESTREL_OK) return t;
    }

    *answerLength = static_cast<uint16_t>(received);
    *blockNumber = number;
    return KESTREL_OK;
}

Result StandardReader::TclPing(uint16_t capacity, uint8_t cid, uint8_t cidFlag,
                               const uint8_t* blockNumber, uint32_t cardTimeOut) {
    if (blockNumber == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    if (Result r = SetCardTimeOut(cardTimeOut); r != KESTREL_OK) return r;
    // The answer is dropped; a capacity beyond the local buffer is cut to it, so a longer
    // answer fails in ExchangeBlock instead of overrunning the buffer.
    std::array<uint8_t, kBlockBufferSize> block;
    uint16_t length = capacity < kBlockBufferSize ? capacity : kBlockBufferSize;
    const uint8_t lowBits = static_cast<uint8_t>(kPcbFixed | (cidFlag != 0 ? kPcbCid : 0) |
                                                 (*blockNumber & kPcbBlockNumber));
    return SendRBlock(lowBits, cid, 1, block.data(), &length);
}

Result StandardReader::TclDeselect(uint8_t cidFlag, uint8_t cid, uint8_t* answer,
                                   uint16_t* answerLength) {
    if (answerLength == nullptr || BufferMissing(answer, *answerLength)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    if (Result r = SetCardTimeOut(static_cast<uint32_t>(exchangeTimeOut_)); r != KESTREL_OK) {
        return r;
    }
    return SendSBlock(cidFlag, cid, kSBlockDeselect, 0, answer, answerLength);
}

// Activation for ISO/IEC 14443-4.

Result RequestAts(Reader& reader, AtsActivation activation, uint8_t parameter, uint8_t* ats,
                  uint16_t* atsLength) {
    if (atsLength == nullptr || BufferMissing(ats, *atsLength)) return KESTREL_ERR_WRONG_PARAMETER;
    if (activation == AtsActivation::kAfterRfReset) {
        if (Result r = reader.RfReset(kAtsRfResetDuration); r != KESTREL_OK) return r;
    }
    uint8_t uid[kMaxUidLength];
    uint8_t uidLength = kMaxUidLength;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    if (Result r = reader.ActivateIdle(0, &atqa, &sak, uid, &uidLength); r != KESTREL_OK) {
        return r;
    }
    if ((sak & kSakIso14443_4) == 0) return KESTREL_ERR_ISO14443_4_NOT_SUPPORTED;
    return reader.RequestATS(parameter, ats, atsLength);
}

// Messages.

Result SendRawApdu(Reader& reader, uint8_t* blockNumber, uint16_t frameSize, const uint8_t* request,
                   uint16_t requestLength, uint8_t* answer, uint16_t* answerLength,
                   uint32_t cardTimeOut) {
    return reader.TclExchange(request, requestLength, answer, answerLength, frameSize, 0, 0, 1, 0,
                              blockNumber, cardTimeOut);
}

Result SendApdu(Reader& reader, ApduContext* context, const uint8_t* apdu, uint16_t apduLength,
                uint8_t* response, uint16_t* responseLength, uint16_t* statusWord) {
    if (context == nullptr || responseLength == nullptr || statusWord == nullptr ||
        BufferMissing(apdu, apduLength) || BufferMissing(response, *responseLength)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    const uint16_t capacity = *responseLength;
    // Room for the data and the status word, without wrapping round at 16 bits.
    constexpr uint32_t kLargest = std::numeric_limits<uint16_t>::max();
    const uint32_t room = capacity + 2u < kLargest ? capacity + 2u : kLargest;
    std::vector<uint8_t> buffer(room);
    uint16_t length = static_cast<uint16_t>(room);
    if (Result r = SendRawApdu(reader, &context->blockNumber, context->frameSize, apdu, apduLength,
                               buffer.data(), &length, context->cardTimeOut);
        r != KESTREL_OK) {
        return r;
    }
    if (length < 2) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
    const uint16_t dataLength = static_cast<uint16_t>(length - 2);
    *statusWord = static_cast<uint16_t>((buffer[dataLength] << 8) | buffer[dataLength + 1]);
    Result result = KESTREL_OK;
    if (dataLength <= capacity) {
        if (dataLength > 0) std::memcpy(response, buffer.data(), dataLength);
    } else {
        result = KESTREL_ERR_BUFFER_SIZE;
    }
    *responseLength = dataLength;
    return result;
}

}  // namespace kestrel::reader
