#include "api/session.h"

#include <cstring>

#include "api/transports.h"
#include "reader/standard_reader.h"

KestrelSession::~KestrelSession() {
    kestrel::api::Teardown(*this);
}

namespace kestrel::api {
namespace {

// Link protocol and reader on top of the session's interface, then the interface opened.
Result Attach(KestrelSession& session, std::unique_ptr<comm::CommInterface> comm,
              std::unique_ptr<link::LinkProtocol> (*makeLink)(comm::CommInterface&),
              int32_t readerType) {
    session.commInterface = std::move(comm);
    session.linkProtocol = makeLink(*session.commInterface);
    if (readerType == kRfScanReaderType) {
        session.reader = std::make_unique<reader::RfScanReader>(*session.linkProtocol);
    } else {
        session.reader = std::make_unique<reader::StandardReader>(*session.linkProtocol);
    }
    session.cardChannel = std::make_unique<iso14443_4::ReaderChannel>(*session.reader);
    // Nothing is sent to the reader here: the first frame on the wire is the application's
    // first command. A failed open keeps the objects, so later calls fail in the interface.
    return session.commInterface->Open();
}

}  // namespace

void Teardown(KestrelSession& session) {
    session.cardChannel.reset();
    session.reader.reset();
    session.commInterface.reset();
    session.linkProtocol.reset();
}

Result Connect(KestrelSession& session, int32_t interfaceType, const char* readerName,
               int32_t readerType, uint32_t param) {
    Teardown(session);
    const Transport* transport = FindTransport(interfaceType);
    if (transport == nullptr) return KESTREL_ERR_INTERFACE_NOT_SUPPORTED;
    if (readerName == nullptr) return KESTREL_ERR_NO_READER_NAME;
    std::unique_ptr<comm::CommInterface> comm;
    if (Result r = transport->build(readerName, readerType, param, comm); r != KESTREL_OK) {
        return r;
    }
    return Attach(session, std::move(comm), transport->link, readerType);
}

Result ConnectWith(KestrelSession& session, std::unique_ptr<comm::CommInterface> comm,
                   int32_t readerType) {
    Teardown(session);
    if (!comm) return KESTREL_ERR_WRONG_PARAMETER;
    return Attach(session, std::move(comm), StreamLink, readerType);
}

}  // namespace kestrel::api
