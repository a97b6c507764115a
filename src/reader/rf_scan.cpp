// The RF-scan reader's own commands.
#include "reader/standard_reader.h"

namespace kestrel::reader {

Result RfScanReader::SetRFScanMode(uint8_t on) {
    Begin(on != 0 ? kCmdSetRFScanOn : kCmdSetRFScanOff);
    return Finish();
}

Result RfScanReader::GetRFScanMode(uint8_t* state) {
    if (state == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    Begin(kCmdGetRFScanMode);
    if (Result r = Exchange(); r != KESTREL_OK) return r;
    if (command_->ResponseSize() != 1) return KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT;
    *state = command_->ResponseData()[0];
    return KESTREL_OK;
}

}  // namespace kestrel::reader
