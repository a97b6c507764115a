// The Windows headers as every Win32 backend includes them: Winsock before <windows.h> (which
// would otherwise pull in the old Winsock 1 header), without the rarely used parts and
// without the min/max macros.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <memory>

namespace kestrel::platform::win32 {

// Closes a kernel object handle (file, device, event) when it goes out of scope.
struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// A handle from CreateFile, which reports failure as INVALID_HANDLE_VALUE; null then.
inline UniqueHandle AdoptFileHandle(HANDLE handle) {
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

}  // namespace kestrel::platform::win32
