// The host's random number for authentication (RndA).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/result.h"

namespace kestrel::desfire {

constexpr size_t kRandomLength = 8;

// A generator with the shape of OpenSSL's RAND_bytes: fills `length` bytes and returns 1 on
// success, anything else on failure.
using RandomSource = int (*)(unsigned char* buffer, int length);

// Replaces the generator (nullptr: back to RAND_bytes, the operating system's secure
// generator) and returns the one used before. For tests that replay a recorded card trace
// with its fixed random number; the library itself never calls it.
RandomSource SetRandomSource(RandomSource source);

// Fills rndA with 8 bytes from the generator. KESTREL_ERR_DF_UNKNOWN when the generator fails:
// there is no fallback to a weaker source.
Result DfMakeRndA(uint8_t* rndA);

}  // namespace kestrel::desfire
