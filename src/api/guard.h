// The shape every exported function shares: check the session, then call one layer.
#pragma once

#include "api/session.h"

namespace kestrel::api {

// Runs `body` after the session checks. Nothing may escape through the C interface: running
// out of memory becomes KESTREL_ERR_NOT_ENOUGH_MEMORY.
template <typename Body>
int32_t Guarded(Result check, Body&& body) noexcept {
    if (check != KESTREL_OK) return check;
    try {
        return body();
    } catch (...) {
        // Only allocations throw inside the library (std::bad_alloc, std::length_error).
        return KESTREL_ERR_NOT_ENOUGH_MEMORY;
    }
}

// For exports that need a connected reader.
template <typename Body>
int32_t WithReader(KestrelSession* session, Body&& body) noexcept {
    return Guarded(CheckReader(session), [&] { return body(*session->reader); });
}

// For exports that talk to an ISO/IEC 14443-4 card.
template <typename Body>
int32_t WithCardChannel(KestrelSession* session, Body&& body) noexcept {
    return Guarded(CheckReader(session), [&] { return body(*session->cardChannel); });
}

// For exports that need a session but no reader.
template <typename Body>
int32_t WithSession(KestrelSession* session, Body&& body) noexcept {
    return Guarded(CheckSession(session), [&] { return body(*session); });
}

}  // namespace kestrel::api
