// DESFire file contents: data of standard and backup files, values, records, and the commit
// or abort of a transaction. Data travels plain, MACed or enciphered (CommMode 0, 1, 3) under
// the session key that AuthKey handed out; MAC and CRC cover the data bytes only, never the
// command header.
#pragma once

#include <cstdint>

#include "common/result.h"
#include "desfire/crypto.h"
#include "desfire/exchange.h"

namespace kestrel::desfire {

// Native command codes.
constexpr uint8_t kCmdWriteData = 0x3D;
constexpr uint8_t kCmdWriteRecord = 0x3B;
constexpr uint8_t kCmdReadData = 0xBD;
constexpr uint8_t kCmdGetValue = 0x6C;
constexpr uint8_t kCmdCredit = 0x0C;
constexpr uint8_t kCmdDebit = 0xDC;
constexpr uint8_t kCmdLimitedCredit = 0x1C;
constexpr uint8_t kCmdReadRecords = 0xBB;
constexpr uint8_t kCmdClearRecordFile = 0xEB;
constexpr uint8_t kCmdCommitTransaction = 0xC7;
constexpr uint8_t kCmdAbortTransaction = 0xA7;

// Operations of ChangeValue.
enum ValueOperation : uint8_t {
    kCredit = 0,
    kDebit = 1,
    kLimitedCredit = 2,
};

// Frames of a write: the first carries an 8-byte header (command, file number, offset and
// length on 3 bytes each) and up to 52 payload bytes, each continuation 0xAF and up to 59.
constexpr size_t kWriteHeaderLength = 8;
constexpr size_t kWriteFrameLength = 60;
constexpr size_t kFirstFramePayload = kWriteFrameLength - kWriteHeaderLength;
constexpr size_t kContinuationPayload = kWriteFrameLength - 1;

// Writes `length` bytes of `data` at `offset` of a data file (kCmdWriteData) or as a record
// (kCmdWriteRecord). The payload is the data itself (mode 0), the data and its MAC (mode 1) or
// the cryptogram of the data, its CRC and padding (mode 3); the length field is the plain
// length. The payload goes out in frames of kWriteFrameLength bytes, each of which the card
// must answer with its status byte alone (KESTREL_ERR_WRONG_ANSWER_LENGTH otherwise): 0x00
// ends the write, 0xAF asks for the next frame (the lone byte 0xAF once the payload is used
// up), anything else is 0xA100 + status.
// Before anything is sent: KESTREL_ERR_DF_NO_SESSION_KEY (mode not 0 and no key), then
// KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS (mode not 0, 1 or 3), KESTREL_ERR_WRONG_PARAMETER
// for NULL data with a non-zero length.
Result WriteChunked(const DesfireCard& card, uint8_t command, uint8_t fileNo, CommMode mode,
                    int32_t offset, uint32_t length, const uint8_t* data, const uint8_t* key);

// Reads *length bytes at `offset` of a data file. The whole answer is collected, whatever its
// length. Mode 0 takes it as it is; mode 1 checks and drops the MAC (KESTREL_ERR_DF_BAD_MAC);
// mode 3 deciphers it and checks the CRC over exactly *length bytes (KESTREL_ERR_DF_BAD_CRC,
// also when the CRC is not among the received whole blocks). min(data length, *length) bytes
// go to `buffer` and *length receives the data length. A requested length of 0 reads the
// whole file in mode 0 (nothing copied, the length reported) and fails in modes 1 and 3
// (BAD_MAC / BAD_CRC) before anything is sent, as the protected length could not be checked.
Result ReadData(const DesfireCard& card, uint8_t fileNo, CommMode mode, int32_t offset,
                uint32_t* length, uint8_t* buffer, const uint8_t* key);

// The value of a value file: data bytes 0-3, least significant first (in mode 0 the answer's
// length is not checked; missing bytes count as zero).
Result GetValue(const DesfireCard& card, uint8_t fileNo, CommMode mode, uint32_t* value,
                const uint8_t* key);

// Credit, debit or limited credit of `amount` (4 bytes, protected as WriteChunked's data).
// KESTREL_ERR_DF_BAD_OPERATION_ID for another operation, checked before the mode.
Result ChangeValue(const DesfireCard& card, uint8_t fileNo, CommMode mode, int32_t amount,
                   uint8_t operation, const uint8_t* key);

// Reads *count records (0: all) from record `offset` of a record file, of `recordSize` bytes
// each. The data is a whole number of records: in mode 0 all data received; in mode 1 the
// data before the 4-byte MAC; in mode 3 the multiple of the record size whose CRC and zero
// padding make up exactly the received length and check (the shortest such: a longer one
// whose end lies in the padding would check too, as data followed by its CRC has a CRC of 0). It
// goes to `buffer` and *count receives data length / record size. When *count is not 0, an answer
// holding more than *count records is KESTREL_ERR_WRONG_ANSWER_LENGTH (the buffer holds only that
// many). `length`, when not null, holds the room in `buffer` on entry (data that does not fit is
// KESTREL_ERR_READING_TOO_MUCH, with nothing written) and receives the data length; without it
// the caller trusts the card to send no more than `buffer` holds. KESTREL_ERR_WRONG_PARAMETER
// for a record size of 0, a NULL count, or a NULL buffer with room, before anything is sent.
Result ReadRecords(const DesfireCard& card, uint8_t fileNo, CommMode mode, int32_t offset,
                   uint32_t* count, uint8_t* buffer, uint32_t* length, uint32_t recordSize,
                   const uint8_t* key);

// 0xEB and the file number; 0xC7; 0xA7.
Result ClearRecords(const DesfireCard& card, uint8_t fileNo);
Result Commit(const DesfireCard& card);
Result Abort(const DesfireCard& card);

// Reads in modes 1 and 3 check, before anything is sent: KESTREL_ERR_DF_NO_SESSION_KEY for a
// NULL key, then KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS for a mode other than 0, 1 and 3.
// On every failure the caller's buffers and out arguments stay unwritten.

}  // namespace kestrel::desfire
