// The reader commands that carry ISO/IEC 14443-4 to the card: the single block, the timed
// exchange, RATS and the card time-out.
#include <cstring>
#include <limits>

#include "reader/standard_reader.h"

namespace kestrel::reader {
namespace {

// The time-out of an exchange in which the reader waits up to `cardTimeOut` for the card: the
// exchange time-out, or the card's time-out plus a tenth for the way to and from the reader
// when that is longer, kept within the exchange time-out's range.
int32_t TimedExchangeTimeOut(int32_t exchangeTimeOut, uint32_t cardTimeOut) {
    if (static_cast<int64_t>(cardTimeOut) <= exchangeTimeOut) return exchangeTimeOut;
    const uint64_t raised = uint64_t{cardTimeOut} + cardTimeOut / 10;
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    return static_cast<int32_t>(raised < limit ? raised : limit);
}

// A buffer the caller gives with its capacity: null is allowed only without room.
bool BufferMissing(const void* buffer, uint32_t size) {
    return buffer == nullptr && size > 0;
}

}  // namespace

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
    if (Result r = Exchange(TimedExchangeTimeOut(exchangeTimeOut_, cardTimeOut)); r != KESTREL_OK) {
        return r;
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

Result StandardReader::SetCardTimeOut(uint32_t timeOutMs) {
    Begin(kCmdSetCardTimeOut).PutDword(timeOutMs);
    return Finish();
}

}  // namespace kestrel::reader
