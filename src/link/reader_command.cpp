#include "link/reader_command.h"

namespace kestrel::link {

void ReaderCommand::Clear() {
    request_.Clear();
    response_.Clear();
    requestError_ = KESTREL_OK;
}

}  // namespace kestrel::link
