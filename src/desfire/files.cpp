#include "desfire/files.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "desfire/crypto.h"
#include "desfire/secret.h"
#include "desfire/wire.h"

namespace kestrel::desfire {
namespace {

Result SendAidCommand(const DesfireCard& card, uint8_t code, uint32_t aid) {
    uint8_t command[1 + kAidLength] = {code};
    PutLittleEndian(command + 1, aid, kAidLength);
    return SendCommand(card, command, sizeof command);
}

// The command byte, file number, communication settings and packed access rights with which
// every file creation starts; returns the position after them.
uint8_t* PutFileHeader(uint8_t* out, uint8_t code, uint8_t fileNo, uint8_t commSettings,
                       const uint8_t* accessRights) {
    out[0] = code;
    out[1] = fileNo;
    out[2] = commSettings;
    DfPackAccessRights(accessRights, out + 3);
    return out + 3 + kPackedAccessRightsLength;
}
constexpr size_t kFileHeaderLength = 3 + kPackedAccessRightsLength;

}  // namespace

void DfPackAccessRights(const uint8_t* rights, uint8_t* packed) {
    packed[0] = static_cast<uint8_t>(rights[2] << 4 | rights[3]);
    packed[1] = static_cast<uint8_t>(rights[0] << 4 | rights[1]);
}

Result GetVersion(const DesfireCard& card, uint8_t* buffer, uint16_t* length) {
    return SendNativeCommandEx(card, &kCmdGetVersion, 1, buffer, length);
}

Result CreateApp(const DesfireCard& card, uint32_t aid, uint8_t keySettings, uint8_t keyCount) {
    uint8_t command[1 + kAidLength + 2] = {kCmdCreateApplication};
    uint8_t* p = PutLittleEndian(command + 1, aid, kAidLength);
    p[0] = keySettings;
    p[1] = keyCount;
    uint8_t answer[1];
    uint16_t answerLength = sizeof answer;
    return SendNativeCommandEx(card, command, sizeof command, answer, &answerLength);
}

Result ListApps(const DesfireCard& card, uint32_t* aids, uint16_t* count) {
    if (count == nullptr || (aids == nullptr && *count != 0)) return KESTREL_ERR_WRONG_PARAMETER;
    std::vector<uint8_t> data;
    if (Result r = DfExchangeAlloc(card, &kCmdGetApplicationIds, 1, data); r != KESTREL_OK) {
        return r;
    }
    const size_t n = std::min(data.size() / kAidLength, kMaxApplications);
    if (n > 0 && *count >= n) {
        for (size_t i = 0; i < n; ++i) aids[i] = GetLittleEndian(&data[i * kAidLength], kAidLength);
    }
    *count = static_cast<uint16_t>(n);
    return KESTREL_OK;
}

Result DeleteApp(const DesfireCard& card, uint32_t aid) {
    return SendAidCommand(card, kCmdDeleteApplication, aid);
}

Result SelectApp(const DesfireCard& card, uint32_t aid) {
    return SendAidCommand(card, kCmdSelectApplication, aid);
}

Result FormatCard(const DesfireCard& card) {
    return SendCommand(card, &kCmdFormatCard, 1);
}

Result CreateDataFile(const DesfireCard& card, uint8_t command, uint8_t fileNo,
                      uint8_t commSettings, const uint8_t* accessRights, uint32_t fileSize) {
    if (accessRights == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    uint8_t frame[kFileHeaderLength + kSizeLength];
    uint8_t* p = PutFileHeader(frame, command, fileNo, commSettings, accessRights);
    PutLittleEndian(p, fileSize, kSizeLength);
    return SendCommand(card, frame, sizeof frame);
}

Result CreateValueFile(const DesfireCard& card, uint8_t fileNo, uint8_t commSettings,
                       const uint8_t* accessRights, uint32_t lowerLimit, uint32_t upperLimit,
                       uint32_t value, uint8_t limitedCredit) {
    if (accessRights == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    uint8_t frame[kFileHeaderLength + 3 * kValueLength + 1];
    uint8_t* p = PutFileHeader(frame, kCmdCreateValueFile, fileNo, commSettings, accessRights);
    p = PutLittleEndian(p, lowerLimit, kValueLength);
    p = PutLittleEndian(p, upperLimit, kValueLength);
    p = PutLittleEndian(p, value, kValueLength);
    *p = limitedCredit != 0 ? 1 : 0;
    return SendCommand(card, frame, sizeof frame);
}

Result CreateRecordFile(const DesfireCard& card, uint8_t fileNo, uint8_t commSettings,
                        const uint8_t* accessRights, uint32_t recordSize, uint32_t maxRecords,
                        uint8_t cyclic) {
    if (accessRights == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    uint8_t frame[kFileHeaderLength + 2 * kSizeLength];
    const uint8_t code = cyclic != 0 ? kCmdCreateRecordFileCyclic : kCmdCreateRecordFileLinear;
    uint8_t* p = PutFileHeader(frame, code, fileNo, commSettings, accessRights);
    p = PutLittleEndian(p, recordSize, kSizeLength);
    PutLittleEndian(p, maxRecords, kSizeLength);
    return SendCommand(card, frame, sizeof frame);
}

Result DeleteFile(const DesfireCard& card, uint8_t fileNo) {
    const uint8_t command[2] = {kCmdDeleteFile, fileNo};
    return SendCommand(card, command, sizeof command);
}

Result GetFileIds(const DesfireCard& card, uint8_t* count, uint8_t* ids) {
    if (count == nullptr || ids == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    std::vector<uint8_t> data;
    if (Result r = DfExchangeAlloc(card, &kCmdGetFileIds, 1, data); r != KESTREL_OK) return r;
    const size_t n = std::min(data.size(), kMaxFileIds);
    if (n > 0) std::memcpy(ids, data.data(), n);
    *count = static_cast<uint8_t>(n);
    return KESTREL_OK;
}

Result GetFileSettings(const DesfireCard& card, uint8_t fileNo, FileSettings& settings) {
    const uint8_t command[2] = {kCmdGetFileSettings, fileNo};
    uint8_t data[kMaxFileSettingsLength];
    uint16_t length = sizeof data;
    if (Result r = SendNativeCommandEx(card, command, sizeof command, data, &length);
        r != KESTREL_OK) {
        return r;
    }
    // A longer answer was not copied at all; a shorter one lacks the access rights.
    if (length < kFileSettingsHeaderLength || length > kMaxFileSettingsLength) {
        return KESTREL_ERR_WRONG_ANSWER_LENGTH;
    }
    settings.fileType = data[0];
    settings.commSettings = data[1];
    settings.accessRights[0] = data[3] >> 4;
    settings.accessRights[1] = data[3] & 0x0F;
    settings.accessRights[2] = data[2] >> 4;
    settings.accessRights[3] = data[2] & 0x0F;
    settings.specificLength = static_cast<uint8_t>(length - kFileSettingsHeaderLength);
    std::memcpy(settings.specific, data + kFileSettingsHeaderLength, settings.specificLength);
    return KESTREL_OK;
}

Result ChangeFileSettings(const DesfireCard& card, uint8_t fileNo, uint8_t commSettings,
                          const uint8_t* accessRights, const uint8_t* sessionKey) {
    if (accessRights == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    FileSettings current;
    if (Result r = GetFileSettings(card, fileNo, current); r != KESTREL_OK) return r;

    SecretBytes<kBlockSize> plain;  // settings, packed rights, CRC_A, zero padding
    plain[0] = commSettings;
    DfPackAccessRights(accessRights, plain.data() + 1);
    constexpr size_t kSettingsLength = 1 + kPackedAccessRightsLength;

    uint8_t command[2 + kBlockSize] = {kCmdChangeFileSettings, fileNo};
    if (current.accessRights[3] == kFreeAccess) {
        std::memcpy(command + 2, plain.data(), kSettingsLength);
        return SendCommand(card, command, 2 + kSettingsLength);
    }
    if (sessionKey == nullptr) return KESTREL_ERR_DF_NO_SESSION_KEY;
    Crc16Iso14443(kCrcA, plain.data(), kSettingsLength, &plain[kSettingsLength],
                  &plain[kSettingsLength + 1]);
    DfSendCipher(sessionKey, plain.data(), command + 2, kBlockSize, false);
    return SendCommand(card, command, sizeof command);
}

}  // namespace kestrel::desfire
