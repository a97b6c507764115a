// Settings shared by the TCP and pty transports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestrel_sim/reader/frame.h"

namespace kestrel::sim {

struct TransportOptions {
    // Silence after which a partial request frame is given up and the bytes after its start
    // byte are scanned again.
    uint32_t lineQuietMs = 500;
    size_t maxRequestData = kDefaultMaxRequestData;
    // A host that takes no answer bytes for this long is treated as gone.
    int writeStallMs = 2000;
};

}  // namespace kestrel::sim
