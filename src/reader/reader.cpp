#include "reader/reader.h"

namespace kestrel::reader {

Reader::Reader(link::LinkProtocol& link)
    : link_(link),
      command_(std::make_unique<ReaderCommand>()),
      exchangeTimeOut_(link.GetReadTimeOut()) {}

Reader::~Reader() = default;

Result Reader::SetTimeOut(int32_t timeOutMs, int32_t* previous) {
    if (previous != nullptr) *previous = exchangeTimeOut_;
    exchangeTimeOut_ = timeOutMs;
    return KESTREL_OK;
}

ReaderCommand& Reader::Begin(uint8_t code) {
    command_->Clear();
    command_->SetCode(code);
    return *command_;
}

Result Reader::Exchange() {
    if (Result r = command_->RequestError(); r != KESTREL_OK) return r;
    return link_.Exchange(*command_, exchangeTimeOut_, exchangeTimeOut_);
}

Result Reader::Finish() {
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    return command_->GetStatus();
}

}  // namespace kestrel::reader
