// What the status byte of a reader's answer means to the caller.
#pragma once

#include <cstdint>

#include "common/result.h"

namespace kestrel::reader {

// The result code for the status byte of an answer frame: 0 for success, the code the reader
// failure stands for, and KESTREL_ERR_WRITE_FAILED for a byte with no code of its own.
Result ReaderStatusResult(uint8_t status);

}  // namespace kestrel::reader
