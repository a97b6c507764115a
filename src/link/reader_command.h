// The payload of one frame exchange: the command code and its request bytes going out, the
// reader's status byte and its answer bytes coming back.
#pragma once

#include <cstdint>

#include "link/cmd_buffer.h"

namespace kestrel::link {

class ReaderCommand {
  public:
    void SetCode(uint8_t code) { code_ = code; }
    uint8_t GetCode() const { return code_; }
    // The status byte of the reader's answer frame, as it came; the reader layer gives it a
    // meaning.
    void SetStatusByte(uint8_t status) { status_ = status; }
    uint8_t StatusByte() const { return status_; }

    // Empties the request and the response. A failed append since the last Clear is forgotten
    // too.
    void Clear();

    // Request parameters, little-endian. A failure (no storage) is also remembered and
    // reported by RequestError(), so that an incomplete request is never sent.
    Result PutByte(uint8_t value) { return Note(request_.AppendByte(value)); }
    Result PutWord(uint16_t value) { return Note(request_.AppendWord(value)); }
    Result PutDword(uint32_t value) { return Note(request_.AppendDword(value)); }
    Result PutBytes(const void* bytes, uint32_t count) {
        return Note(request_.AppendBytes(bytes, count));
    }
    Result RequestError() const { return requestError_; }
    const uint8_t* RequestData() const { return request_.Data(); }
    uint32_t RequestSize() const { return request_.Size(); }

    Result AppendResponse(const void* bytes, uint32_t count) {
        return response_.AppendBytes(bytes, count);
    }
    const uint8_t* ResponseData() const { return response_.Data(); }
    uint32_t ResponseSize() const { return response_.Size(); }
    Result GetByte(uint8_t* out) { return response_.ReadByte(out); }
    Result GetWord(uint16_t* out) { return response_.ReadWord(out); }
    Result GetBytes(uint8_t* out, uint32_t count) { return response_.ReadBytes(out, count); }

  private:
    Result Note(Result r) {
        if (r != KESTREL_OK && requestError_ == KESTREL_OK) requestError_ = r;
        return r;
    }

    uint8_t code_ = 0;
    uint8_t status_ = 0;
    Result requestError_ = KESTREL_OK;
    CmdBuffer response_;
    CmdBuffer request_;
};

}  // namespace kestrel::link
