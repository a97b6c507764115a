// The interfaces a reader is connected by, in one table: how each builds its byte transport
// from a reader name, the link protocol that frames on it, and how its readers are listed.
// ConnectReaderEx, EnumReaders and GetSupportedCommInterfaces all read it.
#pragma once

#include <cstdint>
#include <memory>

#include "comm/comm_interface.h"
#include "comm/reader_enumeration.h"
#include "common/result.h"
#include "link/link_protocol.h"

namespace kestrel::api {

struct Transport {
    int32_t type;             // INTERFACE_*
    const char* description;  // as GetSupportedCommInterfaces reports it
    // Builds the interface for `readerName` (not null) with the reader type and the connect
    // parameter of ConnectReaderEx; nothing is opened.
    Result (*build)(const char* readerName, int32_t readerType, uint32_t param,
                    std::unique_ptr<comm::CommInterface>& out);
    std::unique_ptr<link::LinkProtocol> (*link)(comm::CommInterface& comm);
    // Reports the readers present; null when the interface's readers cannot be listed.
    Result (*enumerate)(uint32_t productId, const comm::ReaderNameSink& sink);
};

// Every transport, in the order GetSupportedCommInterfaces reports them.
extern const Transport kTransports[3];

// The transport of interface `type`, or null.
const Transport* FindTransport(int32_t type);

// The link protocol of byte-stream interfaces (serial line, TCP, an interface a test built).
std::unique_ptr<link::LinkProtocol> StreamLink(comm::CommInterface& comm);

}  // namespace kestrel::api
