// The DESFire card's file directory: creating, deleting and listing files, their settings, and
// the access rights that decide whether and how a command reaches a file's data.
//
// Data travels in the mode the file's communication settings name whenever the authentication
// grants the access right used; an access granted only by free access (0xE) travels plain.
#include "cards/desfire/internal.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"

namespace kestrel::sim {

namespace {

bool ValidCommunication(uint8_t settings) {
    return settings == df::communication::kPlain || settings == df::communication::kMaced ||
           settings == df::communication::kEnciphered;
}

}  // namespace

uint8_t DesfireCard::Grant(const df::File& file, uint8_t rights, uint8_t* mode) const {
    const struct {
        uint8_t bit;
        uint8_t right;
    } named[] = {{kReadRight, file.ReadRight()},
                 {kWriteRight, file.WriteRight()},
                 {kReadWriteRight, file.ReadWriteRight()}};
    const std::optional<uint8_t> authenticated = session_.KeyNumber();
    bool free = false;
    bool never = true;
    for (const auto& [bit, right] : named) {
        if (!(rights & bit)) continue;
        if (authenticated && right == *authenticated) {
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

size_t DesfireCard::DataCommandLength(const Bytes& first, bool record) {
    // A command the card refuses at once runs with its first frame and answers the error.
    if (first.size() < 8) return first.size();
    const OpenedFile opened = OpenFile(first[1], record ? FileKind::kRecord : FileKind::kData,
                                       kWriteRight | kReadWriteRight);
    if (opened.status != st::kOk) return first.size();
    return 8 + session_.PayloadLength(opened.mode, df::Le24(&first[5]));
}

NativeAnswer DesfireCard::CreateFile(const Bytes& command) {
    const uint8_t code = command[0];
    namespace cmd = df::command;
    const bool data = code == cmd::kCreateStdDataFile || code == cmd::kCreateBackupDataFile;
    const bool record =
        code == cmd::kCreateCyclicRecordFile || code == cmd::kCreateLinearRecordFile;
    const size_t length = data ? 8 : record ? 11 : 18;
    // Data and record files of an application with ISO names may have an ISO file identifier
    // (2 bytes after the file number).
    const bool withIsoId =
        (data || record) && command.size() == length + 2 && selected_ != 0 && Selected().isoFileIds;
    if (command.size() != length && !withIsoId) return df::Status(st::kLengthError);
    if (selected_ == 0) return df::Status(st::kPermissionDenied);
    if (!(Selected().keySettings & df::key_settings::kFreeCreateDelete) &&
        session_.KeyNumber() != 0) {
        return df::Status(st::kAuthenticationError);
    }
    const uint8_t number = command[1];
    // The fields after the number (and the ISO file identifier).
    const uint8_t* fields = command.data() + (withIsoId ? 4 : 2);
    if (number > df::kMaxFileNumber || !ValidCommunication(fields[0])) {
        return df::Status(st::kParameterError);
    }
    if (FindFile(number) != nullptr) return df::Status(st::kDuplicateError);
    df::File file;
    if (withIsoId) {
        file.isoFileId = df::Le16(&command[2]);
        for (const auto& [other, existing] : Selected().files) {
            if (existing.isoFileId == file.isoFileId) return df::Status(st::kDuplicateError);
        }
    }
    file.communication = fields[0];
    file.access = {fields[1], fields[2]};
    size_t dataSize = 0;
    if (data) {
        file.type =
            code == cmd::kCreateStdDataFile ? df::file_type::kStandard : df::file_type::kBackup;
        dataSize = df::Le24(&fields[3]);
        if (dataSize == 0) return df::Status(st::kParameterError);
    } else if (record) {
        file.type = code == cmd::kCreateCyclicRecordFile ? df::file_type::kCyclicRecord
                                                         : df::file_type::kLinearRecord;
        file.recordSize = df::Le24(&fields[3]);
        file.maxRecords = df::Le24(&fields[6]);
        const uint32_t least = file.type == df::file_type::kCyclicRecord ? 2 : 1;
        if (file.recordSize == 0 || file.maxRecords < least) {
            return df::Status(st::kParameterError);
        }
    } else {
        file.type = df::file_type::kValue;
        file.lowerLimit = df::Le32(&command[5]);
        file.upperLimit = df::Le32(&command[9]);
        file.value = df::Le32(&command[13]);
        file.limitedCreditEnabled = (command[17] & 0x01) != 0;
        if (file.lowerLimit > file.upperLimit) return df::Status(st::kParameterError);
        if (file.value < file.lowerLimit || file.value > file.upperLimit) {
            return df::Status(st::kBoundaryError);
        }
    }
    // Charge the memory before any allocation: a file may ask for up to 16 MB.
    size_t cost = df::MemoryOf(file);
    if (data) cost += (file.type == df::file_type::kBackup ? 2 : 1) * ((dataSize + 31) / 32 * 32);
    if (UsedMemory() + cost > capacity_) return df::Status(st::kOutOfEeprom);
    file.data.assign(dataSize, 0x00);
    Selected().files.emplace(number, std::move(file));
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::DeleteFile(const Bytes& command) {
    if (command.size() != 2) return df::Status(st::kLengthError);
    if (selected_ == 0) return df::Status(st::kPermissionDenied);
    if (!(Selected().keySettings & df::key_settings::kFreeCreateDelete) &&
        session_.KeyNumber() != 0) {
        return df::Status(st::kAuthenticationError);
    }
    if (FindFile(command[1]) == nullptr) return df::Status(st::kFileNotFound);
    Selected().files.erase(command[1]);
    transaction_.Forget(command[1]);
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::GetFileIds(const Bytes& command) {
    if (command.size() != 1) return df::Status(st::kLengthError);
    if (const uint8_t refusal = MayList(false); refusal != st::kOk) return df::Status(refusal);
    Bytes numbers;
    for (const auto& [number, file] : Selected().files) numbers.push_back(number);
    return df::Frames(numbers);
}

NativeAnswer DesfireCard::GetIsoFileIds(const Bytes& command) {
    // The ISO file identifiers of the files that have one, 2 bytes each, low byte first.
    if (command.size() != 1) return df::Status(st::kLengthError);
    if (const uint8_t refusal = MayList(false); refusal != st::kOk) return df::Status(refusal);
    Bytes identifiers;
    for (const auto& [number, file] : Selected().files) {
        if (file.isoFileId) df::PutLe(identifiers, *file.isoFileId, 2);
    }
    return df::Frames(identifiers);
}

NativeAnswer DesfireCard::GetFileSettings(const Bytes& command) {
    if (command.size() != 2) return df::Status(st::kLengthError);
    if (const uint8_t refusal = MayList(false); refusal != st::kOk) return df::Status(refusal);
    const df::File* file = FindFile(command[1]);
    if (file == nullptr) return df::Status(st::kFileNotFound);
    Bytes settings = {file->type, file->communication, file->access[0], file->access[1]};
    switch (file->type) {
        case df::file_type::kStandard:
        case df::file_type::kBackup:
            df::PutLe(settings, static_cast<uint32_t>(file->data.size()), 3);
            break;
        case df::file_type::kValue:
            df::PutLe(settings, static_cast<uint32_t>(file->lowerLimit), 4);
            df::PutLe(settings, static_cast<uint32_t>(file->upperLimit), 4);
            df::PutLe(settings, static_cast<uint32_t>(file->limitedCreditValue), 4);
            settings.push_back(file->limitedCreditEnabled ? 1 : 0);
            break;
        default:
            df::PutLe(settings, file->recordSize, 3);
            df::PutLe(settings, file->maxRecords, 3);
            df::PutLe(settings, static_cast<uint32_t>(file->records.size()), 3);
    }
    return NativeAnswer{st::kOk, {settings}};
}

NativeAnswer DesfireCard::ChangeFileSettings(const Bytes& command) {
    // Plain: file number, communication settings, access bytes (5 bytes) when the change right
    // is free; else those three bytes, their CRC and zero padding enciphered (CRC_A and 8
    // bytes; under secure messaging CRC32 over the code and file number too).
    if (command.size() < 2) return df::Status(st::kLengthError);
    if (selected_ == 0) return df::Status(st::kPermissionDenied);
    df::File* file = FindFile(command[1]);
    if (file == nullptr) return df::Status(st::kFileNotFound);
    const uint8_t change = file->ChangeRight();
    if (change == df::kNoAccess) return df::Status(st::kPermissionDenied);
    Bytes settings;
    if (change == df::kFreeAccess) {
        if (command.size() != 5) return df::Status(st::kLengthError);
        settings.assign(command.begin() + 2, command.end());
    } else {
        if (session_.KeyNumber() != change) return df::Status(st::kAuthenticationError);
        const size_t length = session_.Padded(3 + session_.CrcSize());
        if (command.size() != 2 + length) return df::Status(st::kLengthError);
        Bytes plain(length);
        if (!session_.Decipher(command.data() + 2, plain.data(), length)) {
            return df::Status(st::kCommandAborted);
        }
        if (!session_.CrcMatches({command[0], command[1]}, plain.data(), 3, &plain[3])) {
            return df::Status(st::kIntegrityError);
        }
        settings.assign(plain.begin(), plain.begin() + 3);
    }
    if (!ValidCommunication(settings[0])) return df::Status(st::kParameterError);
    file->communication = settings[0];
    file->access = {settings[1], settings[2]};
    return df::Status(st::kOk);
}

}  // namespace kestrel::sim
