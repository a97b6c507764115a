#include "reader/reader.h"

#include "platform/sleep.h"

namespace kestrel::reader {

Reader::Reader(link::LinkProtocol& link)
    : link_(link), command_(std::make_unique<link::ReaderCommand>()), pause_(platform::SleepMs) {}

Reader::~Reader() = default;

Result Reader::SetTimeOut(int32_t timeOutMs, int32_t* previous) {
    if (previous != nullptr) *previous = exchangeTimeOut_;
    exchangeTimeOut_ = timeOutMs;
    return KESTREL_OK;
}

link::ReaderCommand& Reader::Begin(uint8_t code) {
    command_->Clear();
    command_->SetCode(code);
    return *command_;
}

Result Reader::Exchange(int32_t timeOutMs) {
    if (Result r = command_->RequestError(); r != KESTREL_OK) return r;
    return link_.Exchange(*command_, static_cast<uint32_t>(timeOutMs));
}

Result Reader::ShortAnswer() const {
    const Result status = Status();
    return status != KESTREL_OK ? status : KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
}

Result Reader::Finish() {
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    return Status();
}

}  // namespace kestrel::reader
