// Exported functions: sessions, connection, session words and frame logging.
#include <new>

#include "api/guard.h"

using kestrel::Result;
using kestrel::api::WithReader;
using kestrel::api::WithSession;

KESTREL_EXPORT KestrelSession* KESTREL_CALL CreateSession(uint32_t /*reserved*/) {
    return new (std::nothrow) KestrelSession();
}

KESTREL_EXPORT int32_t KESTREL_CALL ReleaseSession(KestrelSession* session, uint32_t /*reserved*/) {
    return WithSession(session, [&](KestrelSession& s) {
        kestrel::api::Teardown(s);
        // Cleared so that a stale handle is refused by the magic check while the memory has
        // not been reused.
        s.magic = 0;
        delete &s;
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL ConnectReaderEx(KestrelSession* session, int32_t interfaceType,
                                                    const char* readerName, int32_t readerType,
                                                    uint32_t param) {
    return WithSession(session, [&](KestrelSession& s) {
        return kestrel::api::Connect(s, interfaceType, readerName, readerType, param);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL ConnectReader(KestrelSession* session, int32_t interfaceType,
                                                  const char* readerName, int32_t readerType) {
    return ConnectReaderEx(session, interfaceType, readerName, readerType, 115200);
}

KESTREL_EXPORT int32_t KESTREL_CALL DisconnectReader(KestrelSession* session) {
    return WithReader(session, [&](kestrel::reader::Reader&) {
        kestrel::api::Teardown(*session);
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL SetSessionFlags(KestrelSession* session, uint32_t flags) {
    return WithSession(session, [&](KestrelSession& s) {
        s.flags = flags;
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL GetSessionFlags(KestrelSession* session, uint32_t* flags) {
    return WithSession(session, [&](KestrelSession& s) {
        if (flags == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
        *flags = s.flags;
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL SetSessionUserData(KestrelSession* session, uintptr_t data) {
    return WithReader(session, [&](kestrel::reader::Reader&) {
        session->userData = data;
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL GetSessionUserData(KestrelSession* session, uintptr_t* data) {
    return WithReader(session, [&](kestrel::reader::Reader&) {
        if (data == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
        *data = session->userData;
        return KESTREL_OK;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL RegisterLogMethods(KestrelSession* session,
                                                       uintptr_t logContext, LogMethod sendLog,
                                                       LogMethod receiveLog) {
    return WithReader(session, [&](kestrel::reader::Reader&) {
        if (!session->linkProtocol) return KESTREL_ERR_NOT_CONNECTED;
        session->linkProtocol->SetLogMethods(logContext, sendLog, receiveLog);
        return KESTREL_OK;
    });
}
