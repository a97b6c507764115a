// The session behind a KestrelSession handle and the connect sequence.
#pragma once

#include <cstdint>
#include <memory>

#include "KestrelAPI.h"
#include "comm/comm_interface.h"
#include "common/result.h"
#include "desfire/context.h"
#include "iso14443_4/card_channel.h"
#include "link/link_protocol.h"
#include "reader/standard_reader.h"

// The handle type of the public header. Only the library looks inside.
struct KestrelSession {
    // 'r7x': the first word of every live session. A handle whose first word differs is not
    // a session (released, or not made by CreateSession).
    static constexpr uint32_t kMagic = 0x00723778;

    uint32_t magic = kMagic;
    uint32_t flags = 0;
    uintptr_t userData = 0;
    // Owned connection objects; all four present while connected, all null otherwise.
    std::unique_ptr<kestrel::link::LinkProtocol> linkProtocol;
    std::unique_ptr<kestrel::comm::CommInterface> commInterface;
    std::unique_ptr<kestrel::reader::StandardReader> reader;
    // The ISO/IEC 14443-4 card through the reader: what the APDU and DESFire exports use.
    std::unique_ptr<kestrel::iso14443_4::CardChannel> cardChannel;
    // The DESFire state, made by DF_InitData or DF_Connect and freed by DF_FreeData. It has a
    // field of its own (userData stays the application's) and survives reconnects; a context
    // the application forgot goes with the session at ReleaseSession.
    std::unique_ptr<kestrel::desfire::DesfireContext> desfireContext;

    KestrelSession() = default;
    KestrelSession(const KestrelSession&) = delete;
    KestrelSession& operator=(const KestrelSession&) = delete;
    ~KestrelSession();
};

namespace kestrel::api {

// Reader type that selects the reader class with the RF-scan commands.
constexpr int32_t kRfScanReaderType = READER_TYPE_RFSCAN;

// Destroys the card channel, the reader, the interface (which closes its device) and the link
// protocol, in this order, and leaves the session disconnected.
void Teardown(KestrelSession& session);

// The whole connect sequence: teardown, build the interface for `interfaceType` from
// `readerName` and `param`, then the link protocol and the reader, then open the interface.
Result Connect(KestrelSession& session, int32_t interfaceType, const char* readerName,
               int32_t readerType, uint32_t param);

// Connects the session through an interface built by the caller (the in-process virtual
// reader of the tests, for example): teardown, take `comm`, build the block framing protocol
// and the reader for `readerType`, open the interface and return the result of that open.
Result ConnectWith(KestrelSession& session, std::unique_ptr<comm::CommInterface> comm,
                   int32_t readerType);

// The checks every session-taking export starts with.
inline Result CheckSession(const KestrelSession* session) {
    if (session == nullptr) return KESTREL_ERR_NO_SESSION;
    if (session->magic != KestrelSession::kMagic) return KESTREL_ERR_INVALID_SESSION;
    return KESTREL_OK;
}

inline Result CheckReader(const KestrelSession* session) {
    if (Result r = CheckSession(session); r != KESTREL_OK) return r;
    return session->reader ? KESTREL_OK : KESTREL_ERR_NO_READER;
}

}  // namespace kestrel::api
