// Pausing on Windows.
#include "platform/sleep.h"

#include "platform/win32/win32.h"

namespace kestrel::platform {

void SleepMs(uint32_t ms) {
    // INFINITE (0xFFFFFFFF) would never return; one millisecond less is the longest real wait.
    Sleep(ms == INFINITE ? INFINITE - 1 : ms);
}

}  // namespace kestrel::platform
