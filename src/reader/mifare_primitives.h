// Capability: the MIFARE primitives the reader runs against a selected card.
#pragma once

#include <cstdint>

#include "common/result.h"

namespace kestrel::reader {

// Arguments a command carries (serial, coded key, data, value) must not be null:
// KESTREL_ERR_WRONG_PARAMETER without traffic.
class MifarePrimitives {
  public:
    virtual ~MifarePrimitives() = default;

    // Host only: turns the six key bytes into the twelve bytes that Authenticate carries.
    // KESTREL_ERR_WRONG_PARAMETER for a null pointer, else 0.
    static Result CodeKey(const uint8_t* key, uint8_t* codedKey);

    virtual Result Authenticate(uint8_t keyType, const uint8_t* serial, const uint8_t* codedKey,
                                uint8_t block) = 0;
    // Copies 16 answer bytes into `data`; a shorter answer copies nothing.
    virtual Result MifareRead(uint8_t block, uint8_t* data) = 0;
    virtual Result MifareWrite(uint8_t block, const uint8_t* data) = 0;
    // Increment, decrement or restore of `block` by `value`, then transfer to `transferBlock`.
    virtual Result ValueOperation(uint8_t operation, uint8_t block, const uint8_t* value,
                                  uint8_t transferBlock) = 0;
    // Any card read command: copies the whole answer into `data` (at most `length` bytes); a
    // longer answer gives KESTREL_ERR_WRONG_PARAMETER and copies nothing.
    virtual Result ReadData(uint8_t cardCommand, uint8_t address, uint8_t length,
                            uint8_t* data) = 0;
    // Ultralight page write: one page of kPageSize bytes.
    virtual Result WritePage(uint8_t page, const uint8_t* data) = 0;
    virtual Result WriteData(uint8_t cardCommand, uint8_t address, uint8_t length,
                             const uint8_t* data) = 0;
};

}  // namespace kestrel::reader
