// DESFire status bytes, native command codes, file types, communication modes, access rights,
// key-settings bits and the card's limits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel::sim::desfire {

// Status bytes: the first byte of every answer frame.
namespace status {
constexpr uint8_t kOk = 0x00;
constexpr uint8_t kNoChanges = 0x0C;
constexpr uint8_t kOutOfEeprom = 0x0E;
constexpr uint8_t kIllegalCommand = 0x1C;
constexpr uint8_t kIntegrityError = 0x1E;  // a CRC in an enciphered cryptogram is wrong
constexpr uint8_t kNoSuchKey = 0x40;
constexpr uint8_t kLengthError = 0x7E;
constexpr uint8_t kPermissionDenied = 0x9D;  // the card's configuration forbids the command
constexpr uint8_t kParameterError = 0x9E;
constexpr uint8_t kApplicationNotFound = 0xA0;
constexpr uint8_t kAuthenticationError = 0xAE;  // the authentication state does not allow it
constexpr uint8_t kAdditionalFrame = 0xAF;
constexpr uint8_t kBoundaryError = 0xBE;
constexpr uint8_t kCommandAborted = 0xCA;
constexpr uint8_t kCountError = 0xCE;  // no room for another application
constexpr uint8_t kDuplicateError = 0xDE;
constexpr uint8_t kFileNotFound = 0xF0;
}  // namespace status

// Native command codes.
namespace command {
constexpr uint8_t kAuthenticate = 0x0A;
constexpr uint8_t kAuthenticateIso = 0x1A;
constexpr uint8_t kAuthenticateAes = 0xAA;
constexpr uint8_t kGetCardUid = 0x51;
constexpr uint8_t kGetDfNames = 0x6D;
constexpr uint8_t kGetIsoFileIds = 0x61;
constexpr uint8_t kGetKeySettings = 0x45;
constexpr uint8_t kChangeKeySettings = 0x54;
constexpr uint8_t kSelectApplication = 0x5A;
constexpr uint8_t kGetVersion = 0x60;
constexpr uint8_t kGetKeyVersion = 0x64;
constexpr uint8_t kAdditionalFrame = 0xAF;
constexpr uint8_t kChangeKey = 0xC4;
constexpr uint8_t kCreateApplication = 0xCA;
constexpr uint8_t kDeleteApplication = 0xDA;
constexpr uint8_t kGetApplicationIds = 0x6A;
constexpr uint8_t kFreeMemory = 0x6E;
constexpr uint8_t kFormatPicc = 0xFC;
constexpr uint8_t kGetFileIds = 0x6F;
constexpr uint8_t kGetFileSettings = 0xF5;
constexpr uint8_t kChangeFileSettings = 0x5F;
constexpr uint8_t kCreateStdDataFile = 0xCD;
constexpr uint8_t kCreateBackupDataFile = 0xCB;
constexpr uint8_t kCreateValueFile = 0xCC;
// The card's meaning of these two bytes (a host may think of them the other way round).
constexpr uint8_t kCreateCyclicRecordFile = 0xC0;
constexpr uint8_t kCreateLinearRecordFile = 0xC1;
constexpr uint8_t kDeleteFile = 0xDF;
constexpr uint8_t kReadData = 0xBD;
constexpr uint8_t kWriteData = 0x3D;
constexpr uint8_t kGetValue = 0x6C;
constexpr uint8_t kCredit = 0x0C;
constexpr uint8_t kDebit = 0xDC;
constexpr uint8_t kLimitedCredit = 0x1C;
constexpr uint8_t kWriteRecord = 0x3B;
constexpr uint8_t kReadRecords = 0xBB;
constexpr uint8_t kClearRecordFile = 0xEB;
constexpr uint8_t kCommitTransaction = 0xC7;
constexpr uint8_t kAbortTransaction = 0xA7;
}  // namespace command

// File types as GetFileSettings reports them.
namespace file_type {
constexpr uint8_t kStandard = 0;
constexpr uint8_t kBackup = 1;
constexpr uint8_t kValue = 2;
constexpr uint8_t kLinearRecord = 3;
constexpr uint8_t kCyclicRecord = 4;
}  // namespace file_type

// Communication settings of a file: how its data travels.
namespace communication {
constexpr uint8_t kPlain = 0;
constexpr uint8_t kMaced = 1;
constexpr uint8_t kEnciphered = 3;
}  // namespace communication

// Access-right nibbles: a key number, or one of these.
constexpr uint8_t kFreeAccess = 0x0E;
constexpr uint8_t kNoAccess = 0x0F;

// Bits of a key-settings byte.
namespace key_settings {
constexpr uint8_t kMasterKeyChangeable = 0x01;
// Card level: application list and key settings without the card master key; application
// level: file list, file settings and key settings without the application master key.
constexpr uint8_t kFreeDirectoryList = 0x02;
constexpr uint8_t kFreeCreateDelete = 0x04;
constexpr uint8_t kConfigurationChangeable = 0x08;
// Application level, upper nibble: which key changes the keys other than the master key.
// 0 to 13: that key; kChangeKeySameKey: each key itself; kChangeKeyFrozen: none.
constexpr int kChangeKeyShift = 4;
constexpr uint8_t kChangeKeySameKey = 0x0E;
constexpr uint8_t kChangeKeyFrozen = 0x0F;
}  // namespace key_settings

// Bits of CreateApplication's key-count byte above the number of keys.
namespace key_count {
constexpr uint8_t kReserved = 0x10;
constexpr uint8_t kIsoFileIds = 0x20;  // files (and the application) may have ISO names
constexpr int kKeyTypeShift = 6;       // bits 6-7: the key type (KeyType)
constexpr uint8_t kNumberMask = 0x0F;
}  // namespace key_count

// ISO/IEC 7816-4 wrapping of native commands: the class byte, and SW1 of every answer (SW2 is
// the status). Wrapping faults answer ISO status words.
constexpr uint8_t kWrappedClass = 0x90;
constexpr uint8_t kWrappedStatus = 0x91;
constexpr uint16_t kSwWrongLength = 0x6700;
constexpr uint16_t kSwWrongParameters = 0x6A86;

constexpr uint8_t kFactoryKeySettings = 0x0F;
constexpr size_t kMaxDfName = 16;     // bytes of a DF name
constexpr size_t kMaxKeys = 14;       // keys of one application
constexpr size_t kMaxFrame = 60;      // command byte and data of one native frame
constexpr size_t kMaxFrameData = 59;  // data bytes of one answer frame (behind the status)
constexpr size_t kMaxCommand = 8192;  // longest command the card collects over 0xAF frames
constexpr size_t kMaxApplications = 28;
constexpr uint8_t kMaxFileNumber = 15;
// The card's EEPROM in bytes unless set otherwise (see IsCapacity).
constexpr size_t kDefaultCapacity = 4096;

}  // namespace kestrel::sim::desfire
