// Block frames with a reader on the USB HID interface, whose Read delivers whole frames.
#pragma once

#include <cstdint>
#include <vector>

#include "link/block_framing_protocol.h"

namespace kestrel::link {

// The block framing protocol with one difference: the answer frame is fetched with a single
// Read into a buffer of the protocol's own, since the USB interface reassembles whole frames
// from its reports. Requests, numbering, checks and logging are those of the base.
class UsbBlockFramingProtocol final : public BlockFramingProtocol {
  public:
    // The capacity every Read is given: the largest frame the interface may hand over.
    static constexpr uint32_t kResponseCapacity = 65535;

    explicit UsbBlockFramingProtocol(comm::CommInterface& comm);

  protected:
    // KESTREL_ERR_RS232_READ when the Read fails (whatever its reason, a frame too long for
    // the buffer included) or delivers fewer bytes than the frame's header announces.
    Result ReadResponse(std::vector<uint8_t>& frame, uint32_t timeOutMs) override;

  private:
    std::vector<uint8_t> responseFrame_;
};

}  // namespace kestrel::link
