#include <cstring>

#include "common/trace.h"
#include "platform/system_message.h"

namespace kestrel::platform {

void TraceSystemError(const char* what, const char* subject, int code) {
    if (!trace::Enabled()) return;
    char text[160];
    SystemMessage(code, text, sizeof text);
    // Some systems end their texts with a line break; the trace line has its own.
    text[std::strcspn(text, "\r\n")] = '\0';
    trace::Write("platform", "%s %s failed: OS error %d (%s)", what, subject, code, text);
}

}  // namespace kestrel::platform
