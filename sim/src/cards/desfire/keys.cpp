// The DESFire card's keys: key types, key settings, key versions and ChangeKey.
#include <algorithm>

#include "cards/desfire/internal.h"
#include "kestrel_sim/cards/desfire/crypto.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/helpers/crc.h"

namespace kestrel::sim {

namespace desfire {

uint8_t KeyVersion(const uint8_t* key) {
    uint8_t version = 0;
    for (size_t i = 0; i < 8; ++i) version = static_cast<uint8_t>((version << 1) | (key[i] & 1));
    return version;
}

bool IsSingleDes(const Key& key) {
    return std::equal(key.begin(), key.begin() + 8, key.begin() + 8);
}

size_t KeySize(KeyType type) {
    return type == KeyType::k3k3Des ? 24 : 16;
}

size_t BlockSize(KeyType type) {
    return type == KeyType::kAes ? 16 : 8;
}

std::optional<KeyType> KeyTypeOfBits(uint8_t bits) {
    if (bits > static_cast<uint8_t>(KeyType::kAes)) return std::nullopt;
    return static_cast<KeyType>(bits);
}

void Application::ResetKeys(KeyType type, size_t count) {
    keyType = type;
    keys.assign(count, Key{});
    aesVersions.assign(count, 0);
}

uint8_t Application::KeyVersionOf(size_t number) const {
    return keyType == KeyType::kAes ? aesVersions.at(number) : KeyVersion(keys.at(number).data());
}

}  // namespace desfire

NativeAnswer DesfireCard::GetKeySettings(const Bytes& command) {
    if (command.size() != 1) return df::Status(st::kLengthError);
    const df::Application& application = Selected();
    if (!(application.keySettings & df::key_settings::kFreeDirectoryList) &&
        session_.KeyNumber() != 0) {
        return df::Status(st::kAuthenticationError);
    }
    // The number of keys, with the key type in bits 6-7.
    const uint8_t keys =
        static_cast<uint8_t>(application.keys.size() | (static_cast<uint8_t>(application.keyType)
                                                        << df::key_count::kKeyTypeShift));
    return NativeAnswer{st::kOk, {{application.keySettings, keys}}};
}

NativeAnswer DesfireCard::ChangeKeySettings(const Bytes& command) {
    // The settings byte, its CRC and zero padding to whole blocks, enciphered with the session
    // key (CRC_A and 8 bytes; under secure messaging CRC32 over the command code too).
    const size_t length = session_.Padded(1 + session_.CrcSize());
    if (command.size() != 1 + length) return df::Status(st::kLengthError);
    if (session_.KeyNumber() != 0) return df::Status(st::kAuthenticationError);
    df::Application& application = Selected();
    if (!(application.keySettings & df::key_settings::kConfigurationChangeable)) {
        return df::Status(st::kPermissionDenied);
    }
    Bytes plain(length);
    if (!session_.Decipher(command.data() + 1, plain.data(), plain.size())) {
        return df::Status(st::kCommandAborted);
    }
    if (!session_.CrcMatches({command[0]}, plain.data(), 1, &plain[1])) {
        return df::Status(st::kIntegrityError);
    }
    application.keySettings = plain[0];
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::GetKeyVersion(const Bytes& command) {
    if (command.size() != 2) return df::Status(st::kLengthError);
    const df::Application& application = Selected();
    if (command[1] >= application.keys.size()) return df::Status(st::kNoSuchKey);
    return NativeAnswer{st::kOk, {{application.KeyVersionOf(command[1])}}};
}

NativeAnswer DesfireCard::ChangeKey(const Bytes& command) {
    // Key number, then 24 bytes enciphered with the session key: for the key of the current
    // authentication the new key, its CRC_A and six zero bytes; for another key the new key
    // XOR the old one, the CRC_A of that, the CRC_A of the new key and four zero bytes.
    if (session_.Secure()) return ChangeKeySecure(command);
    if (command.size() != 26) return df::Status(st::kLengthError);
    df::Application& application = Selected();
    const uint8_t keyNumber = command[1];
    if (keyNumber >= application.keys.size()) return df::Status(st::kNoSuchKey);
    const uint8_t refusal = MayChangeKey(keyNumber);
    if (refusal != st::kOk) return df::Status(refusal);
    const uint8_t authenticated = *session_.KeyNumber();

    std::array<uint8_t, 24> plain{};
    if (!session_.Decipher(command.data() + 2, plain.data(), plain.size())) {
        return df::Status(st::kCommandAborted);
    }
    const bool current = keyNumber == authenticated;
    df::Key newKey{};
    bool intact = Crc16A(plain.data(), 16) == df::Le16(&plain[16]);
    for (size_t i = 0; i < 16; ++i) {
        newKey[i] =
            current ? plain[i] : static_cast<uint8_t>(plain[i] ^ application.keys[keyNumber][i]);
    }
    if (!current) intact = intact && Crc16A(newKey.data(), 16) == df::Le16(&plain[18]);
    df::Wipe(plain);
    if (!intact) {
        df::Wipe(newKey);
        return df::Status(st::kIntegrityError);
    }
    application.keys[keyNumber] = newKey;
    df::Wipe(newKey);
    // The key of the current authentication is gone: so is the authentication.
    if (current) session_.End();
    return df::Status(st::kOk);
}

uint8_t DesfireCard::MayChangeKey(uint8_t keyNumber) const {
    const df::Application& application = SelectedApplication();
    const std::optional<uint8_t> authenticated = session_.KeyNumber();
    if (!authenticated) return st::kAuthenticationError;
    if (keyNumber == 0) {
        if (!(application.keySettings & df::key_settings::kMasterKeyChangeable)) {
            return st::kPermissionDenied;
        }
        return *authenticated == 0 ? st::kOk : st::kAuthenticationError;
    }
    const uint8_t changeKey = application.keySettings >> df::key_settings::kChangeKeyShift;
    if (changeKey == df::key_settings::kChangeKeyFrozen) return st::kPermissionDenied;
    const uint8_t required =
        changeKey == df::key_settings::kChangeKeySameKey ? keyNumber : changeKey;
    return *authenticated == required ? st::kOk : st::kAuthenticationError;
}

NativeAnswer DesfireCard::ChangeKeySecure(const Bytes& command) {
    // Key number (at the card level with the new key type in bits 6-7), then enciphered on the
    // chain: for the key of the current authentication the new key, for another key the new
    // key XOR the old one; an AES key's version byte; the CRC32 of the command code, the key
    // number and those bytes; for another key the CRC32 of the new key alone; zero padding.
    if (command.size() < 2) return df::Status(st::kLengthError);
    df::Application& application = Selected();
    const bool cardLevel = selected_ == 0;
    const uint8_t keyNumber = cardLevel ? command[1] & 0x3F : command[1];
    df::KeyType type = application.keyType;
    if (cardLevel) {
        const std::optional<df::KeyType> named =
            df::KeyTypeOfBits(command[1] >> df::key_count::kKeyTypeShift);
        if (!named) return df::Status(st::kParameterError);
        type = *named;
    }
    if (keyNumber >= application.keys.size()) return df::Status(st::kNoSuchKey);
    const uint8_t refusal = MayChangeKey(keyNumber);
    if (refusal != st::kOk) return df::Status(refusal);

    const bool current = keyNumber == *session_.KeyNumber();
    const size_t keySize = df::KeySize(type);
    const size_t covered = keySize + (type == df::KeyType::kAes ? 1 : 0);
    const size_t length = session_.Padded(covered + 4 + (current ? 0 : 4));
    if (command.size() != 2 + length) return df::Status(st::kLengthError);
    Bytes plain(length);
    if (!session_.Decipher(command.data() + 2, plain.data(), plain.size())) {
        return df::Status(st::kCommandAborted);
    }
    df::Key newKey{};
    const df::Key& oldKey = application.keys[keyNumber];
    for (size_t i = 0; i < keySize; ++i) {
        newKey[i] = current ? plain[i] : static_cast<uint8_t>(plain[i] ^ oldKey[i]);
    }
    bool intact =
        session_.CrcMatches({command[0], command[1]}, plain.data(), covered, &plain[covered]);
    if (!current) {
        intact = intact && session_.CrcMatches({}, newKey.data(), keySize, &plain[covered + 4]);
    }
    const uint8_t version = type == df::KeyType::kAes ? plain[keySize] : 0;
    df::Wipe(plain);
    if (!intact) {
        df::Wipe(newKey);
        return df::Status(st::kIntegrityError);
    }
    // The card master key may change its type; an application's keys keep theirs.
    if (cardLevel) application.ResetKeys(type, 1);
    application.keys[keyNumber] = newKey;
    application.aesVersions[keyNumber] = version;
    df::Wipe(newKey);
    if (current) session_.End();
    return df::Status(st::kOk);
}

}  // namespace kestrel::sim
