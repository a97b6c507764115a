// The DESFire card's applications, files, data, values, records and transactions.
//
// Data travels in the mode the file's communication settings name whenever the authentication
// grants the access right used; an access granted only by free access (0xE) travels plain.
// MACs are 4 bytes: CBC encipherment under the session key of the data padded with zeros to
// the next multiple of 8, a whole zero block added when the length is one already; the MAC is
// the first 4 bytes of the last block. Enciphered data is the data, its CRC_A and zero padding
// to a multiple of 8.
#include <openssl/crypto.h>

#include <algorithm>
#include <limits>

#include "cards/desfire/crypto.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/helpers/crc.h"

namespace kestrel::sim {

namespace desfire {

bool IsCapacity(size_t bytes) {
    return bytes == 2048 || bytes == 4096 || bytes == 8192;
}

namespace {

size_t RoundUp(size_t value, size_t unit) {
    return (value + unit - 1) / unit * unit;
}

}  // namespace

size_t MemoryOf(const File& file) {
    size_t contents = 0;
    switch (file.type) {
        case file_type::kStandard:
            contents = RoundUp(file.data.size(), 32);
            break;
        case file_type::kBackup:
            contents = 2 * RoundUp(file.data.size(), 32);
            break;
        case file_type::kValue:
            break;
        default:
            contents = RoundUp(size_t{file.recordSize} * file.maxRecords, 32);
    }
    return 32 + contents;
}

size_t MemoryOf(const Application& application) {
    size_t total = 64;
    for (const auto& [number, file] : application.files) total += MemoryOf(file);
    return total;
}

}  // namespace desfire

namespace {

using desfire::NativeAnswer;
namespace df = desfire;
namespace st = desfire::status;

NativeAnswer Fail(uint8_t statusByte) {
    return df::Status(statusByte);
}

uint32_t Le24(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0] | (bytes[1] << 8) | (bytes[2] << 16));
}

int32_t Le32(const uint8_t* bytes) {
    return static_cast<int32_t>(
        static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
        (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24));
}

void PutLe(Bytes& out, uint32_t value, size_t length) {
    for (size_t i = 0; i < length; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Bytes on the wire for `plain` data bytes in a communication mode.
size_t PayloadLength(uint8_t mode, size_t plain) {
    if (mode == df::communication::kMaced) return plain + 4;
    if (mode == df::communication::kEnciphered) return (plain + 2 + 7) / 8 * 8;
    return plain;
}

bool Mac(const df::Key& key, const Bytes& data, uint8_t* mac) {
    // The data, then zeros up to the next multiple of 8 (a whole block when already aligned).
    Bytes padded(data);
    padded.resize(data.size() / 8 * 8 + 8, 0x00);
    Bytes out(padded.size());
    if (!df::EncipherToHost(key, padded.data(), out.data(), padded.size())) return false;
    std::copy(out.end() - 8, out.end() - 4, mac);
    return true;
}

bool ValidCommunication(uint8_t settings) {
    return settings == df::communication::kPlain || settings == df::communication::kMaced ||
           settings == df::communication::kEnciphered;
}

// AIDs per frame of the application list: whole AIDs only.
constexpr size_t kAidsPerFrame = df::kMaxFrameData / 3;

}  // namespace

bool DesfireCard::SetCapacity(size_t bytes) {
    if (!df::IsCapacity(bytes) || UsedMemory() > bytes) return false;
    capacity_ = bytes;
    return true;
}

size_t DesfireCard::UsedMemory() const {
    size_t used = 0;
    for (size_t i = 1; i < applications_.size(); ++i) used += df::MemoryOf(applications_[i]);
    return used;
}

size_t DesfireCard::FreeMemory() const {
    const size_t used = UsedMemory();
    return used >= capacity_ ? 0 : capacity_ - used;
}

void DesfireCard::RegisterFileCommands() {
    using Card = DesfireCard;
    namespace cmd = df::command;
    const struct {
        uint8_t code;
        NativeAnswer (Card::*handler)(const Bytes&);
    } simple[] = {
        {cmd::kCreateApplication, &Card::CreateApplication},
        {cmd::kDeleteApplication, &Card::DeleteApplication},
        {cmd::kGetApplicationIds, &Card::GetApplicationIds},
        {cmd::kFreeMemory, &Card::FreeMemoryCommand},
        {cmd::kFormatPicc, &Card::FormatPicc},
        {cmd::kCreateStdDataFile, &Card::CreateFile},
        {cmd::kCreateBackupDataFile, &Card::CreateFile},
        {cmd::kCreateValueFile, &Card::CreateFile},
        {cmd::kCreateCyclicRecordFile, &Card::CreateFile},
        {cmd::kCreateLinearRecordFile, &Card::CreateFile},
        {cmd::kDeleteFile, &Card::DeleteFile},
        {cmd::kGetFileIds, &Card::GetFileIds},
        {cmd::kGetFileSettings, &Card::GetFileSettings},
        {cmd::kChangeFileSettings, &Card::ChangeFileSettings},
        {cmd::kReadData, &Card::ReadData},
        {cmd::kGetValue, &Card::GetValue},
        {cmd::kCredit, &Card::ChangeValue},
        {cmd::kDebit, &Card::ChangeValue},
        {cmd::kLimitedCredit, &Card::ChangeValue},
        {cmd::kReadRecords, &Card::ReadRecords},
        {cmd::kClearRecordFile, &Card::ClearRecordFile},
        {cmd::kCommitTransaction, &Card::CommitTransaction},
        {cmd::kAbortTransaction, &Card::AbortTransaction},
    };
    for (const auto& entry : simple) {
        auto handler = entry.handler;
        RegisterNativeCommand(entry.code, [handler](Card& card, const Bytes& command) {
            return (card.*handler)(command);
        });
    }
    // Writes carry their data over as many frames as it takes.
    RegisterNativeCommand(
        cmd::kWriteData, [](Card& card, const Bytes& command) { return card.WriteData(command); },
        [this](const Bytes& first) { return DataCommandLength(first, false); });
    RegisterNativeCommand(
        cmd::kWriteRecord,
        [](Card& card, const Bytes& command) { return card.WriteRecord(command); },
        [this](const Bytes& first) { return DataCommandLength(first, true); });
}

uint8_t DesfireCard::Grant(const df::File& file, uint8_t rights, uint8_t* mode) const {
    const struct {
        uint8_t bit;
        uint8_t right;
    } named[] = {{kReadRight, file.ReadRight()},
                 {kWriteRight, file.WriteRight()},
                 {kReadWriteRight, file.ReadWriteRight()}};
    bool free = false;
    bool never = true;
    for (const auto& [bit, right] : named) {
        if (!(rights & bit)) continue;
        if (authenticatedKey_ && right == *authenticatedKey_) {
            *mode = file.communication;
            return st::kOk;
        }
        if (right == df::kFreeAccess) free = true;
        if (right != df::kNoAccess) never = false;
    }
    if (free) {
        *mode = df::communication::kPlain;
        return st::kOk;
    }
    return never ? st::kPermissionDenied : st::kAuthenticationError;
}

df::File* DesfireCard::FindFile(uint8_t number) {
    auto found = Selected().files.find(number);
    return found == Selected().files.end() ? nullptr : &found->second;
}

DesfireCard::OpenedFile DesfireCard::OpenFile(uint8_t number, FileKind kind, uint8_t rights) {
    const df::File* file = FindFile(number);
    if (file == nullptr) return {nullptr, 0, st::kFileNotFound};
    bool fits = file->IsRecordFile();
    if (kind == FileKind::kData) {
        fits = file->type == df::file_type::kStandard || file->type == df::file_type::kBackup;
    } else if (kind == FileKind::kValue) {
        fits = file->type == df::file_type::kValue;
    }
    if (!fits) return {nullptr, 0, st::kParameterError};
    uint8_t mode = 0;
    const uint8_t granted = Grant(*file, rights, &mode);
    return {granted == st::kOk ? file : nullptr, mode, granted};
}

DesfireCard::Pending* DesfireCard::PendingOf(uint8_t number) {
    df::File* file = FindFile(number);
    if (file == nullptr) return nullptr;
    auto found = pending_.find(number);
    if (found == pending_.end()) found = pending_.emplace(number, Pending{*file}).first;
    return &found->second;
}

df::File& DesfireCard::Writable(uint8_t number) {
    df::File* file = FindFile(number);
    if (file->type == df::file_type::kStandard) return *file;
    return PendingOf(number)->file;
}

Bytes DesfireCard::ToHost(uint8_t mode, Bytes data) {
    if (mode == df::communication::kMaced) {
        uint8_t mac[4] = {};
        Mac(sessionKey_, data, mac);
        if (spoilNext_) mac[3] ^= 0x01;
        spoilNext_ = false;
        data.insert(data.end(), mac, mac + 4);
    } else if (mode == df::communication::kEnciphered) {
        uint16_t crc = Crc16A(data.data(), data.size());
        if (spoilNext_) crc ^= 0x0001;
        spoilNext_ = false;
        data.push_back(static_cast<uint8_t>(crc & 0xFF));
        data.push_back(static_cast<uint8_t>(crc >> 8));
        data.resize((data.size() + 7) / 8 * 8, 0x00);
        Bytes cipher(data.size());
        df::EncipherToHost(sessionKey_, data.data(), cipher.data(), data.size());
        OPENSSL_cleanse(data.data(), data.size());
        return cipher;
    }
    return data;
}

std::optional<Bytes> DesfireCard::FromHost(uint8_t mode, const uint8_t* payload,
                                           size_t payloadLength, size_t plainLength,
                                           uint8_t* status) {
    if (payloadLength != PayloadLength(mode, plainLength)) {
        *status = st::kLengthError;
        return std::nullopt;
    }
    if (mode == df::communication::kMaced) {
        Bytes data(payload, payload + plainLength);
        uint8_t mac[4] = {};
        if (!Mac(sessionKey_, data, mac) || !std::equal(mac, mac + 4, payload + plainLength)) {
            *status = st::kIntegrityError;
            return std::nullopt;
        }
        return data;
    }
    if (mode == df::communication::kEnciphered) {
        Bytes plain(payloadLength);
        if (!df::DecodeFromHost(sessionKey_, payload, plain.data(), payloadLength)) {
            *status = st::kCommandAborted;
            return std::nullopt;
        }
        const uint16_t crc = Crc16A(plain.data(), plainLength);
        if ((plain[plainLength] | (plain[plainLength + 1] << 8)) != crc) {
            OPENSSL_cleanse(plain.data(), plain.size());
            *status = st::kIntegrityError;
            return std::nullopt;
        }
        plain.resize(plainLength);
        return plain;
    }
    return Bytes(payload, payload + plainLength);
}

size_t DesfireCard::DataCommandLength(const Bytes& first, bool record) {
    // A command the card refuses at once runs with its first frame and answers the error.
    if (first.size() < 8) return first.size();
    const OpenedFile opened = OpenFile(first[1], record ? FileKind::kRecord : FileKind::kData,
                                       kWriteRight | kReadWriteRight);
    if (opened.status != st::kOk) return first.size();
    return 8 + PayloadLength(opened.mode, Le24(&first[5]));
}

// Applications.

NativeAnswer DesfireCard::CreateApplication(const Bytes& command) {
    // AID (3), key settings, number of keys.
    if (command.size() != 6) return Fail(st::kLengthError);
    if (selected_ != 0) return Fail(st::kPermissionDenied);
    if (!(applications_[0].keySettings & df::key_settings::kFreeCreateDelete) &&
        authenticatedKey_ != 0) {
        return Fail(st::kAuthenticationError);
    }
    const df::Aid aid = {command[1], command[2], command[3]};
    // This card has legacy keys only: the bits for other key types are refused.
    if (aid == df::kCardLevel || command[5] < 1 || command[5] > df::kMaxKeys) {
        return Fail(st::kParameterError);
    }
    if (FindApplication(aid) != nullptr) return Fail(st::kDuplicateError);
    if (applications_.size() - 1 >= df::kMaxApplications) return Fail(st::kCountError);
    df::Application application;
    application.aid = aid;
    application.keySettings = command[4];
    application.keys.assign(command[5], df::Key{});
    if (UsedMemory() + df::MemoryOf(application) > capacity_) return Fail(st::kOutOfEeprom);
    applications_.push_back(std::move(application));
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::DeleteApplication(const Bytes& command) {
    if (command.size() != 4) return Fail(st::kLengthError);
    const df::Aid aid = {command[1], command[2], command[3]};
    if (aid == df::kCardLevel) return Fail(st::kParameterError);
    size_t index = 0;
    while (index < applications_.size() && applications_[index].aid != aid) ++index;
    if (index == applications_.size()) return Fail(st::kApplicationNotFound);
    // The card master key deletes any application, an application's master key its own.
    const bool allowed = authenticatedKey_ == 0 && (selected_ == 0 || selected_ == index);
    if (!allowed) return Fail(st::kAuthenticationError);
    applications_.erase(applications_.begin() + static_cast<ptrdiff_t>(index));
    if (selected_ == index) {
        selected_ = 0;
        DiscardTransaction();
        EndSession();
    } else if (selected_ > index) {
        --selected_;
    }
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::GetApplicationIds(const Bytes& command) {
    if (command.size() != 1) return Fail(st::kLengthError);
    if (selected_ != 0) return Fail(st::kPermissionDenied);
    if (!(applications_[0].keySettings & df::key_settings::kFreeDirectoryList) &&
        authenticatedKey_ != 0) {
        return Fail(st::kAuthenticationError);
    }
    NativeAnswer answer;
    for (size_t i = 1; i < applications_.size(); ++i) {
        if ((i - 1) % kAidsPerFrame == 0) answer.frames.emplace_back();
        const df::Aid& aid = applications_[i].aid;
        answer.frames.back().insert(answer.frames.back().end(), aid.begin(), aid.end());
    }
    return answer;
}

NativeAnswer DesfireCard::FreeMemoryCommand(const Bytes& command) {
    if (command.size() != 1) return Fail(st::kLengthError);
    Bytes data;
    PutLe(data, static_cast<uint32_t>(FreeMemory()), 3);
    return NativeAnswer{st::kOk, {data}};
}

NativeAnswer DesfireCard::FormatPicc(const Bytes& command) {
    if (command.size() != 1) return Fail(st::kLengthError);
    if (selected_ != 0 || authenticatedKey_ != 0) return Fail(st::kAuthenticationError);
    applications_.resize(1);
    DiscardTransaction();
    return df::Status(st::kOk);
}

// Files.

NativeAnswer DesfireCard::CreateFile(const Bytes& command) {
    const uint8_t code = command[0];
    namespace cmd = df::command;
    const bool data = code == cmd::kCreateStdDataFile || code == cmd::kCreateBackupDataFile;
    const bool record =
        code == cmd::kCreateCyclicRecordFile || code == cmd::kCreateLinearRecordFile;
    const size_t length = data ? 8 : record ? 11 : 18;
    if (command.size() != length) return Fail(st::kLengthError);
    if (selected_ == 0) return Fail(st::kPermissionDenied);
    if (!(Selected().keySettings & df::key_settings::kFreeCreateDelete) && authenticatedKey_ != 0) {
        return Fail(st::kAuthenticationError);
    }
    const uint8_t number = command[1];
    if (number > df::kMaxFileNumber || !ValidCommunication(command[2])) {
        return Fail(st::kParameterError);
    }
    if (FindFile(number) != nullptr) return Fail(st::kDuplicateError);
    df::File file;
    file.communication = command[2];
    file.access = {command[3], command[4]};
    size_t dataSize = 0;
    if (data) {
        file.type =
            code == cmd::kCreateStdDataFile ? df::file_type::kStandard : df::file_type::kBackup;
        dataSize = Le24(&command[5]);
        if (dataSize == 0) return Fail(st::kParameterError);
    } else if (record) {
        file.type = code == cmd::kCreateCyclicRecordFile ? df::file_type::kCyclicRecord
                                                         : df::file_type::kLinearRecord;
        file.recordSize = Le24(&command[5]);
        file.maxRecords = Le24(&command[8]);
        const uint32_t least = file.type == df::file_type::kCyclicRecord ? 2 : 1;
        if (file.recordSize == 0 || file.maxRecords < least) return Fail(st::kParameterError);
    } else {
        file.type = df::file_type::kValue;
        file.lowerLimit = Le32(&command[5]);
        file.upperLimit = Le32(&command[9]);
        file.value = Le32(&command[13]);
        file.limitedCreditEnabled = (command[17] & 0x01) != 0;
        if (file.lowerLimit > file.upperLimit) return Fail(st::kParameterError);
        if (file.value < file.lowerLimit || file.value > file.upperLimit) {
            return Fail(st::kBoundaryError);
        }
    }
    // Charge the memory before any allocation: a file may ask for up to 16 MB.
    size_t cost = df::MemoryOf(file);
    if (data) cost += (file.type == df::file_type::kBackup ? 2 : 1) * ((dataSize + 31) / 32 * 32);
    if (UsedMemory() + cost > capacity_) return Fail(st::kOutOfEeprom);
    file.data.assign(dataSize, 0x00);
    Selected().files.emplace(number, std::move(file));
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::DeleteFile(const Bytes& command) {
    if (command.size() != 2) return Fail(st::kLengthError);
    if (selected_ == 0) return Fail(st::kPermissionDenied);
    if (!(Selected().keySettings & df::key_settings::kFreeCreateDelete) && authenticatedKey_ != 0) {
        return Fail(st::kAuthenticationError);
    }
    if (FindFile(command[1]) == nullptr) return Fail(st::kFileNotFound);
    Selected().files.erase(command[1]);
    pending_.erase(command[1]);
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::GetFileIds(const Bytes& command) {
    if (command.size() != 1) return Fail(st::kLengthError);
    if (selected_ == 0) return Fail(st::kPermissionDenied);
    if (!(Selected().keySettings & df::key_settings::kFreeDirectoryList) &&
        authenticatedKey_ != 0) {
        return Fail(st::kAuthenticationError);
    }
    Bytes numbers;
    for (const auto& [number, file] : Selected().files) numbers.push_back(number);
    return df::Frames(numbers);
}

NativeAnswer DesfireCard::GetFileSettings(const Bytes& command) {
    if (command.size() != 2) return Fail(st::kLengthError);
    if (selected_ == 0) return Fail(st::kPermissionDenied);
    if (!(Selected().keySettings & df::key_settings::kFreeDirectoryList) &&
        authenticatedKey_ != 0) {
        return Fail(st::kAuthenticationError);
    }
    const df::File* file = FindFile(command[1]);
    if (file == nullptr) return Fail(st::kFileNotFound);
    Bytes settings = {file->type, file->communication, file->access[0], file->access[1]};
    switch (file->type) {
        case df::file_type::kStandard:
        case df::file_type::kBackup:
            PutLe(settings, static_cast<uint32_t>(file->data.size()), 3);
            break;
        case df::file_type::kValue:
            PutLe(settings, static_cast<uint32_t>(file->lowerLimit), 4);
            PutLe(settings, static_cast<uint32_t>(file->upperLimit), 4);
            PutLe(settings, static_cast<uint32_t>(file->limitedCreditValue), 4);
            settings.push_back(file->limitedCreditEnabled ? 1 : 0);
            break;
        default:
            PutLe(settings, file->recordSize, 3);
            PutLe(settings, file->maxRecords, 3);
            PutLe(settings, static_cast<uint32_t>(file->records.size()), 3);
    }
    return NativeAnswer{st::kOk, {settings}};
}

NativeAnswer DesfireCard::ChangeFileSettings(const Bytes& command) {
    // Plain: file number, communication settings, access bytes (5 bytes) when the change right
    // is free; else those three bytes, their CRC_A and 3 zero bytes enciphered (10 bytes).
    if (command.size() < 2) return Fail(st::kLengthError);
    if (selected_ == 0) return Fail(st::kPermissionDenied);
    df::File* file = FindFile(command[1]);
    if (file == nullptr) return Fail(st::kFileNotFound);
    const uint8_t change = file->ChangeRight();
    if (change == df::kNoAccess) return Fail(st::kPermissionDenied);
    Bytes settings;
    if (change == df::kFreeAccess) {
        if (command.size() != 5) return Fail(st::kLengthError);
        settings.assign(command.begin() + 2, command.end());
    } else {
        if (authenticatedKey_ != change) return Fail(st::kAuthenticationError);
        if (command.size() != 10) return Fail(st::kLengthError);
        uint8_t plain[8] = {};
        if (!df::DecodeFromHost(sessionKey_, command.data() + 2, plain, 8)) {
            return Fail(st::kCommandAborted);
        }
        if (Crc16A(plain, 3) != (plain[3] | (plain[4] << 8))) return Fail(st::kIntegrityError);
        settings.assign(plain, plain + 3);
    }
    if (!ValidCommunication(settings[0])) return Fail(st::kParameterError);
    file->communication = settings[0];
    file->access = {settings[1], settings[2]};
    return df::Status(st::kOk);
}

// Data files.

NativeAnswer DesfireCard::ReadData(const Bytes& command) {
    // File number, offset (3), length (3; 0 reads to the end of the file).
    if (command.size() != 8) return Fail(st::kLengthError);
    const auto [file, mode, refusal] =
        OpenFile(command[1], FileKind::kData, kReadRight | kReadWriteRight);
    if (refusal != st::kOk) return Fail(refusal);
    const size_t offset = Le24(&command[2]);
    size_t length = Le24(&command[5]);
    if (offset >= file->data.size()) return Fail(st::kBoundaryError);
    if (length == 0) length = file->data.size() - offset;
    if (offset + length > file->data.size()) return Fail(st::kBoundaryError);
    const auto begin = file->data.begin() + static_cast<ptrdiff_t>(offset);
    return df::Frames(ToHost(mode, Bytes(begin, begin + static_cast<ptrdiff_t>(length))));
}

NativeAnswer DesfireCard::WriteData(const Bytes& command) {
    // File number, offset (3), length (3) of the plain data, then the data in the file's mode.
    if (command.size() < 8) return Fail(st::kLengthError);
    const auto [file, mode, refusal] =
        OpenFile(command[1], FileKind::kData, kWriteRight | kReadWriteRight);
    if (refusal != st::kOk) return Fail(refusal);
    const size_t offset = Le24(&command[2]);
    const size_t length = Le24(&command[5]);
    if (length == 0) return Fail(st::kLengthError);
    if (offset + length > file->data.size()) return Fail(st::kBoundaryError);
    uint8_t status = st::kOk;
    const std::optional<Bytes> data =
        FromHost(mode, command.data() + 8, command.size() - 8, length, &status);
    if (!data) return Fail(status);
    df::File& target = Writable(command[1]);
    std::copy(data->begin(), data->end(), target.data.begin() + static_cast<ptrdiff_t>(offset));
    return df::Status(st::kOk);
}

// Value files.

NativeAnswer DesfireCard::GetValue(const Bytes& command) {
    if (command.size() != 2) return Fail(st::kLengthError);
    const auto [file, mode, refusal] =
        OpenFile(command[1], FileKind::kValue, kReadRight | kWriteRight | kReadWriteRight);
    if (refusal != st::kOk) return Fail(refusal);
    Bytes value;
    PutLe(value, static_cast<uint32_t>(file->value), 4);
    return NativeAnswer{st::kOk, {ToHost(mode, value)}};
}

NativeAnswer DesfireCard::ChangeValue(const Bytes& command) {
    // File number, then the amount (4 bytes) in the file's mode.
    if (command.size() < 2) return Fail(st::kLengthError);
    const uint8_t code = command[0];
    // A limited credit takes the write or the read-and-write right, a credit only the latter, a
    // debit any of the three.
    uint8_t rights = kWriteRight | kReadWriteRight;
    if (code == df::command::kCredit) rights = kReadWriteRight;
    if (code == df::command::kDebit) rights = kReadRight | kWriteRight | kReadWriteRight;
    const auto [file, mode, refusal] = OpenFile(command[1], FileKind::kValue, rights);
    if (refusal != st::kOk) return Fail(refusal);
    uint8_t status = st::kOk;
    const std::optional<Bytes> data =
        FromHost(mode, command.data() + 2, command.size() - 2, 4, &status);
    if (!data) return Fail(status);
    const int32_t amount = Le32(data->data());
    if (amount < 0) return Fail(st::kParameterError);
    if (code == df::command::kLimitedCredit && !file->limitedCreditEnabled) {
        return Fail(st::kPermissionDenied);
    }
    Pending& pending = *PendingOf(command[1]);
    const int64_t value = pending.file.value;
    int64_t result = value;
    if (code == df::command::kDebit) {
        result = value - amount;
        if (result < file->lowerLimit) return Fail(st::kBoundaryError);
        pending.debited += amount;
    } else {
        if (code == df::command::kLimitedCredit) {
            // Once, and up to the debits of the last committed transaction that had any.
            if (pending.limitedCredited) return Fail(st::kPermissionDenied);
            if (amount > file->limitedCreditValue) return Fail(st::kBoundaryError);
        }
        result = value + amount;
        if (result > file->upperLimit) return Fail(st::kBoundaryError);
        if (code == df::command::kLimitedCredit) pending.limitedCredited = true;
    }
    pending.file.value = static_cast<int32_t>(result);
    return df::Status(st::kOk);
}

// Record files.

NativeAnswer DesfireCard::WriteRecord(const Bytes& command) {
    // As WriteData: the offset and length within the record.
    if (command.size() < 8) return Fail(st::kLengthError);
    const auto [file, mode, refusal] =
        OpenFile(command[1], FileKind::kRecord, kWriteRight | kReadWriteRight);
    if (refusal != st::kOk) return Fail(refusal);
    const size_t offset = Le24(&command[2]);
    const size_t length = Le24(&command[5]);
    if (length == 0) return Fail(st::kLengthError);
    if (offset + length > file->recordSize) return Fail(st::kBoundaryError);
    uint8_t status = st::kOk;
    const std::optional<Bytes> data =
        FromHost(mode, command.data() + 8, command.size() - 8, length, &status);
    if (!data) return Fail(status);
    Pending& pending = *PendingOf(command[1]);
    std::vector<Bytes>& records = pending.file.records;
    if (!pending.recordOpen) {
        // A transaction writes one new record. A cyclic file keeps one record free for it,
        // so it holds at most maxRecords - 1 and drops the oldest.
        if (file->type == df::file_type::kLinearRecord) {
            if (records.size() >= file->maxRecords) return Fail(st::kBoundaryError);
        } else if (records.size() >= file->maxRecords - 1) {
            records.erase(records.begin());
        }
        records.emplace_back(file->recordSize, 0x00);
        pending.recordOpen = true;
    }
    std::copy(data->begin(), data->end(), records.back().begin() + static_cast<ptrdiff_t>(offset));
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::ReadRecords(const Bytes& command) {
    // File number, offset (3: records back from the newest), count (3; 0: all from there to the
    // oldest). The records go out oldest first.
    if (command.size() != 8) return Fail(st::kLengthError);
    const auto [file, mode, refusal] =
        OpenFile(command[1], FileKind::kRecord, kReadRight | kReadWriteRight);
    if (refusal != st::kOk) return Fail(refusal);
    const size_t existing = file->records.size();
    const size_t offset = Le24(&command[2]);
    size_t count = Le24(&command[5]);
    if (offset >= existing) return Fail(st::kBoundaryError);
    if (count == 0) count = existing - offset;
    if (offset + count > existing) return Fail(st::kBoundaryError);
    Bytes data;
    for (size_t i = existing - offset - count; i < existing - offset; ++i) {
        data.insert(data.end(), file->records[i].begin(), file->records[i].end());
    }
    return df::Frames(ToHost(mode, data));
}

NativeAnswer DesfireCard::ClearRecordFile(const Bytes& command) {
    if (command.size() != 2) return Fail(st::kLengthError);
    const uint8_t refusal = OpenFile(command[1], FileKind::kRecord, kReadWriteRight).status;
    if (refusal != st::kOk) return Fail(refusal);
    Pending& pending = *PendingOf(command[1]);
    pending.file.records.clear();
    pending.recordOpen = false;
    return df::Status(st::kOk);
}

// Transactions.

NativeAnswer DesfireCard::CommitTransaction(const Bytes& command) {
    if (command.size() != 1) return Fail(st::kLengthError);
    if (pending_.empty()) return df::Status(st::kNoChanges);
    for (auto& [number, pending] : pending_) {
        df::File* file = FindFile(number);
        if (file == nullptr) continue;
        // The contents only: settings changed meanwhile stay.
        file->data = std::move(pending.file.data);
        file->records = std::move(pending.file.records);
        file->value = pending.file.value;
        if (pending.debited > 0) {
            file->limitedCreditValue = static_cast<int32_t>(
                std::min<int64_t>(pending.debited, std::numeric_limits<int32_t>::max()));
        } else if (pending.limitedCredited) {
            file->limitedCreditValue = 0;
        }
    }
    pending_.clear();
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::AbortTransaction(const Bytes& command) {
    if (command.size() != 1) return Fail(st::kLengthError);
    if (pending_.empty()) return df::Status(st::kNoChanges);
    pending_.clear();
    return df::Status(st::kOk);
}

}  // namespace kestrel::sim
