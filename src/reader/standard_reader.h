// The reader classes that talk to real readers.
#pragma once

#include "reader/reader.h"

namespace kestrel::reader {

// The standard reader: ISO/IEC 14443 Type A activation and halt, RF reset and the card
// time-out. Further command families are added to it as they are built.
class StandardReader : public Reader {
  public:
    using Reader::Reader;

    Result Request(uint8_t requestCode, uint16_t* atqa) override;
    Result Anticollision(uint8_t knownBits, uint8_t* serial) override;
    Result Select(const uint8_t* serial, uint8_t* sak) override;
    Result RfReset(uint16_t duration) override;
    Result RequestA(uint8_t requestCode, uint16_t* atqa) override;
    Result CascadeAnticollision(uint8_t first, uint8_t second, uint8_t* serial) override;
    Result CascadeSelect(uint8_t first, const uint8_t* serial, uint8_t* sak) override;
    Result ActivateIdle(uint8_t option, uint16_t* atqa, uint8_t* sak, uint8_t* uid,
                        uint8_t* uidLength) override;
    Result ActivateIdleRetry(uint8_t option, uint16_t* atqa, uint8_t* sak, uint8_t* uid,
                             uint8_t* uidLength, uint8_t repeatFactor) override;
    Result ActivateWakeUp(uint8_t option, uint16_t* atqa, uint8_t* sak, const uint8_t* uid,
                          const uint8_t* uidLength) override;
    Result Halt() override;
    Result SetCardTimeOut(uint32_t timeOutMs) override;

    // MIFARE primitives. Arguments the command carries (serial, coded key, data, value) must
    // not be null: KESTREL_ERR_WRONG_PARAMETER without traffic.
    Result Authenticate(uint8_t keyType, const uint8_t* serial, const uint8_t* codedKey,
                        uint8_t block) override;
    // Copies 16 answer bytes into `data`; a shorter answer copies nothing (ShortAnswer()).
    Result MifareRead(uint8_t block, uint8_t* data) override;
    Result MifareWrite(uint8_t block, const uint8_t* data) override;
    Result ValueOperation(uint8_t operation, uint8_t block, const uint8_t* value,
                          uint8_t transferBlock) override;
    Result PcdCommand14(uint8_t first, uint8_t second, uint8_t third) override;
    Result PcdCommand15(uint8_t first, const uint8_t* serial, uint8_t second,
                        uint8_t third) override;
    Result PcdCommand17(uint8_t first, uint8_t second, const uint8_t* six) override;
    // Copies the whole answer into `data` (at most `length` bytes); a longer answer gives
    // KESTREL_ERR_WRONG_PARAMETER and copies nothing.
    Result ReadData(uint8_t cardCommand, uint8_t address, uint8_t length, uint8_t* data) override;
    Result WritePage(uint8_t page, const uint8_t* data) override;
    Result WriteData(uint8_t cardCommand, uint8_t address, uint8_t length,
                     const uint8_t* data) override;
    Result PcdCommand1C(uint8_t first, uint8_t second, const uint8_t* four) override;

    // ISO/IEC 14443-4 (iso14443_4.cpp). Pointers the command needs (answer length, block
    // number, a buffer with a non-zero length or capacity) must not be null:
    // KESTREL_ERR_WRONG_PARAMETER without traffic.
    // Reader command 0x48: `frame` to the card with the reader waiting up to `cardTimeOut` ms
    // for its answer. The exchange time-out is raised for this one exchange when the card
    // time-out is longer, and put back on every path.
    Result ExchangeTimed(const uint8_t* frame, uint16_t length, uint8_t* answer,
                         uint16_t* answerLength, uint8_t flag, uint32_t cardTimeOut) override;
    // Reader command 0x03: one block to the card and the card's block back. The answer length
    // is stored first; an answer longer than the capacity then gives
    // KESTREL_ERR_WRONG_PARAMETER and copies nothing.
    Result ExchangeBlock(uint8_t parameter, const uint8_t* block, uint16_t length, uint8_t* answer,
                         uint16_t* answerLength) override;
    // Reader command 0xE7 (RATS). An ATS longer than the capacity gives
    // KESTREL_ERR_WRONG_PARAMETER with nothing copied and the length untouched.
    Result RequestATS(uint8_t parameter, uint8_t* ats, uint16_t* atsLength) override;
    // One message each way over the block protocol (chaining, WTX, one retry of a failed
    // I-block). The answer length and the block number are written on success only. A set
    // NAD flag makes each information field one byte shorter; no NAD is sent, and an answer
    // that carries one is refused.
    // Frame sizes that leave no information field, or exceed the block buffer, are refused.
    Result TclExchange(const uint8_t* request, uint16_t requestLength, uint8_t* answer,
                       uint16_t* answerLength, uint16_t frameSize, uint8_t cid, uint8_t nad,
                       uint8_t cidFlag, uint8_t nadFlag, uint8_t* blockNumber,
                       uint32_t cardTimeOut) override;
    // Presence check: one R(NAK) with the caller's block number, which is not changed.
    Result TclPing(uint16_t capacity, uint8_t cid, uint8_t cidFlag, const uint8_t* blockNumber,
                   uint32_t cardTimeOut) override;
    // S(DESELECT), after sending the exchange time-out to the reader as the card time-out.
    Result TclDeselect(uint8_t cidFlag, uint8_t cid, uint8_t* answer,
                       uint16_t* answerLength) override;
    // PPS request with the CID (low 4 bits), DSI and DRI.
    Result PpsRequest(uint8_t cid, uint8_t dsi, uint8_t dri) override;

  private:
    Result RequestWith(uint8_t code, uint8_t requestCode, uint16_t* atqa);
    Result SerialCommand(uint8_t* serial);
    Result SakCommand(uint8_t* sak);
    // The result for an answer too short to hold the expected data: the reader's own
    // failure when it reported one, else KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT.
    Result ShortAnswer() const;
};

// A standard reader that also offers RF scanning (reader type READER_TYPE_RFSCAN).
class DerivedReader final : public StandardReader {
  public:
    using StandardReader::StandardReader;

    Result SetRFScanMode(uint8_t on) override;
    Result GetRFScanMode(uint8_t* state) override;
};

}  // namespace kestrel::reader
