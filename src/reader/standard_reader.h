// The reader classes that talk to real readers.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "reader/reader.h"

namespace kestrel::reader {

// The standard reader: ISO/IEC 14443 Type A activation and halt, RF reset, the card time-out,
// MIFARE primitives, ISO/IEC 14443-4, Type B, and the reader's configuration and diagnostic
// commands. The slots the reader does not offer keep the base class's answer.
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

    // Carrying ISO/IEC 14443-4 blocks (block_exchange.cpp). Pointers the command needs
    // (answer length, a buffer with a non-zero length or capacity) must not be null:
    // KESTREL_ERR_WRONG_PARAMETER without traffic.
    // Reader command 0x48: `frame` to the card with the reader waiting up to `cardTimeOut` ms
    // for its answer. This one exchange gets the longer of the exchange time-out and the card
    // time-out (plus a tenth for the way to and from the reader).
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

    // ISO/IEC 14443 Type B (typeb.cpp). The requests and the slot marker store the answer
    // length through `answerLength` (capacity in) and copy the answer when it fits, else give
    // KESTREL_ERR_READING_TOO_MUCH with nothing copied. A null length pointer, or a null buffer
    // with a non-zero capacity, gives KESTREL_ERR_WRONG_PARAMETER without traffic.
    Result TypeBRequest(uint8_t first, uint8_t second, uint8_t third, uint8_t* answer,
                        uint16_t* answerLength) override;
    Result TypeBRequestIdle(uint8_t first, uint8_t second, uint8_t* answer,
                            uint16_t* answerLength) override;
    Result TypeBRequestWakeUp(uint8_t first, uint8_t second, uint8_t* answer,
                              uint16_t* answerLength) override;
    // Sends the PUPI, the four parameter bytes, the higher-layer length and that many bytes of
    // `higherLayerData`. The answer must be three bytes plus as many higher-layer bytes as its
    // third byte announces (else KESTREL_ERR_READING_TOO_MUCH, nothing stored). The announced
    // count is stored in `higherLayerLength`; a count above the entry length gives
    // KESTREL_ERR_READING_TOO_MUCH; else the first two bytes go to `param4` and `second` and
    // the higher-layer bytes to `higherLayerData`. Null pointers (the data only when the
    // length is not 0) give KESTREL_ERR_WRONG_PARAMETER without traffic.
    Result TypeBAttrib(const uint8_t* pupi, uint8_t param1, uint8_t param2, uint8_t param3,
                       uint8_t* param4, uint8_t* second, uint8_t* higherLayerLength,
                       uint8_t* higherLayerData) override;
    Result TypeBSlotMarker(uint8_t slot, uint8_t* answer, uint16_t* answerLength) override;
    Result TypeBHalt(const uint8_t* pupi) override;

    // Reader configuration and diagnostics (reader_config.cpp). Pointers a command needs
    // (outputs, buffers with a non-zero length or capacity) must not be null:
    // KESTREL_ERR_WRONG_PARAMETER without traffic.
    Result PcdCommand66() override;
    Result PcdCommand10() override;
    Result SetDefaultAttrib() override;
    Result SetAttrib(uint8_t first, uint8_t second) override;
    // Exactly five answer bytes, else KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT.
    Result GetAttrib(uint8_t* a0, uint8_t* a1, uint8_t* a2, uint8_t* a3, uint8_t* a4) override;
    // An answer longer than `length` gives KESTREL_ERR_WRONG_PARAMETER, nothing copied.
    Result ReadMemory(uint16_t address, uint8_t length, uint8_t* data) override;
    Result WriteMemory(uint16_t address, uint8_t length, const uint8_t* data) override;
    // Answer: a 16-bit length, then the text (no terminating zero added). A text longer than
    // the capacity in `length` gives KESTREL_ERR_NOT_ENOUGH_MEMORY with `length` untouched;
    // an answer shorter than it announces gives KESTREL_ERR_READING_TOO_MUCH.
    Result GetFWVersion(char* text, uint8_t* length) override;
    Result PcdCommand62() override;
    Result WriteReg(uint8_t reg, uint8_t value) override;
    // Exactly one answer byte, else KESTREL_ERR_READING_TOO_MUCH.
    Result ReadReg(uint8_t reg, uint8_t* value) override;
    Result PcdCommand98(uint8_t first, uint32_t length, const uint8_t* data) override;
    Result SetIODevState(uint8_t device, uint8_t state) override;
    Result LoadConfig(uint16_t number) override;
    Result SetCardType(uint8_t type) override;
    // Any command code with `length` bytes of data. The answer is wanted when `answerLength`
    // is not null and holds a non-zero capacity: its length is stored, and it is copied when
    // it fits (else KESTREL_ERR_WRONG_PARAMETER), whatever the reader's status.
    Result DirectCommand(uint8_t code, const uint8_t* data, uint32_t length, uint8_t* answer,
                         uint32_t* answerLength) override;
    // Sends a command the caller filled; the exchange result only.
    Result RawExchange(link::ReaderCommand& command) override;
    // The reader's line speed as its index: 9600 0, 19200 1, 57600 2, 115200 3, 38400 4; any
    // other speed is sent as 3, and an index above 4 reads back as 115200. The host's own
    // line speed does not change.
    Result SetReaderBaudRate(uint32_t baudRate) override;
    Result GetReaderBaudRate(uint32_t* baudRate) override;
    Result PcdCommand85() override;
    // The answer must be exactly the bytes sent (else KESTREL_ERR_WRONG_PARAMETER); it is
    // copied back over `buffer`.
    Result EchoTest(uint8_t* buffer, uint16_t* length) override;
    Result PcdCommand87(uint16_t value) override;

  private:
    Result RequestWith(uint8_t code, uint8_t requestCode, uint16_t* atqa);
    Result SerialCommand(uint8_t* serial);
    Result SakCommand(uint8_t* sak);
    // The result for an answer too short to hold the expected data: the reader's own
    // failure when it reported one, else KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT.
    Result ShortAnswer() const;
    // One Type B command with its parameter bytes; the answer's length stored, the answer
    // copied if it fits.
    Result TypeBExchange(uint8_t code, std::initializer_list<uint8_t> parameters, uint8_t* answer,
                         uint16_t* answerLength);
};

// A standard reader that also offers RF scanning (reader type READER_TYPE_RFSCAN).
class DerivedReader final : public StandardReader {
  public:
    using StandardReader::StandardReader;

    Result SetRFScanMode(uint8_t on) override;
    Result GetRFScanMode(uint8_t* state) override;
};

}  // namespace kestrel::reader
