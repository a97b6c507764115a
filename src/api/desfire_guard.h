// The shape of the DESFire exports: the session checks, then the session's DESFire context
// (KESTREL_ERR_DF_NO_DESFIRE_SESSION without one), then one call into the DESFire layer.
#pragma once

#include <utility>

#include "api/guard.h"
#include "desfire/exchange.h"

namespace kestrel::api {

template <typename Body>
int32_t WithDesfire(KestrelSession* session, Body&& body) noexcept {
    return WithCardChannel(session, [&](iso14443_4::CardChannel& channel) -> int32_t {
        if (!session->desfireContext) return KESTREL_ERR_DF_NO_DESFIRE_SESSION;
        return body(desfire::DesfireCard{channel, *session->desfireContext});
    });
}

}  // namespace kestrel::api
