// Growable byte buffer with a write end and an independent read cursor.
#pragma once

#include <cstdint>
#include <memory>

#include "common/result.h"

namespace kestrel::link {

// Storage grows in steps of kStep bytes and is zero-filled when allocated. Appends are
// little-endian. Reads never pass the last byte written: they report
// KESTREL_ERR_READING_TOO_MUCH instead. When an allocation fails the buffer has no storage and
// every operation reports KESTREL_ERR_NO_BUFFER.
class CmdBuffer {
  public:
    static constexpr uint32_t kStep = 512;

    CmdBuffer();

    // Empties the buffer and rewinds the read cursor. Storage grown beyond one step is given
    // back, so a long answer does not pin memory for the rest of the connection.
    void Clear();

    const uint8_t* Data() const { return data_.get(); }
    uint32_t Size() const { return writePos_; }
    uint32_t Capacity() const { return capacity_; }
    uint32_t Unread() const { return writePos_ - readPos_; }

    Result AppendByte(uint8_t value);
    Result AppendWord(uint16_t value);
    Result AppendDword(uint32_t value);
    Result AppendBytes(const void* bytes, uint32_t count);

    Result ReadByte(uint8_t* out);
    // Low byte first. With one byte left, that byte is consumed and the read fails.
    Result ReadWord(uint16_t* out);
    // Copies up to `count` bytes; running out first copies what is left and fails.
    Result ReadBytes(uint8_t* out, uint32_t count);

  private:
    Result Reserve(uint32_t extra);
    void Allocate(uint32_t capacity);

    std::unique_ptr<uint8_t[]> data_;
    uint32_t capacity_ = 0;
    uint32_t readPos_ = 0;
    uint32_t writePos_ = 0;
};

}  // namespace kestrel::link
