#include "reader/reader.h"

#include "platform/sleep.h"

namespace kestrel::reader {

Reader::Reader(link::LinkProtocol& link)
    : link_(link), command_(std::make_unique<link::ReaderCommand>()), pause_(platform::SleepMs) {}

Reader::~Reader() = default;

// Each key byte becomes two: for each nibble N, in order high then low, the byte
// ((NOT N) << 4) | N. The reader checks that every coded byte carries its nibble twice.
Result Reader::CodeKey(const uint8_t* key, uint8_t* codedKey) {
    if (key == nullptr || codedKey == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    for (uint32_t i = 0; i < kKeyLength; ++i) {
        const uint8_t high = key[i] >> 4;
        const uint8_t low = key[i] & 0x0F;
        codedKey[2 * i] = static_cast<uint8_t>(((~high & 0x0F) << 4) | high);
        codedKey[2 * i + 1] = static_cast<uint8_t>(((~low & 0x0F) << 4) | low);
    }
    return KESTREL_OK;
}

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

Result Reader::Finish() {
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    return Status();
}

}  // namespace kestrel::reader
