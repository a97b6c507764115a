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
