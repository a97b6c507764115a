// Capability: RF scanning, offered by the RF-scan reader only.
#pragma once

#include <cstdint>

#include "common/result.h"

namespace kestrel::reader {

class RfScan {
  public:
    virtual ~RfScan() = default;

    virtual Result SetRFScanMode(uint8_t on) = 0;
    // Exactly one answer byte, else KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT.
    virtual Result GetRFScanMode(uint8_t* state) = 0;
};

}  // namespace kestrel::reader
