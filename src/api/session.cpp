#include "api/session.h"

#include "comm/rs232_interface.h"
#include "comm/tcp_interface.h"
#include "link/block_framing_protocol.h"
#include "reader/standard_reader.h"

KestrelSession::~KestrelSession() {
    kestrel::api::Teardown(*this);
}

namespace kestrel::api {
namespace {

// Builds the serial interface from a reader name: a device path when the name starts with
// '/', otherwise the COM port number the name carries.
Result BuildRs232(const char* readerName, uint32_t baudRate,
                  std::unique_ptr<comm::CommInterface>& out) {
    auto rs232 = std::make_unique<comm::Rs232Interface>();
    if (Result r = rs232->SetBaudRate(baudRate); r != KESTREL_OK) return r;
    if (readerName[0] == '/') {
        rs232->SetDevicePath(readerName);
    } else if (Result r = rs232->SetPort(comm::PortNumberFromName(readerName)); r != KESTREL_OK) {
        return r;
    }
    out = std::move(rs232);
    return KESTREL_OK;
}

Result BuildTcp(const char* readerName, std::unique_ptr<comm::CommInterface>& out) {
    auto tcp = std::make_unique<comm::TcpInterface>();
    if (Result r = tcp->SetAddress(readerName); r != KESTREL_OK) return r;
    out = std::move(tcp);
    return KESTREL_OK;
}

// Link protocol and reader on top of the session's interface, then the interface opened.
Result Attach(KestrelSession& session, std::unique_ptr<comm::CommInterface> comm,
              int32_t readerType) {
    session.commInterface = std::move(comm);
    session.linkProtocol = std::make_unique<link::BlockFramingProtocol>(*session.commInterface);
    if (readerType == kRfScanReaderType) {
        session.reader = std::make_unique<reader::DerivedReader>(*session.linkProtocol);
    } else {
        session.reader = std::make_unique<reader::StandardReader>(*session.linkProtocol);
    }
    // Nothing is sent to the reader here: the first frame on the wire is the application's
    // first command. A failed open keeps the objects, so later calls fail in the interface.
    return session.commInterface->Open();
}

}  // namespace

void Teardown(KestrelSession& session) {
    session.reader.reset();
    session.commInterface.reset();
    session.linkProtocol.reset();
}

Result Connect(KestrelSession& session, int32_t interfaceType, const char* readerName,
               int32_t readerType, uint32_t param) {
    Teardown(session);
    if (interfaceType != INTERFACE_RS232 && interfaceType != INTERFACE_TCP) {
        return KESTREL_ERR_INTERFACE_NOT_SUPPORTED;
    }
    if (readerName == nullptr) return KESTREL_ERR_NO_READER_NAME;

    std::unique_ptr<comm::CommInterface> comm;
    const Result r = interfaceType == INTERFACE_RS232 ? BuildRs232(readerName, param, comm)
                                                      : BuildTcp(readerName, comm);
    if (r != KESTREL_OK) return r;
    return Attach(session, std::move(comm), readerType);
}

Result ConnectWith(KestrelSession& session, std::unique_ptr<comm::CommInterface> comm,
                   int32_t readerType) {
    Teardown(session);
    if (!comm) return KESTREL_ERR_WRONG_PARAMETER;
    return Attach(session, std::move(comm), readerType);
}

}  // namespace kestrel::api
