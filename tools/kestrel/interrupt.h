// Ctrl-C. The handler only raises a flag: the library call under way finishes, and the
// command stops at its next check, so that the stack unwinds through the reader's and the
// temporary file's destructors (reader closed, no partial file) before the tool exits 130.
#pragma once

#include <cstdint>

namespace kestrel::tool {

void InstallInterruptHandler();
bool InterruptRequested();
// Throws Interrupted when Ctrl-C was pressed.
void CheckInterrupt();
// Sleeps for `milliseconds`, waking early (and throwing Interrupted) on Ctrl-C.
void SleepInterruptibly(uint32_t milliseconds);

}  // namespace kestrel::tool
