// OS error texts on Windows: the system's message table, through FormatMessageA.
#include "platform/system_message.h"

#include <cstring>

#include "platform/win32/win32.h"

namespace kestrel::platform {
namespace {

struct LocalFreer {
    void operator()(char* text) const { LocalFree(text); }
};

void CopyTruncated(const char* text, char* out, size_t capacity) {
    if (capacity == 0) return;
    const size_t length = strnlen(text, capacity - 1);
    std::memcpy(out, text, length);
    out[length] = '\0';
}

}  // namespace

bool SystemMessage(int code, char* out, size_t capacity) {
    // The system allocates the text (LocalAlloc) in the calling thread; nothing is shared.
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    const std::unique_ptr<char, LocalFreer> owned(text);
    if (length == 0 || text == nullptr) {
        CopyTruncated("", out, capacity);
        return false;
    }
    // The text keeps the line break the system ends its messages with.
    CopyTruncated(text, out, capacity);
    return true;
}

}  // namespace kestrel::platform
