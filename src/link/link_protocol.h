// Framing layer between the reader objects and the byte transport.
#pragma once

#include <cstdint>

#include "KestrelAPI.h"
#include "common/result.h"

namespace kestrel::reader {
class ReaderCommand;
}

namespace kestrel::link {

// Carries one ReaderCommand to the reader and its answer back.
class LinkProtocol {
  public:
    static constexpr int32_t kDefaultTimeOutMs = 2000;

    virtual ~LinkProtocol() = default;

    // One request and its response. 0 when a well-formed answer came back (the reader's own
    // verdict is then in the command's status); a transport or framing failure otherwise, in
    // which case the command is left as it was.
    virtual Result Exchange(reader::ReaderCommand& command, int32_t readTimeOutMs,
                            int32_t writeTimeOutMs) {
        return Transceive(command, readTimeOutMs, writeTimeOutMs);
    }
    // Time-outs back to their defaults, numbering from 0, and the interface reopened.
    virtual Result Reset() = 0;
    virtual int32_t SetReadTimeOut(int32_t ms) = 0;
    virtual int32_t GetReadTimeOut() const = 0;
    virtual int32_t SetWriteTimeOut(int32_t ms) = 0;
    virtual int32_t GetWriteTimeOut() const = 0;
    virtual Result Transceive(reader::ReaderCommand& command, int32_t readTimeOutMs,
                              int32_t writeTimeOutMs) = 0;

    // Frame log callbacks; either may be null.
    void SetLogMethods(uintptr_t context, LogMethod sendLog, LogMethod receiveLog) {
        logContext_ = context;
        sendLog_ = sendLog;
        receiveLog_ = receiveLog;
    }

  protected:
    void LogSent(const uint8_t* frame, size_t length) const { Log(sendLog_, frame, length); }
    void LogReceived(const uint8_t* frame, size_t length) const { Log(receiveLog_, frame, length); }

  private:
    void Log(LogMethod method, const uint8_t* frame, size_t length) const {
        if (method != nullptr) method(logContext_, frame, static_cast<int32_t>(length));
    }

    uintptr_t logContext_ = 0;
    LogMethod sendLog_ = nullptr;
    LogMethod receiveLog_ = nullptr;
};

}  // namespace kestrel::link
