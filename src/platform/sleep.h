// Pausing the calling thread.
#pragma once

#include <cstdint>

namespace kestrel::platform {

// Blocks the calling thread for at least `ms` milliseconds.
void SleepMs(uint32_t ms);

}  // namespace kestrel::platform
