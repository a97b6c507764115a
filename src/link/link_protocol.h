// Framing layer between the reader objects and the byte transport.
#pragma once

#include <cstddef>
#include <cstdint>

#include "KestrelAPI.h"
#include "common/result.h"
#include "link/reader_command.h"

namespace kestrel::link {

// Carries one ReaderCommand to the reader and its answer back.
class LinkProtocol {
  public:
    virtual ~LinkProtocol() = default;

    // One request and its response, each way within `timeOutMs` (the caller's time-out for
    // this exchange; the link keeps none of its own). 0 when a well-formed answer came back
    // (the reader's own verdict is then in the command's status byte); a transport or framing
    // failure otherwise, in which case the command is left as it was.
    virtual Result Exchange(ReaderCommand& command, uint32_t timeOutMs) = 0;

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
