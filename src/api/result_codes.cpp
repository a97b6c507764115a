// The library's result-code texts, one sorted table per range.
#include "api/result_codes.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "KestrelAPI.h"

namespace kestrel::api {
namespace {

struct Row {
    int32_t code;
    const char* text;
};

// Serial line; the USB interface reports its read and write failures here too.
constexpr Row kRs232Rows[] = {
    {KESTREL_ERR_RS232_INVALID_PORT, "RS232 ERROR: invalid port number is set"},
    {KESTREL_ERR_RS232_INVALID_BAUD_RATE, "RS232 ERROR: invlaid baud rate is set"},
    {KESTREL_ERR_RS232_WRITE, "RS232 ERROR: write failuture"},
    {KESTREL_ERR_RS232_READ, "RS232 ERROR: read failuture"},
    {KESTREL_ERR_RS232_PARITY, "RS232 ERROR: parity error"},
    {KESTREL_ERR_RS232_FLUSH, "RS232 ERROR: can not flush COM buffers"},
    {KESTREL_ERR_RS232_OPEN, "RS232 ERROR: can not open the port"},
    {KESTREL_ERR_RS232_PORT_IN_USE, "RS232 ERROR: port is already in use"},
    {KESTREL_ERR_RS232_CONFIGURE, "RS232 ERROR: can not configure the port"},
};

constexpr Row kUsbRows[] = {
    {KESTREL_ERR_USB_NO_HID_NODE, "USB ERROR: PnP node for HID devices was not found"},
    {KESTREL_ERR_USB_DEVICE_NOT_FOUND, "USB ERROR: device was not found"},
    {KESTREL_ERR_USB_DEVICE_NOT_FOUND_2, "USB ERROR: device was not found"},
    {KESTREL_ERR_USB_PARSED_DATA_CORRUPTED, "USB ERROR: device prased data was corrupted"},
    {KESTREL_ERR_USB_NO_DEVICE_INFO, "USB ERROR: no device info was found"},
};

// Messages of a DLE/STX link protocol. Only 5024 and 5025 are produced (mapped from the
// reader's status byte); the others keep their texts for codes an application may hold.
constexpr Row kDleStxRows[] = {
    {KESTREL_ERR_LINK_WRONG_CRC_ALGORITHM, "wrong crc algorithem"},
    {KESTREL_ERR_LINK_WRONG_NR_SIZE, "wrong NR size"},
    {KESTREL_ERR_LINK_BAD_RX_TIME, "bad rx time"},
    {KESTREL_ERR_LINK_BAD_TX_TIME, "bad tx time"},
    {KESTREL_ERR_LINK_NO_DLE, "no DLE"},
    {KESTREL_ERR_LINK_NO_STX, "no STX"},
    {KESTREL_ERR_LINK_TOO_LONG_DATA, "too long data received"},
    {KESTREL_ERR_LINK_UNEXPECTED_DATA, "unexpected data received"},
    {KESTREL_ERR_LINK_PROTOCOL_OVERFLOW, "protocol overflow"},
    {KESTREL_ERR_LINK_CRC, "CRC error"},
};

// Messages of a TLP224 link protocol. Only 6030 is produced: a DESFire answer of the wrong
// length. Its text is the bare prefix, trailing blank included.
constexpr Row kTlp224Rows[] = {
    {KESTREL_ERR_TLP224_UNKNOWN_COMMAND, "TLP224 ERROR: unknown command send"},
    {KESTREL_ERR_TLP224_DRIVER_LIMIT, "TLP224 ERROR: driver limit error"},
    {KESTREL_ERR_TLP224_BAD_ARGUMENT, "TLP224 ERROR: argument is incorrect"},
    {KESTREL_ERR_TLP224_PROTOCOL, "TLP224 ERROR: general protocol error"},
    {KESTREL_ERR_TLP224_WRONG_ATTRIBUTE, "TLP224 ERROR: attribute is wrong"},
    {KESTREL_ERR_TLP224_UNKNOWN_INSTRUCTION, "TLP224 ERROR: unknown instruction"},
    {KESTREL_ERR_TLP224_MESSAGE_TOO_LONG, "TLP224 ERROR: message is too long"},
    {KESTREL_ERR_TLP224_CANNOT_READ_CARD, "TLP224 ERROR: can not read the card"},
    {KESTREL_ERR_TLP224_CARD_OFF, "TLP224 ERROR: card is off"},
    {KESTREL_ERR_TLP224_CARD_WRONG_VOLTAGE, "TLP224 ERROR: card wrong voltage"},
    {KESTREL_ERR_TLP224_PROTOCOL_NOT_APPLICABLE, "TLP224 ERROR: protocol is not applicable"},
    {KESTREL_ERR_TLP224_WRONG_LENGTH, "TLP224 ERROR: wrong length used"},
    {KESTREL_ERR_TLP224_WRONG_PARAMETER_COUNT, "TLP224 ERROR: wrong number of parameters"},
    {KESTREL_ERR_TLP224_UNKNOWN_CARD, "TLP224 ERROR: unknown card"},
    {KESTREL_ERR_TLP224_CARD_MUTE, "TLP224 ERROR: card is mute"},
    {KESTREL_ERR_TLP224_CARD_PARITY, "TLP224 ERROR: card parity error"},
    {KESTREL_ERR_TLP224_CARD_PROCEDURE_BYTE, "TLP224 ERROR: card procedure wrong byte"},
    {KESTREL_ERR_TLP224_TRANSFER_INTERRUPTED, "TLP224 ERROR: transfer to card interrupted"},
    {KESTREL_ERR_TLP224_CARD_REMOVED, "TLP224 ERROR: card has been removed"},
    {KESTREL_ERR_TLP224_INTERFERENCE, "TLP224 ERROR: electrical interfrence"},
    {KESTREL_ERR_TLP224_NO_CARD, "TLP224 ERROR: no card"},
    {KESTREL_ERR_TLP224_CANNOT_READ_CARD_2, "TLP224 ERROR: can not read the card"},
    {KESTREL_ERR_TLP224_TRANSFER_FAILED, "TLP224 ERROR: tranfer failed"},
    {KESTREL_ERR_TLP224_WRITE_FAILED, "TLP224 ERROR: write failed"},
    {KESTREL_ERR_TLP224_RESPONSE_TOO_LONG, "TLP224 ERROR: reader response is too long"},
    {KESTREL_ERR_TLP224_READER_MUTE, "TLP224 ERROR: reader is mute"},
    {KESTREL_ERR_TLP224_READER_STATUS, "TLP224 ERROR: incorrect reader status"},
    {KESTREL_ERR_TLP224_NONFATAL, "TLP224 ERROR: nonfatal error"},
    {KESTREL_ERR_TLP224_CHAINING, "TLP224 ERROR: chainig error"},
    {KESTREL_ERR_WRONG_ANSWER_LENGTH, "TLP224 ERROR: "},
    {KESTREL_ERR_TLP224_WRONG_NUMBER, "TLP224 ERROR: wrong number"},
    {KESTREL_ERR_TLP224_CRC, "TLP224 ERROR: CRC is wrong"},
};

constexpr Row kBlockFramingRows[] = {
    {KESTREL_ERR_FRAME_CRC, "BlockFramingProtocol: wrong CRC"},
    {KESTREL_ERR_FRAME_BAD_FRAME, "BlockFramingProtocol: bad frame"},
    {KESTREL_ERR_FRAME_CARD_TIMEOUT, "BlockFramingProtocol: card access time-out"},
    {KESTREL_ERR_FRAME_COLLISION, "BlockFramingProtocol: collision occured"},
    {KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, "BlockFramingProtocol: response is too short"},
    {KESTREL_ERR_FRAME_RESPONSE_TOO_LONG, "BlockFramingProtocol: response is too long"},
};

// 8033 and 8035 share one text. 8042 and 8047 have no row and take the range's text.
constexpr Row kApiRows[] = {
    {KESTREL_ERR_NO_CARD, "ERROR: no card in range"},
    {KESTREL_ERR_AUTH_NOT_ALLOWED, "ERROR: authorization is not allowed"},
    {KESTREL_ERR_WRONG_CARD, "ERROR: wrong card or card replaced"},
    {KESTREL_ERR_AUTH_EXPECTED, "ERROR: previous authorization expected"},
    {KESTREL_ERR_CARD_BIT, "ERROR: card bit"},
    {KESTREL_ERR_CARD_BYTE, "ERROR: card byte"},
    {KESTREL_ERR_IDLE_STATE_CARD, "ERROR: idle state card"},
    {KESTREL_ERR_WRITE_FAILED, "ERROR: write failed"},
    {KESTREL_ERR_AFTER_POLLING, "ERROR: after pooling action"},
    {KESTREL_ERR_NO_SESSION, "ERROR: no session"},
    {KESTREL_ERR_INVALID_SESSION, "ERROR: invalid session used"},
    {KESTREL_ERR_NO_DIRECTORY_KEYS, "ERROR: no directory keys set for the session"},
    {KESTREL_ERR_NOT_ENOUGH_MEMORY, "ERROR: not enough memory"},
    {KESTREL_ERR_INVALID_DIRECTORY_PLUGIN, "ERROR: directory plugin is not valid"},
    {KESTREL_ERR_NO_MAD, "ERROR: no mad found on the card"},
    {KESTREL_ERR_MAD_MONO_APPLICATION, "ERROR: mad is mono application"},
    {KESTREL_ERR_APPLICATION_EXISTS, "ERROR: application already exists"},
    {KESTREL_ERR_APPLICATION_NO_SECTORS, "ERROR: application with no sectors is used"},
    {KESTREL_ERR_NO_UNUSED_SECTOR_KEYS, "ERROR: no unused sectors keys set for the session"},
    {KESTREL_ERR_NO_APPLICATION_KEYS, "ERROR: no keys provided for the application"},
    {KESTREL_ERR_NO_APPLICATIONS, "ERROR: no applications on the card"},
    {KESTREL_ERR_READER_NOT_SUPPORTED, "ERROR: this reader is not supported"},
    {KESTREL_ERR_COMMAND_NOT_SUPPORTED, "ERROR: this command is not supported"},
    {KESTREL_ERR_NO_READER_NAME, "ERROR: no reader name is provided"},
    {KESTREL_ERR_NO_READER_TYPE, "ERROR: no reader type is provided"},
    {KESTREL_ERR_NOT_CONNECTED, "ERROR: currently no reader is connected"},
    {KESTREL_ERR_INTERFACE_NOT_SUPPORTED, "ERROR: this interface is not supported"},
    {KESTREL_ERR_INVALID_KEYS, "ERROR: keys are invalid"},
    {KESTREL_ERR_NO_READER, "ERROR: no reader"},
    {KESTREL_ERR_VALUE_CORRUPTED, "ERROR: value block has corrupted value bytes"},
    {KESTREL_ERR_WRONG_PARAMETER, "ERROR: wrong prameter is used"},
    {KESTREL_ERR_NO_BUFFER, "ERROR: no buffer"},
    {KESTREL_ERR_VALUE_ADDRESS_CORRUPTED, "ERROR: value block has corrupted address bytes"},
    {KESTREL_ERR_READING_TOO_MUCH, "ERROR: reading too much data"},
    {KESTREL_ERR_VALUE_ADDRESS_MISMATCH, "ERROR: value block has corrupted address bytes"},
    {KESTREL_ERR_UNKNOWN_COMMAND, "ERROR: unknown command"},
    {KESTREL_ERR_UNKNOWN_CARD, "ERROR: unknown card in range"},
    {KESTREL_ERR_READER_TIMEOUT, "ERROR: reponse time out for reader"},
    {KESTREL_ERR_INVALID_DATA_ACL, "ERROR: invalid ACL for data blocks"},
    {KESTREL_ERR_INVALID_TRAILER_ACL, "ERROR: invalid ACL for trailer"},
    {KESTREL_ERR_SOCKET, "ERROR: socket error"},
    {KESTREL_ERR_INVALID_SECTOR, "ERROR: invalid sector offset given"},
    {KESTREL_ERR_OPERATION_ABORTED, "ERROR: operation aborted"},
    {KESTREL_ERR_ISO14443_4_NOT_SUPPORTED, "ERROR: ISO 14443 part 4 is not supported"},
    {KESTREL_ERR_ISO14443_4_FRAME_TOO_SMALL, "ERROR: ISO 14443 part 4 frame is too small"},
};

// 0xA100 + s: status byte s returned by the card; 0xA2xx: the library's own failures.
constexpr Row kDesfireRows[] = {
    {KESTREL_ERR_DF_NO_CHANGES, "DESFire error: no changes"},
    {KESTREL_ERR_DF_OUT_OF_EEPROM, "DESFire error: out of EEPROM"},
    {KESTREL_ERR_DF_ILLEGAL_COMMAND, "DESFire error: illegal command code"},
    {KESTREL_ERR_DF_INTEGRITY, "DESFire error: integrity error"},
    {KESTREL_ERR_DF_NO_SUCH_KEY, "DESFire error: no such key"},
    {KESTREL_ERR_DF_LENGTH, "DESFire error: length error"},
    {KESTREL_ERR_DF_PERMISSION_DENIED, "DESFire error: permission denied"},
    {KESTREL_ERR_DF_PARAMETER, "DESFire error: parameter error"},
    {KESTREL_ERR_DF_APPLICATION_NOT_FOUND, "DESFire error: application not found"},
    {KESTREL_ERR_DF_APPLICATION_INTEGRITY, "DESFire error: application integrity error"},
    {KESTREL_ERR_DF_AUTHENTICATION, "DESFire error: authentication error"},
    {KESTREL_ERR_DF_ADDITIONAL_FRAME, "DESFire error: additional frame follows"},
    {KESTREL_ERR_DF_BOUNDARY, "DESFire error: boundary error"},
    {KESTREL_ERR_DF_PICC_INTEGRITY, "DESFire error: PICC integrity error"},
    {KESTREL_ERR_DF_COMMAND_ABORTED, "DESFire error: command aborted"},
    {KESTREL_ERR_DF_PICC_DISABLED, "DESFire error: PICC disabled"},
    {KESTREL_ERR_DF_COUNT, "DESFire error: count error"},
    {KESTREL_ERR_DF_DUPLICATE, "DESFire error: duplicate error"},
    {KESTREL_ERR_DF_EEPROM, "DESFire error: EEPROM error"},
    {KESTREL_ERR_DF_FILE_NOT_FOUND, "DESFire error: file not found"},
    {KESTREL_ERR_DF_FILE_INTEGRITY, "DESFire error: file integrity error"},
    {KESTREL_ERR_DF_NO_DESFIRE_SESSION, "DESFire error: no DESFire session"},
    {KESTREL_ERR_DF_NO_SESSION_KEY, "DESFire error: no session key"},
    {KESTREL_ERR_DF_BAD_MAC, "DESFire error: bad MAC"},
    {KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS, "DESFire error: bad communication settings"},
    {KESTREL_ERR_DF_BAD_CRC, "DESFire error: bad CRC"},
    {KESTREL_ERR_DF_BAD_OPERATION_ID, "DESFire error: bad operation ID"},
    {KESTREL_ERR_DF_UNKNOWN, "DESFire error: unknown error"},
};

struct Range {
    int32_t first;  // inclusive
    int32_t last;   // inclusive
    const Row* rows;
    size_t rowCount;
    const char* fallback;  // for a code of the range without a row
};

template <size_t N>
constexpr Range MakeRange(int32_t first, int32_t last, const Row (&rows)[N], const char* fallback) {
    return Range{first, last, rows, N, fallback};
}

constexpr Range kRanges[] = {
    MakeRange(1001, 1998, kRs232Rows, "RS232 ERROR: unknown error"),
    MakeRange(3001, 3998, kUsbRows, "ERROR: unknown error"),
    MakeRange(5001, 5998, kDleStxRows, "unknown error"),
    MakeRange(6001, 6998, kTlp224Rows, "TLP224 ERROR: unknown error"),
    MakeRange(7001, 7998, kBlockFramingRows, "BlockFramingProtocol: unknown error"),
    MakeRange(8001, 8998, kApiRows, "ERROR: unknown error"),
    MakeRange(0xA001, 0xAFFE, kDesfireRows, "DESFire error: unknown error"),
};

// The lookup below relies on each table being strictly ascending and inside its range.
constexpr bool IsWellFormed(const Range& range) {
    for (size_t i = 0; i < range.rowCount; ++i) {
        const int32_t code = range.rows[i].code;
        if (code < range.first || code > range.last) return false;
        if (i > 0 && range.rows[i - 1].code >= code) return false;
        if (range.rows[i].text == nullptr) return false;
    }
    return true;
}

constexpr bool AllWellFormed() {
    for (const Range& range : kRanges) {
        if (!IsWellFormed(range)) return false;
    }
    for (size_t i = 1; i < std::size(kRanges); ++i) {
        if (kRanges[i - 1].last >= kRanges[i].first) return false;
    }
    return true;
}

static_assert(AllWellFormed(), "result-code tables must be sorted, disjoint and in range");

}  // namespace

const char* TableText(int32_t code) {
    for (const Range& range : kRanges) {
        if (code < range.first || code > range.last) continue;
        const Row* end = range.rows + range.rowCount;
        const Row* row = std::lower_bound(range.rows, end, code,
                                          [](const Row& r, int32_t c) { return r.code < c; });
        return (row != end && row->code == code) ? row->text : range.fallback;
    }
    return nullptr;
}

}  // namespace kestrel::api
