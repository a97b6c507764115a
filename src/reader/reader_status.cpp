#include "reader/reader_status.h"

#include "common/trace.h"

namespace kestrel::reader {
namespace {

// The reader's failure statuses: small negative numbers in the status byte.
constexpr struct {
    int8_t status;
    Result result;
} kReaderStatusResults[] = {
    {0, KESTREL_OK},
    {-1, KESTREL_ERR_NO_CARD},
    {-2, KESTREL_ERR_LINK_CRC},
    {-3, KESTREL_ERR_LINK_PROTOCOL_OVERFLOW},
    {-4, KESTREL_ERR_AUTH_NOT_ALLOWED},
    {-5, KESTREL_ERR_RS232_PARITY},
    {-8, KESTREL_ERR_WRONG_CARD},
    {-10, KESTREL_ERR_AUTH_EXPECTED},
    {-11, KESTREL_ERR_CARD_BIT},
    {-12, KESTREL_ERR_CARD_BYTE},
    {-13, KESTREL_ERR_IDLE_STATE_CARD},
    {-20, KESTREL_ERR_AFTER_POLLING},
    {-21, KESTREL_ERR_FRAME_BAD_FRAME},
    {-22, KESTREL_ERR_FRAME_CARD_TIMEOUT},
    {-24, KESTREL_ERR_FRAME_COLLISION},
};

}  // namespace

Result ReaderStatusResult(uint8_t status) {
    for (const auto& entry : kReaderStatusResults) {
        if (entry.status == static_cast<int8_t>(status)) return entry.result;
    }
    KESTREL_TRACE("reader", "status byte %02X has no result of its own: %d", status,
                  KESTREL_ERR_WRITE_FAILED);
    return KESTREL_ERR_WRITE_FAILED;
}

}  // namespace kestrel::reader
