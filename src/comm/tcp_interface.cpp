#include "comm/tcp_interface.h"

#include <cstring>

#include "common/parse.h"

namespace kestrel::comm {

TcpInterface::TcpInterface(std::unique_ptr<platform::TcpSocket> socket)
    : socket_(std::move(socket)) {}

TcpInterface::~TcpInterface() = default;

Result TcpInterface::SetAddress(const char* readerName) {
    if (readerName == nullptr) return -1;
    const char* colon = std::strchr(readerName, ':');
    if (colon == nullptr) return -1;
    address_.assign(readerName, colon);
    hasAddress_ = true;
    port_ = static_cast<uint16_t>(ParseDecimal(colon + 1));
    return KESTREL_OK;
}

Result TcpInterface::Open() {
    if (!hasAddress_) return KESTREL_ERR_NO_READER_NAME;
    socket_->Close();
    if (int error = socket_->Create(); error != 0) return error;

    uint32_t address = 0;
    if (!platform::ParseIPv4(address_.c_str(), &address)) {
        socket_->Close();
        return platform::InvalidAddressError();
    }
    bool inProgress = false;
    int error = socket_->StartConnect(address, port_, &inProgress);
    if (error == 0 && inProgress) error = socket_->FinishConnect(kConnectTimeOutMs);
    if (error != 0) socket_->Close();
    return error;
}

Result TcpInterface::Close() {
    socket_->Close();
    return KESTREL_OK;
}

Result TcpInterface::Purge() {
    uint8_t scratch[256];
    while (socket_->IsOpen() && socket_->Receive(scratch, sizeof scratch).count > 0) {
    }
    return KESTREL_OK;
}

Result TcpInterface::Write(const uint8_t* buffer, uint32_t length, uint32_t* written,
                           uint32_t timeOutMs) {
    if (!socket_->IsOpen()) return KESTREL_ERR_SOCKET;
    uint32_t sent = 0;
    while (sent < length) {
        const platform::SocketIo io = socket_->Send(buffer + sent, length - sent);
        if (io.count > 0) {
            sent += static_cast<uint32_t>(io.count);
            if (sent < length && !socket_->WaitWritable(timeOutMs)) return KESTREL_ERR_SOCKET;
        } else if (io.wouldBlock) {
            if (!socket_->WaitWritable(timeOutMs)) return platform::TcpSocket::WouldBlockError();
        } else {
            return io.error != 0 ? io.error : KESTREL_ERR_SOCKET;
        }
    }
    if (written != nullptr) *written = sent;
    return KESTREL_OK;
}

Result TcpInterface::Read(uint8_t* buffer, uint32_t length, uint32_t* read, uint32_t timeOutMs) {
    if (!socket_->IsOpen()) return KESTREL_ERR_SOCKET;
    uint32_t received = 0;
    while (received < length) {
        const platform::SocketIo io = socket_->Receive(buffer + received, length - received);
        if (io.count > 0) {
            received += static_cast<uint32_t>(io.count);
        } else if (io.count == 0) {
            return KESTREL_ERR_SOCKET;
        } else if (io.wouldBlock) {
            if (!socket_->WaitReadable(timeOutMs)) return platform::TcpSocket::WouldBlockError();
        } else {
            return io.error;
        }
    }
    if (read != nullptr) *read = received;
    return KESTREL_OK;
}

}  // namespace kestrel::comm
