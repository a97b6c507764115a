// The reader commands that carry ISO/IEC 14443-4 frames to the active card.
#include "kestrel_sim/cards/iso14443_4/iso14443_4_card.h"
#include "kestrel_sim/helpers/crc.h"
#include "kestrel_sim/reader/firmware.h"
#include "reader/command_sets.h"

namespace kestrel::sim {

namespace {

// Sends a frame to the active card and turns what happens into the reader's answer.
Answer ToCard(Firmware& firmware, const Bytes& frame, bool withCrc) {
    Card* card = firmware.field().ActiveCard();
    if (card == nullptr) return StatusOnly(status::kNoCard);
    auto* iso = dynamic_cast<Iso14443_4Card*>(card);
    if (iso == nullptr) {
        // Not a frame this card knows: it drops back and the reader hears nothing.
        firmware.field().Leave(*card, CardExit::kIdle);
        return StatusOnly(status::kCardTimeOut);
    }
    Iso14443_4Card::AirAnswer answer = iso->Transceive(frame);
    firmware.field().Leave(*card, answer.exit);
    if (!answer.frame) return StatusOnly(status::kCardTimeOut);
    Bytes data = std::move(*answer.frame);
    if (withCrc) {
        const uint16_t crc = Crc16A(data.data(), data.size());
        data.push_back(static_cast<uint8_t>(crc & 0xFF));
        data.push_back(static_cast<uint8_t>(crc >> 8));
    }
    return Answer{status::kOk, std::move(data)};
}

}  // namespace

void RegisterIso14443_4Commands(Firmware& firmware) {
    firmware.RegisterCommand(command::kExchangeBlock, "ExchangeBlock",
                             [](Firmware& f, const Bytes& p) {
                                 if (p.size() < 3) return StatusOnly(status::kBadParameter);
                                 const size_t length = p[1] | (static_cast<size_t>(p[2]) << 8);
                                 if (length == 0 || p.size() != 3 + length) {
                                     return StatusOnly(status::kBadParameter);
                                 }
                                 return ToCard(f, Bytes(p.begin() + 3, p.end()), false);
                             });
    firmware.RegisterCommand(command::kRequestAts, "RequestATS", [](Firmware& f, const Bytes& p) {
        if (p.size() != 1) return StatusOnly(status::kBadParameter);
        return ToCard(f, Bytes{iso14443_4::kRats, p[0]}, false);
    });
    firmware.RegisterCommand(
        command::kExchangeTimed, "ExchangeTimed", [](Firmware& f, const Bytes& p) {
            constexpr size_t kHeader = 7;  // length (2), flag, time-out (4)
            if (p.size() < kHeader) return StatusOnly(status::kBadParameter);
            const size_t length = p[0] | (static_cast<size_t>(p[1]) << 8);
            const uint8_t flag = p[2];
            // At least one byte before the CRC field; flag bit 0x01 is the only one defined.
            if (length < 3 || p.size() != kHeader + length || (flag & ~0x01) != 0) {
                return StatusOnly(status::kBadParameter);
            }
            Bytes frame(p.begin() + kHeader, p.end());
            const size_t body = frame.size() - 2;
            const uint16_t crc = Crc16A(frame.data(), body);
            if (flag & 0x01) {
                frame[body] = static_cast<uint8_t>(crc & 0xFF);
                frame[body + 1] = static_cast<uint8_t>(crc >> 8);
            } else if (frame[body] != (crc & 0xFF) || frame[body + 1] != (crc >> 8)) {
                // A frame with a broken CRC is not received at all.
                return f.field().ActiveCard() ? StatusOnly(status::kCardTimeOut)
                                              : StatusOnly(status::kNoCard);
            }
            frame.resize(body);
            Answer answer = ToCard(f, frame, true);
            if (answer.status != status::kOk) return answer;
            const size_t n = answer.data.size();
            answer.data.insert(answer.data.begin(),
                               {static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)});
            return answer;
        });
}

}  // namespace kestrel::sim
