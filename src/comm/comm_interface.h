// Abstract byte transport between the host and one reader.
#pragma once

#include <cstdint>

#include "common/result.h"

namespace kestrel::comm {

// Moves raw bytes with time-outs. It knows nothing about frames: the link protocol builds
// and checks them. One session owns exactly one interface. What only one kind of interface
// has (a serial line's port and baud rate, a HID device's index) is set on that kind before
// it is opened.
class CommInterface {
  public:
    virtual ~CommInterface() = default;

    virtual Result Open() = 0;
    // Always 0; closing an interface that is not open does nothing.
    virtual Result Close() = 0;
    // Close (its result ignored), then Open.
    Result Reopen() {
        Close();
        return Open();
    }
    // Discards pending input and output.
    virtual Result Purge() = 0;
    // Writes `length` bytes; *written receives how many went out.
    virtual Result Write(const uint8_t* buffer, uint32_t length, uint32_t* written,
                         uint32_t timeOutMs) = 0;
    // Reads up to `length` bytes; *read receives how many arrived. Whether a short read is
    // a success depends on the interface (serial: yes, after the time-out; TCP: no).
    virtual Result Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t timeOutMs) = 0;
};

}  // namespace kestrel::comm
