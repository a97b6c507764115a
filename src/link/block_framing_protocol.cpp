#include "link/block_framing_protocol.h"

#include "link/crc16.h"
#include "reader/reader_command.h"

namespace kestrel::link {

Result BlockFramingProtocol::Reset() {
    readTimeOut_ = kDefaultTimeOutMs;
    writeTimeOut_ = kDefaultTimeOutMs;
    sequence_ = 0;
    outOfStep_ = false;
    return comm_.Reopen();
}

Result BlockFramingProtocol::StatusMap(uint8_t status) {
    switch (static_cast<int8_t>(status)) {
        case 0:
            return KESTREL_OK;
        case -1:
            return KESTREL_ERR_NO_CARD;
        case -2:
            return KESTREL_ERR_LINK_CRC;
        case -3:
            return KESTREL_ERR_LINK_PROTOCOL_OVERFLOW;
        case -4:
            return KESTREL_ERR_AUTH_NOT_ALLOWED;
        case -5:
            return KESTREL_ERR_RS232_PARITY;
        case -8:
            return KESTREL_ERR_WRONG_CARD;
        case -10:
            return KESTREL_ERR_AUTH_EXPECTED;
        case -11:
            return KESTREL_ERR_CARD_BIT;
        case -12:
            return KESTREL_ERR_CARD_BYTE;
        case -13:
            return KESTREL_ERR_IDLE_STATE_CARD;
        case -20:
            return KESTREL_ERR_AFTER_POLLING;
        case -21:
            return KESTREL_ERR_FRAME_BAD_FRAME;
        case -22:
            return KESTREL_ERR_FRAME_CARD_TIMEOUT;
        case -24:
            return KESTREL_ERR_FRAME_COLLISION;
        default:
            return KESTREL_ERR_WRITE_FAILED;
    }
}

Result BlockFramingProtocol::ReadResponse(std::vector<uint8_t>& frame) {
    frame.assign(kHeaderSize, 0);
    uint32_t got = 0;
    Result r = comm_.Read(frame.data(), kHeaderSize, &got, static_cast<uint32_t>(readTimeOut_));
    if (r != KESTREL_OK || got < kHeaderSize) return KESTREL_ERR_RS232_READ;

    const size_t dataLength = frame[3] | (frame[4] << 8);
    const uint32_t rest = static_cast<uint32_t>(dataLength + kCrcSize);
    frame.resize(kHeaderSize + rest);
    got = 0;
    r = comm_.Read(frame.data() + kHeaderSize, rest, &got, static_cast<uint32_t>(readTimeOut_));
    if (r != KESTREL_OK || got != rest) return KESTREL_ERR_RS232_READ;
    return KESTREL_OK;
}

Result BlockFramingProtocol::Transceive(reader::ReaderCommand& command, int32_t readTimeOutMs,
                                        int32_t writeTimeOutMs) {
    readTimeOut_ = readTimeOutMs;
    writeTimeOut_ = writeTimeOutMs;

    const size_t requestLength = command.RequestSize();
    if (requestLength > kMaxRequestData) return KESTREL_ERR_WRONG_PARAMETER;

    std::vector<uint8_t> frame;
    frame.reserve(kHeaderSize + requestLength + kCrcSize);
    const uint8_t requestSequence = sequence_;
    frame.push_back(kStartByte);
    frame.push_back(requestSequence);
    frame.push_back(command.GetCode());
    frame.push_back(static_cast<uint8_t>(requestLength & 0xFF));
    frame.push_back(static_cast<uint8_t>(requestLength >> 8));
    frame.insert(frame.end(), command.RequestData(), command.RequestData() + requestLength);
    const uint16_t crc = Crc16Mcrf4xx(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));

    // Without this, the answer to an earlier request that arrived after its time-out would be
    // taken for the answer to this one, and every later exchange would be one frame behind.
    if (outOfStep_) {
        comm_.Purge();
        outOfStep_ = false;
    }

    LogSent(frame.data(), frame.size());
    uint32_t written = 0;
    Result r = comm_.Write(frame.data(), static_cast<uint32_t>(frame.size()), &written,
                           static_cast<uint32_t>(writeTimeOut_));
    // The number advances with every attempt, so a late answer to this request can never be
    // taken for the answer to the next one.
    ++sequence_;
    if (r != KESTREL_OK) return r;

    r = ReadResponse(frame);
    if (r != KESTREL_OK) {
        outOfStep_ = true;
        return r;
    }

    // Logged before any check so that a frame that fails them can still be inspected.
    LogReceived(frame.data(), frame.size());

    const size_t dataLength = frame.size() - kHeaderSize - kCrcSize;
    const uint16_t expected = Crc16Mcrf4xx(frame.data(), kHeaderSize + dataLength);
    if (frame[kHeaderSize + dataLength] != (expected & 0xFF) ||
        frame[kHeaderSize + dataLength + 1] != (expected >> 8) || frame[1] != requestSequence) {
        outOfStep_ = true;
        return KESTREL_ERR_FRAME_CRC;
    }

    command.Clear();
    command.SetStatus(StatusMap(frame[2]));
    return command.AppendResponse(frame.data() + kHeaderSize, static_cast<uint32_t>(dataLength));
}

}  // namespace kestrel::link
