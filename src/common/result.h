// Result type shared by every layer of the library.
#pragma once

#include <cstdint>

#include "KestrelAPI.h"

namespace kestrel {

// 0 on success, otherwise one of the KESTREL_ERR_* codes, an operating-system error number
// or -1. Internal operations return it unchanged up to the exported function.
using Result = int32_t;

}  // namespace kestrel
