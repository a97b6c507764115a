// Exported functions: the DESFire context, the native command exchange, authentication and
// key management.
#include <memory>

#include "api/desfire_guard.h"
#include "api/export_alias.h"
#include "desfire/authentication.h"
#include "desfire/context.h"
#include "desfire/exchange.h"

using kestrel::api::WithDesfire;
using kestrel::api::WithReader;
using kestrel::desfire::DesfireCard;
using kestrel::desfire::DesfireContext;
using kestrel::reader::StandardReader;

namespace {

// Native commands are carried with a 16-bit length.
constexpr uint32_t kMaxCommandLength = 0xFFFF;

bool CommandArgumentsValid(const uint8_t* command, uint32_t length) {
    return length <= kMaxCommandLength && (command != nullptr || length == 0);
}

}  // namespace

KESTREL_EXPORT int32_t KESTREL_CALL DF_InitData(KestrelSession* session) {
    return WithReader(session, [&](StandardReader&) {
        session->desfireContext = std::make_unique<DesfireContext>();
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_FreeData(KestrelSession* session) {
    return WithReader(session, [&](StandardReader&) {
        session->desfireContext.reset();
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_Disconnect(KestrelSession* session)
    KESTREL_ALIAS_OF(DF_FreeData, 4);

KESTREL_EXPORT int32_t KESTREL_CALL DF_SetCmdFormat(KestrelSession* session, uint32_t format) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        card.context.commandFormat = format;
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_GetCmdFormat(KestrelSession* session, uint32_t* format) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        if (format == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
        *format = card.context.commandFormat;
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_SetFrameSize(KestrelSession* session, uint16_t frameSize) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        card.context.frameSize = frameSize;
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_GetFrameSize(KestrelSession* session, uint16_t* frameSize) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        if (frameSize == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
        *frameSize = card.context.frameSize;
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_Connect(KestrelSession* session) {
    return kestrel::api::WithCardChannel(session, [&](kestrel::iso14443_4::CardChannel& channel) {
        session->desfireContext = std::make_unique<DesfireContext>();
        return kestrel::desfire::Connect(DesfireCard{channel, *session->desfireContext});
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_SendNativeCMD(KestrelSession* session,
                                                     const uint8_t* command, uint32_t commandLength,
                                                     uint8_t* response, uint16_t* responseLength,
                                                     uint32_t timeOut) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        if (!CommandArgumentsValid(command, commandLength) || responseLength == nullptr ||
            (response == nullptr && *responseLength > 0)) {
            return KESTREL_ERR_WRONG_PARAMETER;
        }
        return kestrel::desfire::SendNativeCommand(
            card, command, static_cast<uint16_t>(commandLength), response, responseLength, timeOut);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_SendNativeCMDEx(KestrelSession* session,
                                                       const uint8_t* command,
                                                       uint32_t commandLength, uint8_t* data,
                                                       uint16_t* dataLength) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        if (!CommandArgumentsValid(command, commandLength)) return KESTREL_ERR_WRONG_PARAMETER;
        return kestrel::desfire::SendNativeCommandEx(
            card, command, static_cast<uint16_t>(commandLength), data, dataLength);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_Ping(KestrelSession* session) {
    return WithDesfire(session,
                       [&](const DesfireCard& card) { return kestrel::desfire::Ping(card); });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_AuthKey(KestrelSession* session, uint8_t keyNumber,
                                               const uint8_t* key, uint8_t* sessionKey) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return kestrel::desfire::AuthKey(card, keyNumber, key, sessionKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_ChangeCurKey(KestrelSession* session, uint8_t keyNumber,
                                                    const uint8_t* newKey,
                                                    const uint8_t* sessionKey) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return kestrel::desfire::ChangeCurKey(card, keyNumber, newKey, sessionKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_ChangeKey(KestrelSession* session, uint8_t keyNumber,
                                                 const uint8_t* oldKey, const uint8_t* newKey,
                                                 const uint8_t* sessionKey) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return kestrel::desfire::ChangeKey(card, keyNumber, oldKey, newKey, sessionKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_GetKeySettings(KestrelSession* session, uint8_t* settings,
                                                      uint8_t* maxKeys) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return kestrel::desfire::GetKeySettings(card, settings, maxKeys);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_ChangeKeySettings(KestrelSession* session, uint8_t settings,
                                                         const uint8_t* sessionKey) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return kestrel::desfire::ChangeKeySettings(card, settings, sessionKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DF_GetKeyVersion(KestrelSession* session, uint8_t keyNumber,
                                                     uint8_t* version) {
    return WithDesfire(session, [&](const DesfireCard& card) {
        return kestrel::desfire::GetKeyVersion(card, keyNumber, version);
    });
}
