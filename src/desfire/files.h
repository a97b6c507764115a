// DESFire applications and files: the card's application directory (create, list, select,
// delete, format) and the files of the selected application (create each kind, delete, list,
// read and change their settings). Each operation is one native command whose card status
// becomes the result (0xA100 + status for an error).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/result.h"
#include "desfire/exchange.h"

namespace kestrel::desfire {

// Native command codes.
constexpr uint8_t kCmdGetVersion = 0x60;
constexpr uint8_t kCmdCreateApplication = 0xCA;
constexpr uint8_t kCmdGetApplicationIds = 0x6A;
constexpr uint8_t kCmdDeleteApplication = 0xDA;
constexpr uint8_t kCmdSelectApplication = 0x5A;
constexpr uint8_t kCmdFormatCard = 0xFC;
constexpr uint8_t kCmdCreateStdFile = 0xCD;
constexpr uint8_t kCmdCreateBackupFile = 0xCB;
constexpr uint8_t kCmdCreateValueFile = 0xCC;
// The record-file command bytes this library has always sent: 0xC1 for a cyclic file, 0xC0
// for a linear one. Genuine cards define them the other way round (0xC0 cyclic, 0xC1
// linear); applications written for this library rely on these bytes, so they stay.
constexpr uint8_t kCmdCreateRecordFileCyclic = 0xC1;
constexpr uint8_t kCmdCreateRecordFileLinear = 0xC0;
constexpr uint8_t kCmdDeleteFile = 0xDF;
constexpr uint8_t kCmdGetFileIds = 0x6F;
constexpr uint8_t kCmdGetFileSettings = 0xF5;
constexpr uint8_t kCmdChangeFileSettings = 0x5F;

// The data of GetVersion that DF_GetVersionI keeps.
constexpr uint16_t kVersionLength = 28;
// What the application and file lists hold: 28 identifiers, 16 file numbers.
constexpr size_t kMaxApplications = 28;
constexpr size_t kMaxFileIds = 16;

// Access rights in the order read, write, read-and-write, change; each a key number or
// kFreeAccess / kNeverAccess.
constexpr size_t kAccessRightCount = 4;
constexpr size_t kPackedAccessRightsLength = 2;
constexpr uint8_t kFreeAccess = 0x0E;
constexpr uint8_t kNeverAccess = 0x0F;

// Packs the four rights into the two wire bytes: (read-and-write << 4 | change,
// read << 4 | write). Nothing is masked: each right must be below 16.
void DfPackAccessRights(const uint8_t* rights, uint8_t* packed);

// The settings of one file: type, communication settings, access rights, and the part that
// depends on the type (file size; limits, value and limited-credit flag; record size and
// counts).
constexpr size_t kMaxFileSettingsLength = 17;
constexpr size_t kFileSettingsHeaderLength = 4;
constexpr size_t kMaxTypeSpecificLength = kMaxFileSettingsLength - kFileSettingsHeaderLength;
struct FileSettings {
    uint8_t fileType = 0;
    uint8_t commSettings = 0;
    uint8_t accessRights[kAccessRightCount] = {};
    uint8_t specificLength = 0;
    uint8_t specific[kMaxTypeSpecificLength] = {};
};

// 0x60 with the rules of SendNativeCommandEx: the data of all frames into `buffer` under the
// capacity *length, *length receiving the count.
Result GetVersion(const DesfireCard& card, uint8_t* buffer, uint16_t* length);

// 0xCA, the AID (3 bytes), key settings, number of keys.
Result CreateApp(const DesfireCard& card, uint32_t aid, uint8_t keySettings, uint8_t keyCount);

// 0x6A. n = identifiers received, at most kMaxApplications (a longer answer is cut there,
// never reported beyond what arrived). When *count (in) is at least n, the identifiers go to
// `aids`; *count receives n in either case. KESTREL_ERR_WRONG_PARAMETER for a NULL count, or
// NULL aids with a non-zero count, before anything is sent; outputs untouched on failure.
Result ListApps(const DesfireCard& card, uint32_t* aids, uint16_t* count);

// 0xDA / 0x5A and the AID; 0xFC.
Result DeleteApp(const DesfireCard& card, uint32_t aid);
Result SelectApp(const DesfireCard& card, uint32_t aid);
Result FormatCard(const DesfireCard& card);

// Standard (kCmdCreateStdFile) or backup (kCmdCreateBackupFile) data file: the command,
// file number, communication settings, packed access rights, file size (3 bytes).
Result CreateDataFile(const DesfireCard& card, uint8_t command, uint8_t fileNo,
                      uint8_t commSettings, const uint8_t* accessRights, uint32_t fileSize);

// 0xCC, file number, settings, access rights, lower and upper limit and value (4 bytes each),
// then 1 when limited credit is enabled (any non-zero flag), else 0.
Result CreateValueFile(const DesfireCard& card, uint8_t fileNo, uint8_t commSettings,
                       const uint8_t* accessRights, uint32_t lowerLimit, uint32_t upperLimit,
                       uint32_t value, uint8_t limitedCredit);

// kCmdCreateRecordFileCyclic when `cyclic` is non-zero, else kCmdCreateRecordFileLinear;
// file number, settings, access rights, record size and maximum record count (3 bytes each).
Result CreateRecordFile(const DesfireCard& card, uint8_t fileNo, uint8_t commSettings,
                        const uint8_t* accessRights, uint32_t recordSize, uint32_t maxRecords,
                        uint8_t cyclic);

// 0xDF and the file number.
Result DeleteFile(const DesfireCard& card, uint8_t fileNo);

// 0x6F: the file numbers received, at most kMaxFileIds of them, to `ids` and their number to
// *count. KESTREL_ERR_WRONG_PARAMETER for a NULL pointer; outputs untouched on failure.
Result GetFileIds(const DesfireCard& card, uint8_t* count, uint8_t* ids);

// 0xF5 and the file number. The answer must hold kFileSettingsHeaderLength to
// kMaxFileSettingsLength data bytes, else KESTREL_ERR_WRONG_ANSWER_LENGTH; `settings` is
// written on success only.
Result GetFileSettings(const DesfireCard& card, uint8_t fileNo, FileSettings& settings);

// Reads the file's settings, then sends 0x5F, the file number and the new settings (the
// communication settings and the packed access rights): plain (5 bytes) when the file's
// current change right is kFreeAccess, else as the send-mode cryptogram under the session key
// of the three bytes, their CRC_A and three zero bytes (10 bytes); only that form needs the
// session key (KESTREL_ERR_DF_NO_SESSION_KEY when it is NULL).
// KESTREL_ERR_WRONG_PARAMETER for NULL access rights, before anything is sent.
Result ChangeFileSettings(const DesfireCard& card, uint8_t fileNo, uint8_t commSettings,
                          const uint8_t* accessRights, const uint8_t* sessionKey);

}  // namespace kestrel::desfire
