// The ISO/IEC 14443-4 card in the field as the layers above see it (the APDU exports and
// DESFire): activation with RATS, one message each way, presence check and deselection.
// Every block carries CID 0 except the deselection's, which carries none; the caller keeps the
// block number and the frame size.
#pragma once

#include <cstdint>

#include "KestrelAPI.h"
#include "common/result.h"
#include "iso14443_4/activation.h"
#include "reader/standard_reader.h"

namespace kestrel::iso14443_4 {

class CardChannel {
  public:
    virtual ~CardChannel() = default;

    // RequestAts: the card activated as `activation` says, then RATS with `parameter`.
    virtual Result Activate(AtsActivation activation, uint8_t parameter, uint8_t* ats,
                            uint16_t* atsLength) = 0;
    // One message each way (TclProtocol::Exchange) with the block number in *blockNumber,
    // which receives the next one on success only. Null `blockNumber`:
    // KESTREL_ERR_WRONG_PARAMETER without traffic.
    virtual Result Exchange(uint8_t* blockNumber, uint16_t frameSize, const uint8_t* request,
                            uint16_t requestLength, uint8_t* answer, uint16_t* answerLength,
                            uint32_t cardTimeOut) = 0;
    // Presence check (TclProtocol::Ping) with the block number in *blockNumber, not changed.
    virtual Result Ping(const uint8_t* blockNumber, uint16_t capacity, uint32_t cardTimeOut) = 0;
    // S(DESELECT) after the reader's exchange time-out has gone to it as the card time-out;
    // an answer of up to `capacity` bytes is dropped.
    virtual Result Deselect(uint16_t capacity) = 0;
};

// The channel through a reader: the block protocol runs on the host, over the reader's block
// exchange.
class ReaderChannel final : public CardChannel {
  public:
    explicit ReaderChannel(reader::StandardReader& reader)
        : typeA_(reader), blocks_(reader), reader_(reader) {}

    Result Activate(AtsActivation activation, uint8_t parameter, uint8_t* ats,
                    uint16_t* atsLength) override;
    Result Exchange(uint8_t* blockNumber, uint16_t frameSize, const uint8_t* request,
                    uint16_t requestLength, uint8_t* answer, uint16_t* answerLength,
                    uint32_t cardTimeOut) override;
    Result Ping(const uint8_t* blockNumber, uint16_t capacity, uint32_t cardTimeOut) override;
    Result Deselect(uint16_t capacity) override;

  private:
    reader::TypeA& typeA_;
    reader::BlockExchange& blocks_;
    // For the exchange time-out that deselection sends as the card time-out.
    const reader::Reader& reader_;
};

// A command APDU through the channel with the context's block number (updated in place),
// frame size and card time-out; the answer's last two bytes become `statusWord` (first of
// them high), the rest goes to `response`. `responseLength`: capacity in, data length out.
// An answer shorter than the status word gives KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT and
// writes nothing.
Result SendApdu(CardChannel& channel, ApduContext* context, const uint8_t* apdu,
                uint16_t apduLength, uint8_t* response, uint16_t* responseLength,
                uint16_t* statusWord);

}  // namespace kestrel::iso14443_4
