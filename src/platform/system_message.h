// Operating-system texts for OS error numbers.
#pragma once

#include <cstddef>

namespace kestrel::platform {

// Writes the operating system's text for error number `code` into `out`, NUL-terminated
// and cut to at most `capacity` - 1 characters; writes nothing when `capacity` is 0.
// Returns false, leaving `out` holding an empty string (if it has room for one), when
// the system has no text for `code`. Thread-safe.
bool SystemMessage(int code, char* out, size_t capacity);

// When the diagnostic trace is on (common/trace.h), writes one line from the platform layer:
// `what` on `subject` failed, with OS error `code` and the system's text for it.
void TraceSystemError(const char* what, const char* subject, int code);

}  // namespace kestrel::platform
