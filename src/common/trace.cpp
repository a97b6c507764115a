#include "common/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrel::trace {

bool Enabled() {
    // The environment is read once; a function-local static is initialised once even when
    // several threads reach it first together.
    static const bool enabled = [] {
        const char* value = std::getenv("KESTREL_TRACE");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}

void Write(const char* layer, const char* format, ...) {
    char message[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    // One call per line, so lines of threads tracing at the same time do not interleave.
    char line[300];
    std::snprintf(line, sizeof line, "kestrel %s: %s\n", layer, message);
    std::fputs(line, stderr);
}

}  // namespace kestrel::trace
