#include "link/block_framing_protocol.h"

#include "common/trace.h"
#include "link/crc16.h"

namespace kestrel::link {

Result BlockFramingProtocol::ReadResponse(std::vector<uint8_t>& frame, uint32_t timeOutMs) {
    frame.assign(kHeaderSize, 0);
    uint32_t got = 0;
    Result r = comm_.Read(frame.data(), kHeaderSize, &got, timeOutMs);
    if (r != KESTREL_OK || got < kHeaderSize) {
        KESTREL_TRACE("link", "answer header incomplete: %u of %u bytes (read result %d)",
                      static_cast<unsigned>(got), static_cast<unsigned>(kHeaderSize),
                      static_cast<int>(r));
        return KESTREL_ERR_RS232_READ;
    }

    const size_t dataLength = frame[3] | (frame[4] << 8);
    const uint32_t rest = static_cast<uint32_t>(dataLength + kCrcSize);
    frame.resize(kHeaderSize + rest);
    got = 0;
    r = comm_.Read(frame.data() + kHeaderSize, rest, &got, timeOutMs);
    if (r != KESTREL_OK || got != rest) {
        KESTREL_TRACE("link", "answer incomplete: %u of %u bytes after the header (read result %d)",
                      static_cast<unsigned>(got), static_cast<unsigned>(rest), static_cast<int>(r));
        return KESTREL_ERR_RS232_READ;
    }
    return KESTREL_OK;
}

Result BlockFramingProtocol::Exchange(ReaderCommand& command, uint32_t timeOutMs) {
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
        KESTREL_TRACE("link", "input purged: the previous exchange failed");
        comm_.Purge();
        outOfStep_ = false;
    }

    LogSent(frame.data(), frame.size());
    uint32_t written = 0;
    Result r = comm_.Write(frame.data(), static_cast<uint32_t>(frame.size()), &written, timeOutMs);
    // The number advances with every attempt, so a late answer to this request can never be
    // taken for the answer to the next one.
    ++sequence_;
    if (r != KESTREL_OK) return r;

    r = ReadResponse(frame, timeOutMs);
    if (r != KESTREL_OK) {
        outOfStep_ = true;
        return r;
    }

    // Logged before any check so that a frame that fails them can still be inspected.
    LogReceived(frame.data(), frame.size());

    const size_t dataLength = frame.size() - kHeaderSize - kCrcSize;
    const uint16_t expected = Crc16Mcrf4xx(frame.data(), kHeaderSize + dataLength);
    const uint16_t received =
        frame[kHeaderSize + dataLength] | (frame[kHeaderSize + dataLength + 1] << 8);
    if (received != expected || frame[1] != requestSequence) {
        if (received != expected) {
            KESTREL_TRACE("link", "answer CRC mismatch: received %04X, computed %04X", received,
                          expected);
        } else {
            KESTREL_TRACE("link", "answer sequence mismatch: received %02X, sent %02X", frame[1],
                          requestSequence);
        }
        outOfStep_ = true;
        return KESTREL_ERR_FRAME_CRC;
    }

    command.Clear();
    command.SetStatusByte(frame[2]);
    return command.AppendResponse(frame.data() + kHeaderSize, static_cast<uint32_t>(dataLength));
}

}  // namespace kestrel::link
