#include "transports/send_answers.h"

#include "helpers/poll.h"

namespace kestrel::sim::detail {

SendResult SendTransmissions(int fd, const std::vector<Transmission>& transmissions, int wakeFd,
                             int stallMs, bool isSocket) {
    for (const Transmission& transmission : transmissions) {
        for (const Transmission::Chunk& chunk : transmission.chunks) {
            if (!Sleep(wakeFd, chunk.delayMs)) return SendResult::kFailed;
            if (!WriteAll(fd, chunk.bytes.data(), chunk.bytes.size(), wakeFd, stallMs, isSocket)) {
                return SendResult::kFailed;
            }
        }
        if (transmission.breakLink) return SendResult::kLinkBroken;
    }
    return SendResult::kSent;
}

}  // namespace kestrel::sim::detail
