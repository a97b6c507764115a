#include "link/cmd_buffer.h"

#include <cstring>
#include <new>

namespace kestrel::link {

CmdBuffer::CmdBuffer() {
    Allocate(kStep);
}

void CmdBuffer::Allocate(uint32_t capacity) {
    data_.reset(new (std::nothrow) uint8_t[capacity]());
    capacity_ = data_ ? capacity : 0;
    readPos_ = 0;
    writePos_ = 0;
}

void CmdBuffer::Clear() {
    if (data_ && capacity_ == kStep) {
        std::memset(data_.get(), 0, capacity_);
        readPos_ = 0;
        writePos_ = 0;
        return;
    }
    Allocate(kStep);
}

Result CmdBuffer::Reserve(uint32_t extra) {
    if (!data_) return KESTREL_ERR_NO_BUFFER;
    const uint64_t needed = static_cast<uint64_t>(writePos_) + extra;
    if (needed <= capacity_) return KESTREL_OK;
    const uint64_t grown = (needed + kStep - 1) / kStep * kStep;
    if (grown > UINT32_MAX) return KESTREL_ERR_NO_BUFFER;
    std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[grown]());
    if (!bigger) return KESTREL_ERR_NO_BUFFER;
    std::memcpy(bigger.get(), data_.get(), capacity_);
    data_ = std::move(bigger);
    capacity_ = static_cast<uint32_t>(grown);
    return KESTREL_OK;
}

Result CmdBuffer::AppendByte(uint8_t value) {
    return AppendBytes(&value, 1);
}

Result CmdBuffer::AppendWord(uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return AppendBytes(bytes, sizeof bytes);
}

Result CmdBuffer::AppendDword(uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return AppendBytes(bytes, sizeof bytes);
}

Result CmdBuffer::AppendBytes(const void* bytes, uint32_t count) {
    if (Result r = Reserve(count); r != KESTREL_OK) return r;
    if (count == 0) return KESTREL_OK;
    std::memcpy(data_.get() + writePos_, bytes, count);
    writePos_ += count;
    return KESTREL_OK;
}

Result CmdBuffer::ReadByte(uint8_t* out) {
    if (!data_) return KESTREL_ERR_NO_BUFFER;
    if (Unread() == 0) return KESTREL_ERR_READING_TOO_MUCH;
    *out = data_[readPos_++];
    return KESTREL_OK;
}

Result CmdBuffer::ReadWord(uint16_t* out) {
    uint8_t low = 0;
    uint8_t high = 0;
    if (Result r = ReadByte(&low); r != KESTREL_OK) return r;
    if (Result r = ReadByte(&high); r != KESTREL_OK) return r;
    *out = static_cast<uint16_t>(low | (high << 8));
    return KESTREL_OK;
}

Result CmdBuffer::ReadBytes(uint8_t* out, uint32_t count) {
    if (!data_) return KESTREL_ERR_NO_BUFFER;
    const uint32_t available = Unread();
    const uint32_t n = count < available ? count : available;
    if (n > 0) std::memcpy(out, data_.get() + readPos_, n);
    readPos_ += n;
    return n == count ? KESTREL_OK : KESTREL_ERR_READING_TOO_MUCH;
}

}  // namespace kestrel::link
