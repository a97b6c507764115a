#include "api/session.h"

#include <cstring>

#include "comm/rs232_interface.h"
#include "comm/tcp_interface.h"
#include "comm/usb_hid_interface.h"
#include "common/parse.h"
#include "link/block_framing_protocol.h"
#include "link/usb_block_framing_protocol.h"
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

// Prefix of the USB reader names that EnumReaders hands out ("USB_0", "USB_1", ...).
constexpr size_t kUsbNamePrefixLength = 4;

// Builds the USB HID interface: the reader type is the product id to look for, the number
// after the name's four-character prefix the index among the matching devices (cut to
// 8 bits). A name of four characters or fewer has no index text and selects device 0.
Result BuildUsb(const char* readerName, int32_t readerType, uint32_t baudRate,
                std::unique_ptr<comm::CommInterface>& out) {
    auto usb = std::make_unique<comm::UsbHidInterface>();
    usb->SetProductId(static_cast<uint32_t>(readerType));
    if (Result r = usb->SetBaudRate(baudRate); r != KESTREL_OK) return r;
    const bool hasIndex = std::strlen(readerName) > kUsbNamePrefixLength;
    const int32_t index = hasIndex ? ParseDecimal(readerName + kUsbNamePrefixLength) : 0;
    const auto port = static_cast<int8_t>(static_cast<uint8_t>(static_cast<uint32_t>(index)));
    if (Result r = usb->SetPort(port); r != KESTREL_OK) return r;
    out = std::move(usb);
    return KESTREL_OK;
}

Result BuildTcp(const char* readerName, std::unique_ptr<comm::CommInterface>& out) {
    auto tcp = std::make_unique<comm::TcpInterface>();
    if (Result r = tcp->SetAddress(readerName); r != KESTREL_OK) return r;
    out = std::move(tcp);
    return KESTREL_OK;
}

// Link protocol and reader on top of the session's interface, then the interface opened.
// USB readers take the variant of the block framing that reads whole frames.
Result Attach(KestrelSession& session, std::unique_ptr<comm::CommInterface> comm,
              int32_t readerType, bool usb = false) {
    session.commInterface = std::move(comm);
    if (usb) {
        session.linkProtocol =
            std::make_unique<link::UsbBlockFramingProtocol>(*session.commInterface);
    } else {
        session.linkProtocol = std::make_unique<link::BlockFramingProtocol>(*session.commInterface);
    }
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
    if (interfaceType != INTERFACE_RS232 && interfaceType != INTERFACE_USB &&
        interfaceType != INTERFACE_TCP) {
        return KESTREL_ERR_INTERFACE_NOT_SUPPORTED;
    }
    if (readerName == nullptr) return KESTREL_ERR_NO_READER_NAME;

    std::unique_ptr<comm::CommInterface> comm;
    Result r = KESTREL_OK;
    switch (interfaceType) {
        case INTERFACE_RS232:
            r = BuildRs232(readerName, param, comm);
            break;
        case INTERFACE_USB:
            r = BuildUsb(readerName, readerType, param, comm);
            break;
        default:
            r = BuildTcp(readerName, comm);
            break;
    }
    if (r != KESTREL_OK) return r;
    return Attach(session, std::move(comm), readerType, interfaceType == INTERFACE_USB);
}

Result ConnectWith(KestrelSession& session, std::unique_ptr<comm::CommInterface> comm,
                   int32_t readerType) {
    Teardown(session);
    if (!comm) return KESTREL_ERR_WRONG_PARAMETER;
    return Attach(session, std::move(comm), readerType);
}

}  // namespace kestrel::api
