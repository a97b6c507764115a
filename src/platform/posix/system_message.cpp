// OS error texts on POSIX systems: the C library's message for an errno value.
#include "platform/system_message.h"

#include <cstring>

namespace kestrel::platform {
namespace {

void CopyTruncated(const char* text, char* out, size_t capacity) {
    if (capacity == 0) return;
    const size_t length = strnlen(text, capacity - 1);
    std::memcpy(out, text, length);
    out[length] = '\0';
}

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))

// glibc 2.32 and later: strerrordesc_np returns a constant text, or NULL for a number the
// library does not know, without composing an "Unknown error N" text of its own.
const char* LookUp(int code, char* /*scratch*/, size_t /*scratchSize*/) {
    return strerrordesc_np(code);
}

#else

// Older C libraries: strerror_r, in whichever of its two forms the library declares. Both
// report an unknown number with a composed "Unknown error ..." text (or an error result).
[[maybe_unused]] const char* FromStrerrorR(int result, const char* scratch) {
    return result == 0 ? scratch : nullptr;  // XSI form
}
[[maybe_unused]] const char* FromStrerrorR(const char* text, const char* /*scratch*/) {
    return text;  // GNU form: may or may not use the scratch buffer
}

const char* LookUp(int code, char* scratch, size_t scratchSize) {
    scratch[0] = '\0';
    const char* text = FromStrerrorR(strerror_r(code, scratch, scratchSize), scratch);
    static constexpr char kUnknownPrefix[] = "Unknown error";
    if (text == nullptr || text[0] == '\0' ||
        std::strncmp(text, kUnknownPrefix, sizeof(kUnknownPrefix) - 1) == 0) {
        return nullptr;
    }
    return text;
}

#endif

}  // namespace

bool SystemMessage(int code, char* out, size_t capacity) {
    char scratch[1024];
    const char* text = LookUp(code, scratch, sizeof(scratch));
    if (text == nullptr) {
        CopyTruncated("", out, capacity);
        return false;
    }
    CopyTruncated(text, out, capacity);
    return true;
}

}  // namespace kestrel::platform
