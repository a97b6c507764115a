#include "kestrel_sim/cards/desfire/desfire_card.h"

#include <openssl/crypto.h>

#include <algorithm>

#include "cards/desfire/crypto.h"
#include "kestrel_sim/helpers/crc.h"
#include "kestrel_sim/helpers/hex.h"

namespace kestrel::sim {

namespace desfire {

uint8_t KeyVersion(const Key& key) {
    uint8_t version = 0;
    for (size_t i = 0; i < 8; ++i) version = static_cast<uint8_t>((version << 1) | (key[i] & 1));
    return version;
}

bool IsSingleDes(const Key& key) {
    return std::equal(key.begin(), key.begin() + 8, key.begin() + 8);
}

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

using desfire::NativeAnswer;
namespace df = desfire;

// GetVersion: vendor, type, subtype, major and minor version, storage size (2^12 bytes),
// protocol (ISO/IEC 14443-3 and -4) of the hardware, then of the software.
const Bytes kHardwareVersion = {0x04, 0x01, 0x01, 0x00, 0x02, 0x18, 0x05};
const Bytes kSoftwareVersion = {0x04, 0x01, 0x01, 0x00, 0x06, 0x18, 0x05};
// Batch number (5 bytes), calendar week and year of production (BCD).
const Bytes kProduction = {0x4B, 0x53, 0x49, 0x4D, 0x01, 0x01, 0x24};

uint16_t CrcAt(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::array<uint8_t, 8> RotateLeft(const uint8_t* bytes) {
    std::array<uint8_t, 8> rotated{};
    for (size_t i = 0; i < 8; ++i) rotated[i] = bytes[(i + 1) % 8];
    return rotated;
}

df::Application CardLevel() {
    df::Application level;
    level.aid = df::kCardLevel;
    level.keySettings = df::kFactoryKeySettings;
    level.keys.assign(1, df::Key{});
    return level;
}

// Wipes secrets from the stack before they go out of scope.
template <typename T>
void Wipe(T& secret) {
    OPENSSL_cleanse(secret.data(), secret.size() * sizeof(secret[0]));
}

}  // namespace

const Bytes DesfireCard::kAts = {0x06, 0x75, 0x77, 0x81, 0x02, 0x80};

DesfireCard::DesfireCard(Bytes uid)
    : Iso14443_4Card("desfire", std::move(uid), 0x0344, 0x20, kAts) {
    applications_.push_back(CardLevel());
    using Card = DesfireCard;
    RegisterNativeCommand(df::command::kGetVersion,
                          [](Card& c, const Bytes& command) { return c.GetVersion(command); });
    RegisterNativeCommand(df::command::kAuthenticate,
                          [](Card& c, const Bytes& command) { return c.Authenticate(command); });
    RegisterNativeCommand(df::command::kSelectApplication, [](Card& c, const Bytes& command) {
        return c.SelectApplication(command);
    });
    RegisterNativeCommand(df::command::kGetKeySettings,
                          [](Card& c, const Bytes& command) { return c.GetKeySettings(command); });
    RegisterNativeCommand(df::command::kChangeKeySettings, [](Card& c, const Bytes& command) {
        return c.ChangeKeySettings(command);
    });
    RegisterNativeCommand(df::command::kGetKeyVersion,
                          [](Card& c, const Bytes& command) { return c.GetKeyVersion(command); });
    RegisterNativeCommand(df::command::kChangeKey,
                          [](Card& c, const Bytes& command) { return c.ChangeKey(command); });
    RegisterFileCommands();
}

void DesfireCard::RegisterNativeCommand(uint8_t code, NativeHandler handler, CommandLength length) {
    commands_[code] = NativeCommand{std::move(handler), std::move(length)};
}

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
                                 std::string* error) {
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
    application.keys.assign(keyCount, df::Key{});
    applications_.push_back(std::move(application));
    return true;
}

void DesfireCard::EndSession() {
    authenticatedKey_.reset();
    Wipe(sessionKey_);
}

void DesfireCard::OnActivated() {
    Iso14443_4Card::OnActivated();
    EndSession();
    DiscardTransaction();
    continuation_ = nullptr;
    selected_ = 0;
}

void DesfireCard::OnDeactivated() {
    Iso14443_4Card::OnDeactivated();
    EndSession();
    DiscardTransaction();
    continuation_ = nullptr;
    selected_ = 0;
}

Bytes DesfireCard::HandleMessage(const Bytes& message) {
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
    if (total <= message.size()) return Reply(command.handler(*this, message));
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
        return found->second.handler(*this, command);
    };
}

Bytes DesfireCard::Reply(NativeAnswer answer) {
    if (answer.status != df::status::kOk && answer.status != df::status::kAdditionalFrame &&
        answer.status != df::status::kNoChanges) {
        // An error ends the authentication.
        EndSession();
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

NativeAnswer DesfireCard::Authenticate(const Bytes& command) {
    EndSession();
    DiscardTransaction();
    if (command.size() != 2) return df::Status(df::status::kLengthError);
    const uint8_t keyNumber = command[1];
    if (keyNumber >= Selected().keys.size()) return df::Status(df::status::kNoSuchKey);
    df::Key key = Selected().keys[keyNumber];
    std::array<uint8_t, 8> rndB{};
    if (fixedRndB_) {
        rndB = *fixedRndB_;
    } else if (!df::SecureRandom(rndB.data(), rndB.size())) {
        return df::Status(df::status::kCommandAborted);
    }
    Bytes challenge(8);
    if (!df::EncipherToHost(key, rndB.data(), challenge.data(), challenge.size())) {
        return df::Status(df::status::kCommandAborted);
    }
    continuation_ = [this, keyNumber, key, rndB](const Bytes& frame) mutable {
        NativeAnswer answer = FinishAuthentication(keyNumber, key, rndB, frame);
        Wipe(rndB);
        Wipe(key);
        return answer;
    };
    Wipe(rndB);
    Wipe(key);
    return NativeAnswer{df::status::kAdditionalFrame, {challenge}};
}

NativeAnswer DesfireCard::FinishAuthentication(uint8_t keyNumber, const df::Key& key,
                                               const std::array<uint8_t, 8>& rndB,
                                               const Bytes& frame) {
    // 0xAF, then the host's RndA and RndB rotated left by one byte, in the host's send mode.
    if (frame.size() != 17) return df::Status(df::status::kLengthError);
    std::array<uint8_t, 16> plain{};
    if (!df::DecodeFromHost(key, frame.data() + 1, plain.data(), plain.size())) {
        return df::Status(df::status::kCommandAborted);
    }
    const std::array<uint8_t, 8> expected = RotateLeft(rndB.data());
    if (!std::equal(expected.begin(), expected.end(), plain.begin() + 8)) {
        Wipe(plain);
        return df::Status(df::status::kAuthenticationError);
    }
    std::array<uint8_t, 8> rotatedA = RotateLeft(plain.data());
    Bytes proof(8);
    const bool enciphered = df::EncipherToHost(key, rotatedA.data(), proof.data(), proof.size());
    Wipe(rotatedA);
    if (!enciphered) {
        Wipe(plain);
        return df::Status(df::status::kCommandAborted);
    }
    // Session key: RndA 0-3, RndB 0-3, then for triple DES RndA 4-7, RndB 4-7 (for single
    // DES the first half again).
    const uint8_t* rndA = plain.data();
    for (size_t i = 0; i < 4; ++i) {
        sessionKey_[i] = rndA[i];
        sessionKey_[4 + i] = rndB[i];
        sessionKey_[8 + i] = df::IsSingleDes(key) ? rndA[i] : rndA[4 + i];
        sessionKey_[12 + i] = df::IsSingleDes(key) ? rndB[i] : rndB[4 + i];
    }
    Wipe(plain);
    authenticatedKey_ = keyNumber;
    return NativeAnswer{df::status::kOk, {proof}};
}

NativeAnswer DesfireCard::SelectApplication(const Bytes& command) {
    if (command.size() != 4) return df::Status(df::status::kLengthError);
    const df::Aid aid = {command[1], command[2], command[3]};
    EndSession();
    DiscardTransaction();
    for (size_t i = 0; i < applications_.size(); ++i) {
        if (applications_[i].aid == aid) {
            selected_ = i;
            return df::Status(df::status::kOk);
        }
    }
    return df::Status(df::status::kApplicationNotFound);
}

NativeAnswer DesfireCard::GetKeySettings(const Bytes& command) {
    if (command.size() != 1) return df::Status(df::status::kLengthError);
    const df::Application& application = Selected();
    if (!(application.keySettings & df::key_settings::kFreeDirectoryList) &&
        authenticatedKey_ != 0) {
        return df::Status(df::status::kAuthenticationError);
    }
    return NativeAnswer{df::status::kOk,
                        {{application.keySettings, static_cast<uint8_t>(application.keys.size())}}};
}

NativeAnswer DesfireCard::ChangeKeySettings(const Bytes& command) {
    // The settings byte, its CRC_A and five zero bytes, enciphered with the session key.
    if (command.size() != 9) return df::Status(df::status::kLengthError);
    if (authenticatedKey_ != 0) return df::Status(df::status::kAuthenticationError);
    df::Application& application = Selected();
    if (!(application.keySettings & df::key_settings::kConfigurationChangeable)) {
        return df::Status(df::status::kPermissionDenied);
    }
    std::array<uint8_t, 8> plain{};
    if (!df::DecodeFromHost(sessionKey_, command.data() + 1, plain.data(), plain.size())) {
        return df::Status(df::status::kCommandAborted);
    }
    if (Crc16A(plain.data(), 1) != CrcAt(&plain[1])) {
        return df::Status(df::status::kIntegrityError);
    }
    application.keySettings = plain[0];
    return df::Status(df::status::kOk);
}

NativeAnswer DesfireCard::GetKeyVersion(const Bytes& command) {
    if (command.size() != 2) return df::Status(df::status::kLengthError);
    const df::Application& application = Selected();
    if (command[1] >= application.keys.size()) return df::Status(df::status::kNoSuchKey);
    return NativeAnswer{df::status::kOk, {{df::KeyVersion(application.keys[command[1]])}}};
}

NativeAnswer DesfireCard::ChangeKey(const Bytes& command) {
    // Key number, then 24 bytes enciphered with the session key: for the key of the current
    // authentication the new key, its CRC_A and six zero bytes; for another key the new key
    // XOR the old one, the CRC_A of that, the CRC_A of the new key and four zero bytes.
    if (command.size() != 26) return df::Status(df::status::kLengthError);
    df::Application& application = Selected();
    const uint8_t keyNumber = command[1];
    if (keyNumber >= application.keys.size()) return df::Status(df::status::kNoSuchKey);
    if (!authenticatedKey_) return df::Status(df::status::kAuthenticationError);
    if (keyNumber == 0) {
        if (!(application.keySettings & df::key_settings::kMasterKeyChangeable)) {
            return df::Status(df::status::kPermissionDenied);
        }
        if (*authenticatedKey_ != 0) return df::Status(df::status::kAuthenticationError);
    } else {
        const uint8_t changeKey = application.keySettings >> df::key_settings::kChangeKeyShift;
        if (changeKey == df::key_settings::kChangeKeyFrozen) {
            return df::Status(df::status::kPermissionDenied);
        }
        const uint8_t required =
            changeKey == df::key_settings::kChangeKeySameKey ? keyNumber : changeKey;
        if (*authenticatedKey_ != required) return df::Status(df::status::kAuthenticationError);
    }

    std::array<uint8_t, 24> plain{};
    if (!df::DecodeFromHost(sessionKey_, command.data() + 2, plain.data(), plain.size())) {
        return df::Status(df::status::kCommandAborted);
    }
    const bool current = keyNumber == *authenticatedKey_;
    df::Key newKey{};
    bool intact = Crc16A(plain.data(), 16) == CrcAt(&plain[16]);
    for (size_t i = 0; i < newKey.size(); ++i) {
        newKey[i] =
            current ? plain[i] : static_cast<uint8_t>(plain[i] ^ application.keys[keyNumber][i]);
    }
    if (!current) intact = intact && Crc16A(newKey.data(), newKey.size()) == CrcAt(&plain[18]);
    Wipe(plain);
    if (!intact) {
        Wipe(newKey);
        return df::Status(df::status::kIntegrityError);
    }
    application.keys[keyNumber] = newKey;
    Wipe(newKey);
    // The key of the current authentication is gone: so is the authentication.
    if (current) EndSession();
    return df::Status(df::status::kOk);
}

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
    DiscardTransaction();
    selected_ = 0;
    EndSession();
    continuation_ = nullptr;
    return true;
}

}  // namespace kestrel::sim
