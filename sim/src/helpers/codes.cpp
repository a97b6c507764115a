#include "kestrel_sim/helpers/codes.h"

namespace kestrel::sim {

const char* StatusName(uint8_t statusByte) {
    switch (statusByte) {
        case status::kOk:
            return "ok";
        case status::kNoCard:
            return "no card";
        case status::kCrcError:
            return "CRC error";
        case status::kProtocolOverflow:
            return "protocol overflow";
        case status::kAuthNotAllowed:
            return "authentication not allowed";
        case status::kParity:
            return "parity error";
        case status::kBadParameter:
            return "bad parameter";
        case status::kUnknownCommand:
            return "unknown command";
        case status::kWrongCard:
            return "wrong card";
        case status::kAuthExpected:
            return "authentication expected";
        case status::kCardBit:
            return "card bit error";
        case status::kCardByte:
            return "card byte error";
        case status::kIdleStateCard:
            return "idle state card";
        case status::kValueRefused:
            return "value operation refused";
        case status::kAfterPolling:
            return "after polling";
        case status::kBadFrame:
            return "bad frame";
        case status::kCardTimeOut:
            return "card access time-out";
        case status::kCollision:
            return "collision";
        default:
            return "unnamed status";
    }
}

}  // namespace kestrel::sim
