// MIFARE DESFire cards: the native command set over ISO/IEC 14443-4, with legacy DES and
// two-key triple DES authentication, keys, key settings and key versions, applications, files
// (standard, backup, value, linear and cyclic record files) and transactions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kestrel_sim/cards/iso14443_4/iso14443_4_card.h"

namespace kestrel::sim {

namespace desfire {

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

constexpr uint8_t kFactoryKeySettings = 0x0F;
constexpr size_t kMaxKeys = 14;       // keys of one application
constexpr size_t kMaxFrame = 60;      // command byte and data of one native frame
constexpr size_t kMaxFrameData = 59;  // data bytes of one answer frame (behind the status)
constexpr size_t kMaxCommand = 8192;  // longest command the card collects over 0xAF frames
constexpr size_t kMaxApplications = 28;
constexpr uint8_t kMaxFileNumber = 15;
// Capacities the card comes in (bytes of EEPROM); 4 KB unless set otherwise.
constexpr size_t kDefaultCapacity = 4096;
bool IsCapacity(size_t bytes);

using Key = std::array<uint8_t, 16>;   // K1 = bytes 0-7, K2 = bytes 8-15
using Aid = std::array<uint8_t, 3>;    // in the order the bytes travel (lowest first)
constexpr Aid kCardLevel = {0, 0, 0};  // AID 000000: the card itself

// A DES or triple DES key carries its version in the lowest bits of bytes 0 to 7 (the DES
// parity bits), byte 0 holding the version's highest bit.
uint8_t KeyVersion(const Key& key);
// Equal halves: the key is a single DES key.
bool IsSingleDes(const Key& key);

// A file of an application. The access bytes are kept as they travel: byte 0 = read-and-write
// (high nibble) and change (low nibble), byte 1 = read (high) and write (low).
struct File {
    uint8_t type = file_type::kStandard;
    uint8_t communication = communication::kPlain;
    std::array<uint8_t, 2> access = {0xEE, 0xEE};
    Bytes data;  // standard and backup files: the whole file
    // Value files.
    int32_t lowerLimit = 0;
    int32_t upperLimit = 0;
    int32_t value = 0;
    bool limitedCreditEnabled = false;
    int32_t limitedCreditValue = 0;  // what a LimitedCredit may add at most
    // Record files: the records, oldest first.
    uint32_t recordSize = 0;
    uint32_t maxRecords = 0;
    std::vector<Bytes> records;

    uint8_t ReadRight() const { return access[1] >> 4; }
    uint8_t WriteRight() const { return access[1] & 0x0F; }
    uint8_t ReadWriteRight() const { return access[0] >> 4; }
    uint8_t ChangeRight() const { return access[0] & 0x0F; }
    bool IsRecordFile() const {
        return type == file_type::kLinearRecord || type == file_type::kCyclicRecord;
    }
};

// An application, or the card level (AID 000000, one key, no files).
struct Application {
    Aid aid = kCardLevel;
    uint8_t keySettings = kFactoryKeySettings;
    std::vector<Key> keys;          // 1 to kMaxKeys
    std::map<uint8_t, File> files;  // by file number, 0 to kMaxFileNumber
};

// EEPROM the card's allocation model charges: 64 bytes per application, and per file 32 bytes
// plus its contents rounded up to 32 bytes (a backup file twice, a value file none, a record
// file its record size times its maximum number of records).
size_t MemoryOf(const File& file);
size_t MemoryOf(const Application& application);

// What a native command answers: the data of each answer frame and the status of the last;
// every frame before the last goes out with status 0xAF and waits for the host's 0xAF.
struct NativeAnswer {
    uint8_t status = status::kOk;
    std::vector<Bytes> frames;
};
NativeAnswer Status(uint8_t statusByte);
// `data` cut into answer frames of at most kMaxFrameData bytes.
NativeAnswer Frames(const Bytes& data);

// The card's state as its file holds it.
struct CardImage {
    Bytes uid;
    size_t capacity = kDefaultCapacity;
    std::vector<Application> applications;  // the card level first
};
// The state file: versioned text, see docs/virtual-reader.md.
std::string FormatStateFile(const CardImage& image);
// nullopt and *error (with the line number) when the text is not a state file of a version
// this card reads or breaks a rule of it.
std::optional<CardImage> ParseStateFile(const std::string& text, std::string* error);

}  // namespace desfire

// A DESFire card with a 7-byte UID (ATQA 0x0344, SAK 0x20, ATS 06 75 77 81 02 80). Native
// commands arrive as ISO/IEC 14443-4 messages, one native frame each: the command byte and its
// data; the answer is the status byte and the data. It starts in the factory state: the card
// level only, key settings 0x0F, card master key 16 zero bytes (version 0).
class DesfireCard : public Iso14443_4Card {
  public:
    static const Bytes kAts;

    explicit DesfireCard(Bytes uid);

    // The command from its first frame on, all its continuation data appended.
    using NativeHandler = std::function<desfire::NativeAnswer(DesfireCard& card, const Bytes&)>;
    // The length (command byte included) a command collects before it runs, read from its
    // first frame; up to the length of that frame means it runs at once. A longer command is
    // collected over frames the host starts with 0xAF, each answered with 0xAF.
    using CommandLength = std::function<size_t(const Bytes& firstFrame)>;
    // Adds or replaces a native command (the built-in ones are registered the same way).
    void RegisterNativeCommand(uint8_t code, NativeHandler handler, CommandLength length = {});

    // The card's state, for tests and for preparing a card.
    const std::vector<desfire::Application>& Applications() const { return applications_; }
    const desfire::Application* FindApplication(const desfire::Aid& aid) const;
    desfire::Application* FindApplication(const desfire::Aid& aid);
    // Adds an application with `keyCount` keys of 16 zero bytes. False and *error for the AID
    // 000000, an AID already there, or a key count outside 1 to 14.
    bool AddApplication(const desfire::Aid& aid, uint8_t keySettings, size_t keyCount,
                        std::string* error = nullptr);
    const desfire::Application& SelectedApplication() const { return applications_[selected_]; }
    // The key number of the current authentication, and its session key.
    std::optional<uint8_t> AuthenticatedKey() const { return authenticatedKey_; }
    const desfire::Key& SessionKey() const { return sessionKey_; }

    // EEPROM size: 2048, 4096 (the default) or 8192 bytes; false for any other value. The card
    // refuses applications and files beyond it (0x0E) and reports it in GetVersion. A smaller
    // capacity than the card uses already is refused as well.
    bool SetCapacity(size_t bytes);
    size_t Capacity() const { return capacity_; }
    size_t FreeMemory() const;

    // Tests: the next answer that carries protected data (a read in a MACed or enciphered
    // communication mode) goes out spoiled once: a MAC with one bit flipped, or a cryptogram
    // whose CRC has one bit flipped before encipherment. The host finds a wrong MAC or CRC.
    void SpoilNextProtectedAnswer() { spoilNext_ = true; }
    bool SpoilPending() const { return spoilNext_; }

    // Tests: the card takes this RndB in every authentication instead of a random one
    // (nullopt: random again).
    void SetFixedRndB(std::optional<std::array<uint8_t, 8>> rndB) { fixedRndB_ = rndB; }

    void OnActivated() override;
    void OnDeactivated() override;

    // The state file (FormatStateFile of the UID and the applications).
    size_t ImageSize() const override { return SaveImage().size(); }
    Bytes SaveImage() const override;
    bool LoadImage(const Bytes& image, std::string* error) override;

  protected:
    Bytes HandleMessage(const Bytes& message) override;

  private:
    struct NativeCommand {
        NativeHandler handler;
        CommandLength length;
    };
    using Continuation = std::function<desfire::NativeAnswer(const Bytes& frame)>;

    // Sends the first frame of an answer and keeps the rest for the host's 0xAF frames.
    Bytes Reply(desfire::NativeAnswer answer);
    // Collects a command of `total` bytes over the host's 0xAF frames, then runs it.
    Continuation Collect(uint8_t code, Bytes command, size_t total);
    void EndSession();
    desfire::Application& Selected() { return applications_[selected_]; }

    desfire::NativeAnswer GetVersion(const Bytes& command);
    desfire::NativeAnswer Authenticate(const Bytes& command);
    desfire::NativeAnswer FinishAuthentication(uint8_t keyNumber, const desfire::Key& key,
                                               const std::array<uint8_t, 8>& rndB,
                                               const Bytes& frame);
    desfire::NativeAnswer SelectApplication(const Bytes& command);
    desfire::NativeAnswer GetKeySettings(const Bytes& command);
    desfire::NativeAnswer ChangeKeySettings(const Bytes& command);
    desfire::NativeAnswer GetKeyVersion(const Bytes& command);
    desfire::NativeAnswer ChangeKey(const Bytes& command);

    // Files and transactions (desfire_files.cpp).
    struct Pending {
        desfire::File file;
        bool recordOpen = false;  // WriteRecord of this transaction writes into the newest
        int64_t debited = 0;      // Debits of this transaction
        bool limitedCredited = false;
    };
    void RegisterFileCommands();
    void DiscardTransaction() { pending_.clear(); }
    size_t UsedMemory() const;
    // The access rights of a file a command may use (any one lets it run), as bits.
    static constexpr uint8_t kReadRight = 0x01;
    static constexpr uint8_t kWriteRight = 0x02;
    static constexpr uint8_t kReadWriteRight = 0x04;
    enum class FileKind { kData, kValue, kRecord };
    struct OpenedFile {
        const desfire::File* file = nullptr;  // null when `status` refuses the command
        uint8_t mode = 0;                     // the communication mode the data travels in
        uint8_t status = 0;
    };
    // Status 0 and *mode when the authentication or free access grants one of the file's
    // `rights` (k...Right bits).
    uint8_t Grant(const desfire::File& file, uint8_t rights, uint8_t* mode) const;
    desfire::File* FindFile(uint8_t number);
    // The file `number` for a command on files of `kind` using one of `rights`, or the status
    // that refuses it: an unknown file first, then a file of another kind, then the right.
    OpenedFile OpenFile(uint8_t number, FileKind kind, uint8_t rights);
    // The copy a transaction changes (backup, value and record files) or the file itself.
    desfire::File& Writable(uint8_t number);
    Pending* PendingOf(uint8_t number);
    Bytes ToHost(uint8_t mode, Bytes data);
    // The plain data of a protected payload; nullopt (*status set) when it is not intact.
    std::optional<Bytes> FromHost(uint8_t mode, const uint8_t* payload, size_t payloadLength,
                                  size_t plainLength, uint8_t* status);
    size_t DataCommandLength(const Bytes& firstFrame, bool record);

    desfire::NativeAnswer CreateApplication(const Bytes& command);
    desfire::NativeAnswer DeleteApplication(const Bytes& command);
    desfire::NativeAnswer GetApplicationIds(const Bytes& command);
    desfire::NativeAnswer FreeMemoryCommand(const Bytes& command);
    desfire::NativeAnswer FormatPicc(const Bytes& command);
    desfire::NativeAnswer CreateFile(const Bytes& command);
    desfire::NativeAnswer DeleteFile(const Bytes& command);
    desfire::NativeAnswer GetFileIds(const Bytes& command);
    desfire::NativeAnswer GetFileSettings(const Bytes& command);
    desfire::NativeAnswer ChangeFileSettings(const Bytes& command);
    desfire::NativeAnswer ReadData(const Bytes& command);
    desfire::NativeAnswer WriteData(const Bytes& command);
    desfire::NativeAnswer GetValue(const Bytes& command);
    desfire::NativeAnswer ChangeValue(const Bytes& command);
    desfire::NativeAnswer WriteRecord(const Bytes& command);
    desfire::NativeAnswer ReadRecords(const Bytes& command);
    desfire::NativeAnswer ClearRecordFile(const Bytes& command);
    desfire::NativeAnswer CommitTransaction(const Bytes& command);
    desfire::NativeAnswer AbortTransaction(const Bytes& command);

    std::map<uint8_t, NativeCommand> commands_;
    size_t capacity_ = desfire::kDefaultCapacity;
    std::map<uint8_t, Pending> pending_;  // of the selected application, by file number
    bool spoilNext_ = false;
    std::vector<desfire::Application> applications_;
    size_t selected_ = 0;
    std::optional<uint8_t> authenticatedKey_;
    desfire::Key sessionKey_{};
    Continuation continuation_;  // what the next 0xAF frame continues
    std::optional<std::array<uint8_t, 8>> fixedRndB_;
};

}  // namespace kestrel::sim
