#include "desfire/data.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "desfire/crypto.h"
#include "desfire/wire.h"

namespace kestrel::desfire {
namespace {

// The key and mode of a protected transfer, checked before anything is sent.
Result CheckProtection(CommMode mode, const uint8_t* key) {
    if (mode == kCommPlain) return KESTREL_OK;
    if (key == nullptr) return KESTREL_ERR_DF_NO_SESSION_KEY;
    if (mode != kCommMaced && mode != kCommEnciphered) {
        return KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS;
    }
    return KESTREL_OK;
}

// The failure of a protected answer that cannot be checked.
Result ProtectionFailure(CommMode mode) {
    return mode == kCommMaced ? KESTREL_ERR_DF_BAD_MAC : KESTREL_ERR_DF_BAD_CRC;
}

// What carries `length` data bytes to the card in `mode`: the data itself, or its protected
// form (DfProtectData: the key, then the mode checked).
Result MakePayload(CommMode mode, const uint8_t* data, size_t length, const uint8_t* key,
                   std::vector<uint8_t>& payload) {
    if (mode != kCommPlain) return DfProtectData(mode, data, length, payload, key);
    payload.assign(data, data + length);
    return KESTREL_OK;
}

// The whole answer of a read; wiped on the way out, as it may hold deciphered data.
struct ReadAnswer {
    ReadAnswer() = default;
    ReadAnswer(const ReadAnswer&) = delete;
    ReadAnswer& operator=(const ReadAnswer&) = delete;
    ~ReadAnswer() {
        if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    }
    std::vector<uint8_t> bytes;
    size_t dataLength = 0;  // the data at the start of `bytes`, once checked
};

// How long the plain data of an enciphered answer is: `exact` bytes when that is not 0, else
// the shortest multiple of `unit` whose CRC and zero padding make up the received length
// exactly and check.
struct PlainLength {
    size_t exact;
    size_t unit;
};

Result FindEnciphered(ReadAnswer& answer, const PlainLength& rule, const uint8_t* key) {
    size_t length = answer.bytes.size();
    const Result r =
        rule.exact != 0
            ? DfUnprotectData(kCommEnciphered, answer.bytes.data(), &length, rule.exact, key)
            : DfUnprotectSearch(answer.bytes.data(), &length, rule.unit, key);
    if (r == KESTREL_OK) answer.dataLength = length;
    return r;
}

// The read path: mode and key checked, the command sent, the whole answer collected and, in
// modes 1 and 3, checked and reduced to its data.
Result ReadProtected(const DesfireCard& card, const uint8_t* command, size_t commandLength,
                     CommMode mode, const uint8_t* key, const PlainLength& rule,
                     ReadAnswer& answer) {
    if (Result r = CheckProtection(mode, key); r != KESTREL_OK) return r;
    if (Result r =
            DfExchangeAlloc(card, command, static_cast<uint16_t>(commandLength), answer.bytes);
        r != KESTREL_OK) {
        return r;
    }
    if (mode == kCommEnciphered) return FindEnciphered(answer, rule, key);
    size_t length = answer.bytes.size();
    if (mode == kCommMaced) {
        if (Result r = DfUnprotectData(kCommMaced, answer.bytes.data(), &length, 0, key);
            r != KESTREL_OK) {
            return r;
        }
    }
    answer.dataLength = length;
    return KESTREL_OK;
}

// Command byte, file number, then two 3-byte numbers (offset and length or count).
void PutFileRange(uint8_t* out, uint8_t command, uint8_t fileNo, uint32_t offset, uint32_t length) {
    out[0] = command;
    out[1] = fileNo;
    PutLittleEndian(PutLittleEndian(out + 2, offset, kSizeLength), length, kSizeLength);
}
constexpr size_t kFileRangeLength = 2 + 2 * kSizeLength;

}  // namespace

// How many continuation frames without payload a write sends before it gives up.
constexpr int kMaxEmptyContinuations = 8;

Result WriteChunked(const DesfireCard& card, uint8_t command, uint8_t fileNo, CommMode mode,
                    int32_t offset, uint32_t length, const uint8_t* data, const uint8_t* key) {
    if (Result r = CheckProtection(mode, key); r != KESTREL_OK) return r;
    if (data == nullptr && length > 0) return KESTREL_ERR_WRONG_PARAMETER;
    std::vector<uint8_t> payload;
    if (Result r = MakePayload(mode, data, length, key, payload); r != KESTREL_OK) return r;

    uint8_t frame[kWriteFrameLength];
    PutFileRange(frame, command, fileNo, static_cast<uint32_t>(offset), length);
    size_t sent = std::min(payload.size(), kFirstFramePayload);
    std::copy(payload.begin(), payload.begin() + sent, frame + kWriteHeaderLength);
    size_t frameLength = kWriteHeaderLength + sent;
    // A card that keeps asking for more after the payload is used up gets a few empty frames,
    // not an endless conversation.
    int emptyFrames = 0;
    for (;;) {
        uint8_t response[8];
        uint16_t responseLength = sizeof response;
        if (Result r = SendNativeCommand(card, frame, static_cast<uint16_t>(frameLength), response,
                                         &responseLength, kCardTimeOutMs);
            r != KESTREL_OK) {
            return r;
        }
        if (responseLength != 1) return KESTREL_ERR_WRONG_ANSWER_LENGTH;
        if (response[0] == kStatusOk) return KESTREL_OK;
        if (response[0] != kStatusAdditionalFrame) return CardStatusResult(response[0]);
        const size_t n = std::min(payload.size() - sent, kContinuationPayload);
        if (n == 0 && ++emptyFrames > kMaxEmptyContinuations) return KESTREL_ERR_OPERATION_ABORTED;
        frame[0] = kCmdAdditionalFrame;
        std::copy(payload.begin() + sent, payload.begin() + sent + n, frame + 1);
        sent += n;
        frameLength = 1 + n;
    }
}

Result ReadData(const DesfireCard& card, uint8_t fileNo, CommMode mode, int32_t offset,
                uint32_t* length, uint8_t* buffer, const uint8_t* key) {
    if (length == nullptr || (buffer == nullptr && *length != 0)) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    const uint32_t requested = *length;
    if (Result r = CheckProtection(mode, key); r != KESTREL_OK) return r;
    if (mode != kCommPlain && requested == 0) return ProtectionFailure(mode);

    uint8_t command[kFileRangeLength];
    PutFileRange(command, kCmdReadData, fileNo, static_cast<uint32_t>(offset), requested);
    ReadAnswer answer;
    if (Result r = ReadProtected(card, command, sizeof command, mode, key, {requested, 0}, answer);
        r != KESTREL_OK) {
        return r;
    }
    const size_t copied = std::min<size_t>(answer.dataLength, requested);
    if (copied > 0) std::memcpy(buffer, answer.bytes.data(), copied);
    *length = static_cast<uint32_t>(answer.dataLength);
    return KESTREL_OK;
}

Result GetValue(const DesfireCard& card, uint8_t fileNo, CommMode mode, uint32_t* value,
                const uint8_t* key) {
    if (value == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    const uint8_t command[2] = {kCmdGetValue, fileNo};
    ReadAnswer answer;
    if (Result r =
            ReadProtected(card, command, sizeof command, mode, key, {kValueLength, 0}, answer);
        r != KESTREL_OK) {
        return r;
    }
    uint8_t bytes[kValueLength] = {};
    const size_t received = std::min(answer.dataLength, kValueLength);
    if (received > 0) std::memcpy(bytes, answer.bytes.data(), received);
    *value = GetLittleEndian(bytes, kValueLength);
    return KESTREL_OK;
}

Result ChangeValue(const DesfireCard& card, uint8_t fileNo, CommMode mode, int32_t amount,
                   uint8_t operation, const uint8_t* key) {
    uint8_t code;
    switch (operation) {
        case kCredit:
            code = kCmdCredit;
            break;
        case kDebit:
            code = kCmdDebit;
            break;
        case kLimitedCredit:
            code = kCmdLimitedCredit;
            break;
        default:
            return KESTREL_ERR_DF_BAD_OPERATION_ID;
    }
    uint8_t plain[kValueLength];
    PutLittleEndian(plain, static_cast<uint32_t>(amount), kValueLength);
    std::vector<uint8_t> payload;
    if (Result r = MakePayload(mode, plain, sizeof plain, key, payload); r != KESTREL_OK) return r;
    uint8_t command[2 + 2 * kBlockSize] = {code, fileNo};
    std::copy(payload.begin(), payload.end(), command + 2);
    return SendCommand(card, command, 2 + payload.size());
}

Result ReadRecords(const DesfireCard& card, uint8_t fileNo, CommMode mode, int32_t offset,
                   uint32_t* count, uint8_t* buffer, uint32_t* length, uint32_t recordSize,
                   const uint8_t* key) {
    const bool room = length == nullptr || *length != 0;
    if (count == nullptr || (buffer == nullptr && room) || recordSize == 0) {
        return KESTREL_ERR_WRONG_PARAMETER;
    }
    uint8_t command[kFileRangeLength];
    PutFileRange(command, kCmdReadRecords, fileNo, static_cast<uint32_t>(offset), *count);
    ReadAnswer answer;
    if (Result r = ReadProtected(card, command, sizeof command, mode, key, {0, recordSize}, answer);
        r != KESTREL_OK) {
        return r;
    }
    if (*count != 0 && answer.dataLength > static_cast<uint64_t>(*count) * recordSize) {
        return KESTREL_ERR_WRONG_ANSWER_LENGTH;
    }
    if (length != nullptr && answer.dataLength > *length) return KESTREL_ERR_READING_TOO_MUCH;
    if (answer.dataLength > 0) std::memcpy(buffer, answer.bytes.data(), answer.dataLength);
    *count = static_cast<uint32_t>(answer.dataLength / recordSize);
    if (length != nullptr) *length = static_cast<uint32_t>(answer.dataLength);
    return KESTREL_OK;
}

Result ClearRecords(const DesfireCard& card, uint8_t fileNo) {
    const uint8_t command[2] = {kCmdClearRecordFile, fileNo};
    return SendCommand(card, command, sizeof command);
}

Result Commit(const DesfireCard& card) {
    return SendCommand(card, &kCmdCommitTransaction, 1);
}

Result Abort(const DesfireCard& card) {
    return SendCommand(card, &kCmdAbortTransaction, 1);
}

}  // namespace kestrel::desfire
