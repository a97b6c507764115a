// Sending the reader's answers over a descriptor, shared by the TCP and pty transports.
#pragma once

#include <vector>

#include "kestrel_sim/reader/virtual_reader.h"

namespace kestrel::sim::detail {

enum class SendResult { kSent, kLinkBroken, kFailed };

// Sends the chunks of each transmission after their delays. kLinkBroken when one of them asks
// for the link to go down (its bytes up to the break are sent first).
SendResult SendTransmissions(int fd, const std::vector<Transmission>& transmissions, int wakeFd,
                             int stallMs, bool isSocket);

}  // namespace kestrel::sim::detail
