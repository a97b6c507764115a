#include "reader/reader_command.h"

namespace kestrel::reader {

void ReaderCommand::Clear() {
    request_.Clear();
    response_.Clear();
    requestError_ = KESTREL_OK;
}

}  // namespace kestrel::reader
