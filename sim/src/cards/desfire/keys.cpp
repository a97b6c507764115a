// The DESFire card's keys: key settings, key versions and ChangeKey.
#include <algorithm>

#include "cards/desfire/crypto.h"
#include "cards/desfire/internal.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"
#include "kestrel_sim/helpers/crc.h"

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

}  // namespace desfire

NativeAnswer DesfireCard::GetKeySettings(const Bytes& command) {
    if (command.size() != 1) return df::Status(st::kLengthError);
    const df::Application& application = Selected();
    if (!(application.keySettings & df::key_settings::kFreeDirectoryList) &&
        session_.KeyNumber() != 0) {
        return df::Status(st::kAuthenticationError);
    }
    return NativeAnswer{st::kOk,
                        {{application.keySettings, static_cast<uint8_t>(application.keys.size())}}};
}

NativeAnswer DesfireCard::ChangeKeySettings(const Bytes& command) {
    // The settings byte, its CRC_A and five zero bytes, enciphered with the session key.
    if (command.size() != 9) return df::Status(st::kLengthError);
    if (session_.KeyNumber() != 0) return df::Status(st::kAuthenticationError);
    df::Application& application = Selected();
    if (!(application.keySettings & df::key_settings::kConfigurationChangeable)) {
        return df::Status(st::kPermissionDenied);
    }
    std::array<uint8_t, 8> plain{};
    if (!session_.Decipher(command.data() + 1, plain.data(), plain.size())) {
        return df::Status(st::kCommandAborted);
    }
    if (Crc16A(plain.data(), 1) != df::Le16(&plain[1])) return df::Status(st::kIntegrityError);
    application.keySettings = plain[0];
    return df::Status(st::kOk);
}

NativeAnswer DesfireCard::GetKeyVersion(const Bytes& command) {
    if (command.size() != 2) return df::Status(st::kLengthError);
    const df::Application& application = Selected();
    if (command[1] >= application.keys.size()) return df::Status(st::kNoSuchKey);
    return NativeAnswer{st::kOk, {{df::KeyVersion(application.keys[command[1]])}}};
}

NativeAnswer DesfireCard::ChangeKey(const Bytes& command) {
    // Key number, then 24 bytes enciphered with the session key: for the key of the current
    // authentication the new key, its CRC_A and six zero bytes; for another key the new key
    // XOR the old one, the CRC_A of that, the CRC_A of the new key and four zero bytes.
    if (command.size() != 26) return df::Status(st::kLengthError);
    df::Application& application = Selected();
    const uint8_t keyNumber = command[1];
    if (keyNumber >= application.keys.size()) return df::Status(st::kNoSuchKey);
    const std::optional<uint8_t> authenticated = session_.KeyNumber();
    if (!authenticated) return df::Status(st::kAuthenticationError);
    if (keyNumber == 0) {
        if (!(application.keySettings & df::key_settings::kMasterKeyChangeable)) {
            return df::Status(st::kPermissionDenied);
        }
        if (*authenticated != 0) return df::Status(st::kAuthenticationError);
    } else {
        const uint8_t changeKey = application.keySettings >> df::key_settings::kChangeKeyShift;
        if (changeKey == df::key_settings::kChangeKeyFrozen) {
            return df::Status(st::kPermissionDenied);
        }
        const uint8_t required =
            changeKey == df::key_settings::kChangeKeySameKey ? keyNumber : changeKey;
        if (*authenticated != required) return df::Status(st::kAuthenticationError);
    }

    std::array<uint8_t, 24> plain{};
    if (!session_.Decipher(command.data() + 2, plain.data(), plain.size())) {
        return df::Status(st::kCommandAborted);
    }
    const bool current = keyNumber == *authenticated;
    df::Key newKey{};
    bool intact = Crc16A(plain.data(), 16) == df::Le16(&plain[16]);
    for (size_t i = 0; i < newKey.size(); ++i) {
        newKey[i] =
            current ? plain[i] : static_cast<uint8_t>(plain[i] ^ application.keys[keyNumber][i]);
    }
    if (!current) intact = intact && Crc16A(newKey.data(), newKey.size()) == df::Le16(&plain[18]);
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

}  // namespace kestrel::sim
