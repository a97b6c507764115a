// Capability: the reader's configuration and diagnostics: attributes, registers, memory,
// firmware version, card type, I/O devices, line speed, echo test and direct commands.
#pragma once

#include <cstdint>

#include "common/result.h"
#include "link/reader_command.h"

namespace kestrel::reader {

// Pointers a command needs (outputs, buffers with a non-zero length or capacity) must not be
// null: KESTREL_ERR_WRONG_PARAMETER without traffic.
class ReaderConfiguration {
  public:
    virtual ~ReaderConfiguration() = default;

    virtual Result SetDefaultAttrib() = 0;
    virtual Result SetAttrib(uint8_t first, uint8_t second) = 0;
    // Exactly five answer bytes, else KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT.
    virtual Result GetAttrib(uint8_t* a0, uint8_t* a1, uint8_t* a2, uint8_t* a3, uint8_t* a4) = 0;
    // An answer longer than `length` gives KESTREL_ERR_WRONG_PARAMETER, nothing copied.
    virtual Result ReadMemory(uint16_t address, uint8_t length, uint8_t* data) = 0;
    virtual Result WriteMemory(uint16_t address, uint8_t length, const uint8_t* data) = 0;
    // Answer: a 16-bit length, then the text (no terminating zero added). A text longer than
    // the capacity in `length` gives KESTREL_ERR_NOT_ENOUGH_MEMORY with `length` untouched;
    // an answer shorter than it announces gives KESTREL_ERR_READING_TOO_MUCH.
    virtual Result GetFWVersion(char* text, uint8_t* length) = 0;
    virtual Result WriteReg(uint8_t reg, uint8_t value) = 0;
    // Exactly one answer byte, else KESTREL_ERR_READING_TOO_MUCH.
    virtual Result ReadReg(uint8_t reg, uint8_t* value) = 0;
    virtual Result SetIODevState(uint8_t device, uint8_t state) = 0;
    virtual Result LoadConfig(uint16_t number) = 0;
    virtual Result SetCardType(uint8_t type) = 0;
    // Any command code with `length` bytes of data. The answer is wanted when `answerLength`
    // is not null and holds a non-zero capacity: its length is stored, and it is copied when
    // it fits (else KESTREL_ERR_WRONG_PARAMETER), whatever the reader's status.
    virtual Result DirectCommand(uint8_t code, const uint8_t* data, uint32_t length,
                                 uint8_t* answer, uint32_t* answerLength) = 0;
    // Sends a command the caller filled; the exchange result only.
    virtual Result RawExchange(link::ReaderCommand& command) = 0;
    // The reader's line speed as its index: 9600 0, 19200 1, 57600 2, 115200 3, 38400 4; any
    // other speed is sent as 3, and an index above 4 reads back as 115200. The host's own
    // line speed does not change.
    virtual Result SetReaderBaudRate(uint32_t baudRate) = 0;
    virtual Result GetReaderBaudRate(uint32_t* baudRate) = 0;
    // The answer must be exactly the bytes sent (else KESTREL_ERR_WRONG_PARAMETER); it is
    // copied back over `buffer`.
    virtual Result EchoTest(uint8_t* buffer, uint16_t* length) = 0;
};

}  // namespace kestrel::reader
