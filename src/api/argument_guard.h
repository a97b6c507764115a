// For exports whose first check is on their arguments, made before the session is looked
// at (a sector number that names no sector, a byte block of the wrong length).
#pragma once

#include <utility>

#include "api/guard.h"

namespace kestrel::api {

template <typename Body>
int32_t WithReaderAfter(Result argumentCheck, KestrelSession* session, Body&& body) noexcept {
    if (argumentCheck != KESTREL_OK) return argumentCheck;
    return WithReader(session, std::forward<Body>(body));
}

}  // namespace kestrel::api
