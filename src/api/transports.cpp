#include "api/transports.h"

#include <cstring>

#include "comm/rs232_interface.h"
#include "comm/tcp_interface.h"
#include "comm/usb_hid_interface.h"
#include "common/parse.h"
#include "link/block_framing_protocol.h"
#include "link/usb_block_framing_protocol.h"
#include "platform/serial_lines.h"

namespace kestrel::api {
namespace {

// A device path when the name starts with '/', otherwise the COM port number the name
// carries. The connect parameter is the baud rate.
Result BuildRs232(const char* readerName, int32_t /*readerType*/, uint32_t baudRate,
                  std::unique_ptr<comm::CommInterface>& out) {
    auto rs232 = std::make_unique<comm::Rs232Interface>();
    rs232->SetBaudRate(baudRate);
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

// The reader type is the product id to look for, the number after the name's four-character
// prefix the index among the matching devices (cut to 8 bits). A name of four characters or
// fewer has no index text and selects device 0.
Result BuildUsb(const char* readerName, int32_t readerType, uint32_t /*param*/,
                std::unique_ptr<comm::CommInterface>& out) {
    auto usb = std::make_unique<comm::UsbHidInterface>();
    usb->SetProductId(static_cast<uint32_t>(readerType));
    const bool hasIndex = std::strlen(readerName) > kUsbNamePrefixLength;
    const int32_t index = hasIndex ? ParseDecimal(readerName + kUsbNamePrefixLength) : 0;
    usb->SetDeviceIndex(static_cast<uint8_t>(static_cast<uint32_t>(index)));
    out = std::move(usb);
    return KESTREL_OK;
}

Result BuildTcp(const char* readerName, int32_t /*readerType*/, uint32_t /*param*/,
                std::unique_ptr<comm::CommInterface>& out) {
    auto tcp = std::make_unique<comm::TcpInterface>();
    if (Result r = tcp->SetAddress(readerName); r != KESTREL_OK) return r;
    out = std::move(tcp);
    return KESTREL_OK;
}

// The USB interface hands over whole frames: its link reads each answer at once.
std::unique_ptr<link::LinkProtocol> UsbLink(comm::CommInterface& comm) {
    return std::make_unique<link::UsbBlockFramingProtocol>(comm);
}

Result EnumerateRs232(uint32_t /*productId*/, const comm::ReaderNameSink& sink) {
    comm::EnumerateSerialReaders(platform::ListSerialLines(), sink);
    return KESTREL_OK;
}

Result EnumerateUsb(uint32_t productId, const comm::ReaderNameSink& sink) {
    return comm::EnumerateUsbReaders(productId, comm::CurrentHidBackend(), sink);
}

}  // namespace

std::unique_ptr<link::LinkProtocol> StreamLink(comm::CommInterface& comm) {
    return std::make_unique<link::BlockFramingProtocol>(comm);
}

const Transport kTransports[3] = {
    {INTERFACE_RS232, "RS232 interface", BuildRs232, StreamLink, EnumerateRs232},
    {INTERFACE_USB, "USB interface", BuildUsb, UsbLink, EnumerateUsb},
    {INTERFACE_TCP, "TCP interface", BuildTcp, StreamLink, nullptr},
};

const Transport* FindTransport(int32_t type) {
    for (const Transport& transport : kTransports) {
        if (transport.type == type) return &transport;
    }
    return nullptr;
}

}  // namespace kestrel::api
