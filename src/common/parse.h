// Small text parsing helpers shared by the transports.
#pragma once

#include <cstdint>

namespace kestrel {

// Reads a decimal integer the way atoi does: leading white space, one optional sign, then
// digits up to the first non-digit; 0 when there are none. Values beyond the 32-bit range
// saturate instead of overflowing.
int32_t ParseDecimal(const char* text);

}  // namespace kestrel
