// The DESFire card: its native command table, the framing of commands and answers over
// 0xAF frames and in ISO/IEC 7816-4 APDUs, GetVersion, GetCardUID, the card's memory and its
// state file.
#include "kestrel_sim/cards/desfire/desfire_card.h"

#include <algorithm>

#include "cards/desfire/internal.h"
#include "kestrel_sim/helpers/hex.h"

namespace kestrel::sim {

namespace desfire {

NativeAnswer Status(uint8_t statusByte) {
    return NativeAnswer{statusByte, {}};
}

NativeAnswer Frames(const Bytes& data) {
    NativeAnswer answer;
    for (size_t offset = 0; offset < data.size(); offset += kMaxFrameData) {
        const size_t end = std::min(data.size(), offset + kMaxFrameData);
        answer.frames.emplace_back(data.begin() + static_cast<ptrdiff_t>(offset),
                                   data.begin() + static_cast<ptrdiff_t>(end));
    }
    return answer;
}

}  // namespace desfire

namespace {

// GetVersion: vendor, type, subtype, major and minor version, storage size (2^12 bytes),
// protocol (ISO/IEC 14443-3 and -4) of the hardware, then of the software.
const Bytes kHardwareVersion = {0x04, 0x01, 0x01, 0x00, 0x02, 0x18, 0x05};
const Bytes kSoftwareVersion = {0x04, 0x01, 0x01, 0x00, 0x06, 0x18, 0x05};
// Batch number (5 bytes), calendar week and year of production (BCD).
const Bytes kProduction = {0x4B, 0x53, 0x49, 0x4D, 0x01, 0x01, 0x24};

df::Application CardLevel() {
    df::Application level;
    level.aid = df::kCardLevel;
    level.keySettings = df::kFactoryKeySettings;
    level.ResetKeys(df::KeyType::kDes, 1);
    return level;
}

}  // namespace

const Bytes DesfireCard::kAts = {0x06, 0x75, 0x77, 0x81, 0x02, 0x80};

DesfireCard::DesfireCard(Bytes uid)
    : Iso14443_4Card("desfire", std::move(uid), 0x0344, 0x20, kAts) {
    applications_.push_back(CardLevel());
    using Card = DesfireCard;
    namespace cmd = df::command;
    const struct {
        uint8_t code;
        NativeAnswer (Card::*handler)(const Bytes&);
    } commands[] = {
        {cmd::kGetVersion, &Card::GetVersion},
        {cmd::kGetCardUid, &Card::GetCardUid},
        {cmd::kFreeMemory, &Card::FreeMemoryCommand},
        {cmd::kSelectApplication, &Card::SelectApplication},
        {cmd::kCreateApplication, &Card::CreateApplication},
        {cmd::kDeleteApplication, &Card::DeleteApplication},
        {cmd::kGetApplicationIds, &Card::GetApplicationIds},
        {cmd::kGetDfNames, &Card::GetDfNames},
        {cmd::kFormatPicc, &Card::FormatPicc},
        {cmd::kGetKeySettings, &Card::GetKeySettings},
        {cmd::kChangeKeySettings, &Card::ChangeKeySettings},
        {cmd::kGetKeyVersion, &Card::GetKeyVersion},
        {cmd::kChangeKey, &Card::ChangeKey},
        {cmd::kAuthenticate, &Card::Authenticate},
        {cmd::kAuthenticateIso, &Card::Authenticate},
        {cmd::kAuthenticateAes, &Card::Authenticate},
        {cmd::kCreateStdDataFile, &Card::CreateFile},
        {cmd::kCreateBackupDataFile, &Card::CreateFile},
        {cmd::kCreateValueFile, &Card::CreateFile},
        {cmd::kCreateCyclicRecordFile, &Card::CreateFile},
        {cmd::kCreateLinearRecordFile, &Card::CreateFile},
        {cmd::kDeleteFile, &Card::DeleteFile},
        {cmd::kGetFileIds, &Card::GetFileIds},
        {cmd::kGetIsoFileIds, &Card::GetIsoFileIds},
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
    for (const auto& entry : commands) {
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

void DesfireCard::RegisterNativeCommand(uint8_t code, NativeHandler handler, CommandLength length) {
    commands_[code] = NativeCommand{std::move(handler), std::move(length)};
}

void DesfireCard::Reset() {
    session_.End();
    transaction_.Discard();
    continuation_ = nullptr;
    selected_ = 0;
}

void DesfireCard::OnActivated() {
    Iso14443_4Card::OnActivated();
    Reset();
}

void DesfireCard::OnDeactivated() {
    Iso14443_4Card::OnDeactivated();
    Reset();
}

Bytes DesfireCard::HandleMessage(const Bytes& message) {
    if (!message.empty() && message[0] == df::kWrappedClass) return HandleWrapped(message);
    return HandleNative(message);
}

Bytes DesfireCard::HandleWrapped(const Bytes& apdu) {
    // CLA INS P1 P2, then nothing, Le, Lc and data, or Lc, data and Le.
    uint16_t fault = 0;
    size_t dataLength = 0;
    if (apdu.size() < 4) {
        fault = df::kSwWrongLength;
    } else if (apdu[2] != 0 || apdu[3] != 0) {
        fault = df::kSwWrongParameters;
    } else if (apdu.size() > 5) {
        dataLength = apdu[4];
        const size_t rest = apdu.size() - 5;
        if (rest != dataLength && rest != dataLength + 1) fault = df::kSwWrongLength;
    }
    if (fault != 0) {
        continuation_ = nullptr;
        session_.End();
        return {static_cast<uint8_t>(fault >> 8), static_cast<uint8_t>(fault & 0xFF)};
    }
    Bytes native = {apdu[1]};
    native.insert(native.end(), apdu.begin() + 5,
                  apdu.begin() + 5 + static_cast<ptrdiff_t>(dataLength));
    const Bytes answer = HandleNative(native);
    Bytes wrapped(answer.begin() + 1, answer.end());
    wrapped.push_back(df::kWrappedStatus);
    wrapped.push_back(answer[0]);
    return wrapped;
}

Bytes DesfireCard::HandleNative(const Bytes& message) {
    if (message.empty() || message.size() > df::kMaxFrame) {
        continuation_ = nullptr;
        return Reply(df::Status(df::status::kLengthError));
    }
    if (message[0] == df::command::kAdditionalFrame) {
        if (!continuation_) return Reply(df::Status(df::status::kIllegalCommand));
        Continuation next = std::move(continuation_);
        continuation_ = nullptr;
        return Reply(next(message));
    }
    // Any other command ends a pending answer, collection or authentication.
    continuation_ = nullptr;
    const auto found = commands_.find(message[0]);
    if (found == commands_.end()) return Reply(df::Status(df::status::kIllegalCommand));
    const NativeCommand& command = found->second;
    const size_t total = command.length ? command.length(message) : 0;
    if (total <= message.size()) return Reply(Run(command, message));
    if (total > df::kMaxCommand) return Reply(df::Status(df::status::kLengthError));

    // The command goes on in frames that start with 0xAF.
    continuation_ = Collect(message[0], message, total);
    return Reply(df::Status(df::status::kAdditionalFrame));
}

DesfireCard::Continuation DesfireCard::Collect(uint8_t code, Bytes command, size_t total) {
    return [this, code, command = std::move(command), total](const Bytes& frame) mutable {
        command.insert(command.end(), frame.begin() + 1, frame.end());
        if (command.size() > total) return df::Status(df::status::kLengthError);
        if (command.size() < total) {
            continuation_ = Collect(code, std::move(command), total);
            return df::Status(df::status::kAdditionalFrame);
        }
        const auto found = commands_.find(code);
        if (found == commands_.end()) return df::Status(df::status::kIllegalCommand);
        return Run(found->second, command);
    };
}

NativeAnswer DesfireCard::Run(const NativeCommand& command, const Bytes& message) {
    session_.Received(message);
    NativeAnswer answer = command.handler(*this, message);
    session_.Seal(answer.status, answer.frames);
    return answer;
}

Bytes DesfireCard::Reply(NativeAnswer answer) {
    if (answer.status != df::status::kOk && answer.status != df::status::kAdditionalFrame &&
        answer.status != df::status::kNoChanges) {
        // An error ends the authentication.
        session_.End();
    }
    Bytes frame;
    if (answer.frames.size() > 1) {
        NativeAnswer rest{answer.status,
                          std::vector<Bytes>(answer.frames.begin() + 1, answer.frames.end())};
        continuation_ = [rest](const Bytes& frame) {
            if (frame.size() != 1) return df::Status(df::status::kLengthError);
            return rest;
        };
        frame.push_back(df::status::kAdditionalFrame);
    } else {
        frame.push_back(answer.status);
    }
    if (!answer.frames.empty()) {
        frame.insert(frame.end(), answer.frames[0].begin(), answer.frames[0].end());
    }
    return frame;
}

NativeAnswer DesfireCard::GetVersion(const Bytes& command) {
    if (command.size() != 1) return df::Status(df::status::kLengthError);
    // Byte 5 of each version: the storage size, 2^(n/2) bytes.
    Bytes hardware = kHardwareVersion;
    Bytes software = kSoftwareVersion;
    const uint8_t storage = capacity_ == 2048 ? 0x16 : capacity_ == 8192 ? 0x1A : 0x18;
    hardware[5] = software[5] = storage;
    Bytes last = Uid();
    last.insert(last.end(), kProduction.begin(), kProduction.end());
    return NativeAnswer{df::status::kOk, {hardware, software, last}};
}

NativeAnswer DesfireCard::GetCardUid(const Bytes& command) {
    // The UID goes out enciphered under the session key: only an authenticated host reads it.
    if (command.size() != 1) return df::Status(df::status::kLengthError);
    if (!session_.KeyNumber()) return df::Status(df::status::kAuthenticationError);
    return NativeAnswer{df::status::kOk, {session_.ToHost(df::communication::kEnciphered, Uid())}};
}

// Memory.

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

NativeAnswer DesfireCard::FreeMemoryCommand(const Bytes& command) {
    if (command.size() != 1) return df::Status(df::status::kLengthError);
    Bytes data;
    df::PutLe(data, static_cast<uint32_t>(FreeMemory()), 3);
    return NativeAnswer{df::status::kOk, {data}};
}

// The state file.

Bytes DesfireCard::SaveImage() const {
    const std::string text = df::FormatStateFile(df::CardImage{Uid(), capacity_, applications_});
    return Bytes(text.begin(), text.end());
}

bool DesfireCard::LoadImage(const Bytes& image, std::string* error) {
    std::optional<df::CardImage> parsed =
        df::ParseStateFile(std::string(image.begin(), image.end()), error);
    if (!parsed) return false;
    if (parsed->uid != Uid()) {
        if (error) {
            *error = "the state file holds UID " + ToHex(parsed->uid) + ", not the card's " +
                     ToHex(Uid());
        }
        return false;
    }
    applications_ = std::move(parsed->applications);
    capacity_ = parsed->capacity;
    Reset();
    return true;
}

}  // namespace kestrel::sim
