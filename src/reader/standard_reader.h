// The reader classes that talk to real readers.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "reader/block_exchange.h"
#include "reader/mifare_primitives.h"
#include "reader/reader.h"
#include "reader/reader_config.h"
#include "reader/rf_scan.h"
#include "reader/typea.h"
#include "reader/typeb.h"

namespace kestrel::reader {

// The standard reader: every capability but RF scanning. Each capability's commands live in a
// file of their own: Type A (typea.cpp), the MIFARE primitives (mifare_primitives.cpp), block
// exchange (block_exchange.cpp), Type B (typeb.cpp), configuration (reader_config.cpp).
class StandardReader : public Reader,
                       public TypeA,
                       public MifarePrimitives,
                       public BlockExchange,
                       public TypeB,
                       public ReaderConfiguration {
  public:
    using Reader::Reader;

    Result Request(uint8_t requestCode, uint16_t* atqa) override;
    Result RequestA(uint8_t requestCode, uint16_t* atqa) override;
    Result Anticollision(uint8_t knownBits, uint8_t* serial) override;
    Result CascadeAnticollision(uint8_t first, uint8_t second, uint8_t* serial) override;
    Result Select(const uint8_t* serial, uint8_t* sak) override;
    Result CascadeSelect(uint8_t first, const uint8_t* serial, uint8_t* sak) override;
    Result ActivateIdle(uint8_t option, uint16_t* atqa, uint8_t* sak, uint8_t* uid,
                        uint8_t* uidLength) override;
    Result ActivateIdleRetry(uint8_t option, uint16_t* atqa, uint8_t* sak, uint8_t* uid,
                             uint8_t* uidLength, uint8_t repeatFactor) override;
    Result ActivateWakeUp(uint8_t option, uint16_t* atqa, uint8_t* sak, const uint8_t* uid,
                          const uint8_t* uidLength) override;
    Result Halt() override;
    Result RfReset(uint16_t duration) override;

    Result Authenticate(uint8_t keyType, const uint8_t* serial, const uint8_t* codedKey,
                        uint8_t block) override;
    Result MifareRead(uint8_t block, uint8_t* data) override;
    Result MifareWrite(uint8_t block, const uint8_t* data) override;
    Result ValueOperation(uint8_t operation, uint8_t block, const uint8_t* value,
                          uint8_t transferBlock) override;
    Result ReadData(uint8_t cardCommand, uint8_t address, uint8_t length, uint8_t* data) override;
    Result WritePage(uint8_t page, const uint8_t* data) override;
    Result WriteData(uint8_t cardCommand, uint8_t address, uint8_t length,
                     const uint8_t* data) override;

    Result ExchangeBlock(uint8_t parameter, const uint8_t* block, uint16_t length, uint8_t* answer,
                         uint16_t* answerLength) override;
    Result ExchangeTimed(const uint8_t* frame, uint16_t length, uint8_t* answer,
                         uint16_t* answerLength, uint8_t flag, uint32_t cardTimeOut) override;
    Result RequestATS(uint8_t parameter, uint8_t* ats, uint16_t* atsLength) override;
    Result SetCardTimeOut(uint32_t timeOutMs) override;
    void PauseBeforeRetry(uint32_t ms) override { Pause(ms); }

    Result TypeBRequest(uint8_t first, uint8_t second, uint8_t third, uint8_t* answer,
                        uint16_t* answerLength) override;
    Result TypeBRequestIdle(uint8_t first, uint8_t second, uint8_t* answer,
                            uint16_t* answerLength) override;
    Result TypeBRequestWakeUp(uint8_t first, uint8_t second, uint8_t* answer,
                              uint16_t* answerLength) override;
    Result TypeBAttrib(const uint8_t* pupi, uint8_t param1, uint8_t param2, uint8_t param3,
                       uint8_t* param4, uint8_t* second, uint8_t* higherLayerLength,
                       uint8_t* higherLayerData) override;
    Result TypeBSlotMarker(uint8_t slot, uint8_t* answer, uint16_t* answerLength) override;
    Result TypeBHalt(const uint8_t* pupi) override;

    Result SetDefaultAttrib() override;
    Result SetAttrib(uint8_t first, uint8_t second) override;
    Result GetAttrib(uint8_t* a0, uint8_t* a1, uint8_t* a2, uint8_t* a3, uint8_t* a4) override;
    Result ReadMemory(uint16_t address, uint8_t length, uint8_t* data) override;
    Result WriteMemory(uint16_t address, uint8_t length, const uint8_t* data) override;
    Result GetFWVersion(char* text, uint8_t* length) override;
    Result WriteReg(uint8_t reg, uint8_t value) override;
    Result ReadReg(uint8_t reg, uint8_t* value) override;
    Result SetIODevState(uint8_t device, uint8_t state) override;
    Result LoadConfig(uint16_t number) override;
    Result SetCardType(uint8_t type) override;
    Result DirectCommand(uint8_t code, const uint8_t* data, uint32_t length, uint8_t* answer,
                         uint32_t* answerLength) override;
    Result RawExchange(link::ReaderCommand& command) override;
    Result SetReaderBaudRate(uint32_t baudRate) override;
    Result GetReaderBaudRate(uint32_t* baudRate) override;
    Result EchoTest(uint8_t* buffer, uint16_t* length) override;

  private:
    Result RequestWith(uint8_t code, uint8_t requestCode, uint16_t* atqa);
    Result SerialCommand(uint8_t* serial);
    Result SakCommand(uint8_t* sak);
    // One Type B command with its parameter bytes; the answer's length stored, the answer
    // copied if it fits.
    Result TypeBExchange(uint8_t code, std::initializer_list<uint8_t> parameters, uint8_t* answer,
                         uint16_t* answerLength);
};

// A standard reader that also offers RF scanning (reader type READER_TYPE_RFSCAN).
class RfScanReader final : public StandardReader, public RfScan {
  public:
    using StandardReader::StandardReader;

    Result SetRFScanMode(uint8_t on) override;
    Result GetRFScanMode(uint8_t* state) override;
};

}  // namespace kestrel::reader
