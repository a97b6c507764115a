// ISO/IEC 14443-4 on the host: block formats, answer classification, and the operations
// built on the reader's ISO 14443-4 slots.
//
// The reader carries single blocks (ExchangeBlock); the host builds every block, reads every
// answer and decides what comes next. The reader adds and checks the CRC, so the blocks here
// carry none.
#pragma once

#include <cstdint>

#include "common/result.h"
#include "reader/reader.h"

namespace kestrel::reader {

// PCB bits.
constexpr uint8_t kPcbBlockNumber = 0x01;
constexpr uint8_t kPcbFixed = 0x02;  // set in every block the host sends
constexpr uint8_t kPcbNad = 0x04;
constexpr uint8_t kPcbCid = 0x08;
constexpr uint8_t kPcbChaining = 0x10;
constexpr uint8_t kPcbRAck = 0xA0;
constexpr uint8_t kPcbRNak = 0xB0;
constexpr uint8_t kPcbS = 0xC2;

// Parameter byte of ExchangeBlock for every block of the block protocol.
constexpr uint8_t kBlockExchangeParameter = 0x1E;
// Single answer blocks land in a buffer of this size; it bounds the frame size.
constexpr uint16_t kBlockBufferSize = 1024;
// PCB and the two bytes the reader's CRC would take: what a frame holds besides the
// information field (without CID and NAD).
constexpr uint16_t kFrameOverhead = 3;
// Pause before the R(NAK) that retries a failed I-block.
constexpr uint32_t kRetryPauseMs = 1000;
// WTXM: the low six bits of the byte that carries it.
constexpr uint8_t kWtxmMask = 0x3F;

// SAK bit of a card that speaks ISO/IEC 14443-4.
constexpr uint8_t kSakIso14443_4 = 0x20;
// RF reset that V2_RequestATS starts with, as the older card functions do.
constexpr uint16_t kAtsRfResetDuration = 25;

// PPS: start byte (OR the CID), PPS0 (PPS1 follows), the time-out the reader waits for the
// card, the flag byte of ExchangeTimed, and the capacity for the card's answer.
constexpr uint8_t kPpsStart = 0xD0;
constexpr uint8_t kPps0 = 0x11;
constexpr uint32_t kPpsCardTimeOutMs = 1000;
constexpr uint8_t kPpsFlag = 1;
constexpr uint16_t kPpsAnswerCapacity = 3;

// What a block from the card is, judged by its PCB in this order.
enum class BlockKind {
    kAck,          // R(ACK), whatever its block number and CID bit
    kWtx,          // S(WTX) request, whatever its CID bit
    kInformation,  // I-block without NAD
    kOther,        // R(NAK), S(DESELECT), an I-block with NAD, anything else
};
BlockKind Classify(uint8_t pcb);

// Bytes in front of the information field (or the WTXM) of a block from the card: the PCB,
// and the CID when the block's own PCB has the CID bit.
inline uint16_t HeaderLength(uint8_t pcb) {
    return (pcb & kPcbCid) != 0 ? 2 : 1;
}

// The largest information field of one I-block for `frameSize`, with a CID byte and a NAD
// byte where the flags say so. 0 when the frame size leaves no room for an information field
// or is larger than the block buffer: such frame sizes are refused, not adjusted.
uint16_t MaxInformationField(uint16_t frameSize, bool cid, bool nad);

// How the card is activated before RATS.
enum class AtsActivation {
    kIdle,          // ActivateIdle
    kAfterRfReset,  // RF reset, then ActivateIdle
};

// Activates an idle card (UID into a buffer of its own), refuses a card whose SAK lacks the
// ISO/IEC 14443-4 bit (KESTREL_ERR_ISO14443_4_NOT_SUPPORTED), then sends RATS with
// `parameter`. `atsLength`: capacity in, length out.
Result RequestAts(Reader& reader, AtsActivation activation, uint8_t parameter, uint8_t* ats,
                  uint16_t* atsLength);

// One message each way with CID 0 in every block and no NAD (TclExchange).
Result SendRawApdu(Reader& reader, uint8_t* blockNumber, uint16_t frameSize, const uint8_t* request,
                   uint16_t requestLength, uint8_t* answer, uint16_t* answerLength,
                   uint32_t cardTimeOut);

// A command APDU through SendRawApdu with the context's block number (updated in place),
// frame size and card time-out; the answer's last two bytes become `statusWord` (first of
// them high), the rest goes to `response`. `responseLength`: capacity in, data length out.
// An answer shorter than the status word gives KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT and
// writes nothing.
Result SendApdu(Reader& reader, ApduContext* context, const uint8_t* apdu, uint16_t apduLength,
                uint8_t* response, uint16_t* responseLength, uint16_t* statusWord);

}  // namespace kestrel::reader
