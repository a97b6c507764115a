#include "link/usb_block_framing_protocol.h"

#include "common/trace.h"

namespace kestrel::link {

UsbBlockFramingProtocol::UsbBlockFramingProtocol(comm::CommInterface& comm)
    : BlockFramingProtocol(comm), responseFrame_(kResponseCapacity + 1) {}

Result UsbBlockFramingProtocol::ReadResponse(std::vector<uint8_t>& frame, uint32_t timeOutMs) {
    uint32_t got = 0;
    const Result r = comm_.Read(responseFrame_.data(), kResponseCapacity, &got, timeOutMs);
    if (r != KESTREL_OK || got < kHeaderSize) {
        KESTREL_TRACE("link", "answer header incomplete: %u of %u bytes (read result %d)",
                      static_cast<unsigned>(got), static_cast<unsigned>(kHeaderSize),
                      static_cast<int>(r));
        return KESTREL_ERR_RS232_READ;
    }
    const size_t dataLength = responseFrame_[3] | (responseFrame_[4] << 8);
    const size_t frameLength = kHeaderSize + dataLength + kCrcSize;
    // Whatever follows the frame (the padding of the last report) is not part of it.
    if (got < frameLength) {
        KESTREL_TRACE("link", "answer incomplete: %u of %u bytes", static_cast<unsigned>(got),
                      static_cast<unsigned>(frameLength));
        return KESTREL_ERR_RS232_READ;
    }
    frame.assign(responseFrame_.begin(), responseFrame_.begin() + frameLength);
    return KESTREL_OK;
}

}  // namespace kestrel::link
