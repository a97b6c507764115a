// The DESFire card's applications: selecting, creating, deleting and listing them, formatting
// the card, and the EEPROM applications and files take.
#include "cards/desfire/internal.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/helpers/hex.h"

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

// AIDs per frame of the application list: whole AIDs only.
constexpr size_t kAidsPerFrame = df::kMaxFrameData / 3;

}  // namespace

const df::Application* DesfireCard::FindApplication(const df::Aid& aid) const {
    for (const df::Application& application : applications_) {
        if (application.aid == aid) return &application;
    }
    return nullptr;
}

df::Application* DesfireCard::FindApplication(const df::Aid& aid) {
    for (df::Application& application : applications_) {
        if (application.aid == aid) return &application;
    }
    return nullptr;
}

bool DesfireCard::AddApplication(const df::Aid& aid, uint8_t keySettings, size_t keyCount,
                                 std::string* error, df::KeyType type) {
    std::string problem;
    if (aid == df::kCardLevel) {
        problem = "AID 000000 is the card level, not an application";
    } else if (FindApplication(aid) != nullptr) {
        problem = "application " + ToHex(aid.data(), aid.size()) + " exists already";
    } else if (keyCount < 1 || keyCount > df::kMaxKeys) {
        problem = "an application has 1 to 14 keys, not " + std::to_string(keyCount);
    }
    if (!problem.empty()) {
        if (error) *error = problem;
        return false;
    }
    df::Application application;
    application.aid = aid;
    application.keySettings = keySettings;
    application.ResetKeys(type, keyCount);
    applications_.push_back(std::move(application));
    return true;
}

uint8_t DesfireCard::MayList(bool cardLevel) const {
    if ((selected_ == 0) != cardLevel) return st::kPermissionDenied;
    if (!(SelectedApplication().keySettings & df::key_settings::kFreeDirectoryList) &&
        session_.KeyNumber() != 0) {
        return st::kAuthenticationError;
    }
    return st::kOk;
}

NativeAnswer DesfireCard::SelectApplication(const Bytes& command) {
    if (command.size() != 4) return df::Status(st::kLengthError);
    const df::Aid aid = {command[1], command[2], command[3]};
    session_.End();
    transaction_.Discard();
    for (size_t i = 0; i < applications_.size(); ++i) {
        if (applications_[i].aid == aid) {
            selected_ = i;
            return df::Status(st::kOk);
        }
    }
    return df::Status(st::kApplicationNotFound);
}

NativeAnswer DesfireCard::CreateApplication(const Bytes& command) {
    // AID (3), key settings, key-count byte (number of keys; bit 5: ISO file identifiers;
    // bits 6-7: key type), then with ISO names its file identifier (2) and a DF name (0-16).
    if (command.size() < 6) return df::Status(st::kLengthError);
    const uint8_t keyCount = command[5];
    const bool iso = (keyCount & df::key_count::kIsoFileIds) != 0;
    if (command.size() != 6 &&
        (!iso || command.size() < 8 || command.size() > 8 + df::kMaxDfName)) {
        return df::Status(st::kLengthError);
    }
    if (selected_ != 0) return df::Status(st::kPermissionDenied);
    if (!(applications_[0].keySettings & df::key_settings::kFreeCreateDelete) &&
        session_.KeyNumber() != 0) {
        return df::Status(st::kAuthenticationError);
    }
    const df::Aid aid = {command[1], command[2], command[3]};
    const size_t keys = keyCount & df::key_count::kNumberMask;
    const std::optional<df::KeyType> type =
        df::KeyTypeOfBits(keyCount >> df::key_count::kKeyTypeShift);
    if (aid == df::kCardLevel || keys < 1 || keys > df::kMaxKeys || !type ||
        (keyCount & df::key_count::kReserved)) {
        return df::Status(st::kParameterError);
    }
    df::Application application;
    application.aid = aid;
    application.keySettings = command[4];
    application.ResetKeys(*type, keys);
    application.isoFileIds = iso;
    if (command.size() >= 8) application.isoFileId = df::Le16(&command[6]);
    application.dfName.assign(command.begin() + std::min<ptrdiff_t>(8, command.size()),
                              command.end());
    if (FindApplication(aid) != nullptr) return df::Status(st::kDuplicateError);
    for (const df::Application& other : applications_) {
        if ((application.isoFileId && other.isoFileId == application.isoFileId) ||
            (!application.dfName.empty() && other.dfName == application.dfName)) {
            return df::Status(st::kDuplicateError);
        }
    }
    if (applications_.size() - 1 >= df::kMaxApplications) return df::Status(st::kCountError);
    if (UsedMemory() + df::MemoryOf(application) > capacity_) {
        return df::Status(st::kOutOfEeprom);
    }
    applications_.push_back(std::move(application));
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::DeleteApplication(const Bytes& command) {
    if (command.size() != 4) return df::Status(st::kLengthError);
    const df::Aid aid = {command[1], command[2], command[3]};
    if (aid == df::kCardLevel) return df::Status(st::kParameterError);
    size_t index = 0;
    while (index < applications_.size() && applications_[index].aid != aid) ++index;
    if (index == applications_.size()) return df::Status(st::kApplicationNotFound);
    // The card master key deletes any application, an application's master key its own.
    const bool allowed = session_.KeyNumber() == 0 && (selected_ == 0 || selected_ == index);
    if (!allowed) return df::Status(st::kAuthenticationError);
    applications_.erase(applications_.begin() + static_cast<ptrdiff_t>(index));
    if (selected_ == index) {
        selected_ = 0;
        transaction_.Discard();
        session_.End();
    } else if (selected_ > index) {
        --selected_;
    }
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::GetApplicationIds(const Bytes& command) {
    if (command.size() != 1) return df::Status(st::kLengthError);
    if (const uint8_t refusal = MayList(true); refusal != st::kOk) return df::Status(refusal);
    NativeAnswer answer;
    for (size_t i = 1; i < applications_.size(); ++i) {
        if ((i - 1) % kAidsPerFrame == 0) answer.frames.emplace_back();
        const df::Aid& aid = applications_[i].aid;
        answer.frames.back().insert(answer.frames.back().end(), aid.begin(), aid.end());
    }
    return answer;
}

NativeAnswer DesfireCard::GetDfNames(const Bytes& command) {
    // One frame per application with ISO names: AID, file identifier, DF name.
    if (command.size() != 1) return df::Status(st::kLengthError);
    if (const uint8_t refusal = MayList(true); refusal != st::kOk) return df::Status(refusal);
    NativeAnswer answer;
    for (size_t i = 1; i < applications_.size(); ++i) {
        const df::Application& application = applications_[i];
        if (!application.isoFileId) continue;
        Bytes frame(application.aid.begin(), application.aid.end());
        df::PutLe(frame, *application.isoFileId, 2);
        frame.insert(frame.end(), application.dfName.begin(), application.dfName.end());
        answer.frames.push_back(std::move(frame));
    }
    return answer;
}

NativeAnswer DesfireCard::FormatPicc(const Bytes& command) {
    if (command.size() != 1) return df::Status(st::kLengthError);
    if (selected_ != 0 || session_.KeyNumber() != 0) return df::Status(st::kAuthenticationError);
    applications_.resize(1);
    transaction_.Discard();
    return df::Status(st::kOk);
}

}  // namespace kestrel::sim
