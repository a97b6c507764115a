// DESFire authentication: the exchange of RndA and RndB that starts a session. The legacy
// exchange (0x0A) for DES / two-key triple DES keys; the ISO exchange (0x1A) for those and
// three-key triple DES keys and the AES exchange (0xAA) for AES keys, which begin secure
// messaging.
#include <algorithm>

#include "cards/desfire/internal.h"
#include "kestrel_sim/cards/desfire/crypto.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"

namespace kestrel::sim {

namespace {

Bytes RotateLeft(const uint8_t* bytes, size_t length) {
    Bytes rotated(length);
    for (size_t i = 0; i < length; ++i) rotated[i] = bytes[(i + 1) % length];
    return rotated;
}

// The session key of the ISO and AES exchanges: pieces of RndA and RndB in turn, 4 bytes each.
df::Key SecureSessionKey(df::KeyType type, const df::Key& key, const uint8_t* rndA,
                         const uint8_t* rndB) {
    // Offsets of the pieces taken from both numbers.
    std::vector<size_t> offsets = {0, 4};
    if (type == df::KeyType::kAes) offsets = {0, 12};
    if (type == df::KeyType::k3k3Des) offsets = {0, 6, 12};
    if (type == df::KeyType::kDes && df::IsSingleDes(key)) offsets = {0, 0};
    df::Key sessionKey{};
    size_t at = 0;
    for (size_t offset : offsets) {
        std::copy(rndA + offset, rndA + offset + 4,
                  sessionKey.begin() + static_cast<ptrdiff_t>(at));
        std::copy(rndB + offset, rndB + offset + 4,
                  sessionKey.begin() + static_cast<ptrdiff_t>(at + 4));
        at += 8;
    }
    return sessionKey;
}

}  // namespace

bool DesfireCard::DrawRndB(uint8_t* out, size_t length) {
    if (!fixedRndB_) return df::SecureRandom(out, length);
    Bytes fixed = *fixedRndB_;
    fixed.resize(length, 0x00);
    std::copy(fixed.begin(), fixed.end(), out);
    return true;
}

NativeAnswer DesfireCard::Authenticate(const Bytes& command) {
    session_.End();
    transaction_.Discard();
    if (command.size() != 2) return df::Status(st::kLengthError);
    const uint8_t keyNumber = command[1];
    if (keyNumber >= Selected().keys.size()) return df::Status(st::kNoSuchKey);
    const df::KeyType type = Selected().keyType;
    // Each exchange serves its key types only.
    const bool aes = type == df::KeyType::kAes;
    const uint8_t code = command[0];
    if ((code == df::command::kAuthenticate && type != df::KeyType::kDes) ||
        (code == df::command::kAuthenticateIso && aes) ||
        (code == df::command::kAuthenticateAes && !aes)) {
        return df::Status(st::kAuthenticationError);
    }
    df::Key key = Selected().keys[keyNumber];
    if (code != df::command::kAuthenticate) return StartSecureAuthentication(keyNumber, key);

    std::array<uint8_t, 8> rndB{};
    Bytes challenge(8);
    if (!DrawRndB(rndB.data(), rndB.size()) ||
        !df::EncipherToHost(key, rndB.data(), challenge.data(), challenge.size())) {
        df::Wipe(key);
        return df::Status(st::kCommandAborted);
    }
    continuation_ = [this, keyNumber, key, rndB](const Bytes& frame) mutable {
        NativeAnswer answer = FinishAuthentication(keyNumber, key, rndB, frame);
        df::Wipe(rndB);
        df::Wipe(key);
        return answer;
    };
    df::Wipe(rndB);
    df::Wipe(key);
    return NativeAnswer{st::kAdditionalFrame, {challenge}};
}

NativeAnswer DesfireCard::FinishAuthentication(uint8_t keyNumber, const df::Key& key,
                                               const std::array<uint8_t, 8>& rndB,
                                               const Bytes& frame) {
    // 0xAF, then the host's RndA and RndB rotated left by one byte, in the host's send mode.
    if (frame.size() != 17) return df::Status(st::kLengthError);
    std::array<uint8_t, 16> plain{};
    if (!df::DecodeFromHost(key, frame.data() + 1, plain.data(), plain.size())) {
        return df::Status(st::kCommandAborted);
    }
    const Bytes expected = RotateLeft(rndB.data(), rndB.size());
    if (!std::equal(expected.begin(), expected.end(), plain.begin() + 8)) {
        df::Wipe(plain);
        return df::Status(st::kAuthenticationError);
    }
    Bytes rotatedA = RotateLeft(plain.data(), 8);
    Bytes proof(8);
    const bool enciphered = df::EncipherToHost(key, rotatedA.data(), proof.data(), proof.size());
    df::Wipe(rotatedA);
    if (!enciphered) {
        df::Wipe(plain);
        return df::Status(st::kCommandAborted);
    }
    // Session key: RndA 0-3, RndB 0-3, then for triple DES RndA 4-7, RndB 4-7 (for single
    // DES the first half again).
    df::Key sessionKey = SecureSessionKey(df::KeyType::kDes, key, plain.data(), rndB.data());
    df::Wipe(plain);
    session_.Begin(keyNumber, sessionKey);
    df::Wipe(sessionKey);
    return NativeAnswer{st::kOk, {proof}};
}

NativeAnswer DesfireCard::StartSecureAuthentication(uint8_t keyNumber, df::Key& key) {
    // RndB of 8 bytes for DES keys, 16 for the others, enciphered in CBC from a zero chain that
    // the whole exchange carries on.
    const df::KeyType type = Selected().keyType;
    const size_t length = type == df::KeyType::kDes ? 8 : 16;
    Bytes rndB(length);
    Bytes challenge(length);
    std::array<uint8_t, 16> iv{};
    if (!DrawRndB(rndB.data(), length) ||
        !df::CbcEncipher(type, key, iv.data(), rndB.data(), challenge.data(), length)) {
        df::Wipe(key);
        return df::Status(st::kCommandAborted);
    }
    continuation_ = [this, keyNumber, type, key, rndB, iv](const Bytes& frame) mutable {
        NativeAnswer answer = FinishSecureAuthentication(keyNumber, type, key, rndB, iv, frame);
        df::Wipe(rndB);
        df::Wipe(key);
        df::Wipe(iv);
        return answer;
    };
    df::Wipe(rndB);
    df::Wipe(key);
    return NativeAnswer{st::kAdditionalFrame, {challenge}};
}

NativeAnswer DesfireCard::FinishSecureAuthentication(uint8_t keyNumber, df::KeyType type,
                                                     const df::Key& key, const Bytes& rndB,
                                                     std::array<uint8_t, 16>& iv,
                                                     const Bytes& frame) {
    // 0xAF, then RndA and RndB rotated left by one byte, enciphered in CBC on the chain.
    const size_t length = rndB.size();
    if (frame.size() != 1 + 2 * length) return df::Status(st::kLengthError);
    Bytes plain(2 * length);
    if (!df::CbcDecipher(type, key, iv.data(), frame.data() + 1, plain.data(), plain.size())) {
        return df::Status(st::kCommandAborted);
    }
    const Bytes expected = RotateLeft(rndB.data(), length);
    if (!std::equal(expected.begin(), expected.end(),
                    plain.begin() + static_cast<ptrdiff_t>(length))) {
        df::Wipe(plain);
        return df::Status(st::kAuthenticationError);
    }
    Bytes rotatedA = RotateLeft(plain.data(), length);
    Bytes proof(length);
    const bool enciphered =
        df::CbcEncipher(type, key, iv.data(), rotatedA.data(), proof.data(), length);
    df::Wipe(rotatedA);
    df::Key sessionKey = SecureSessionKey(type, key, plain.data(), rndB.data());
    df::Wipe(plain);
    if (!enciphered) {
        df::Wipe(sessionKey);
        return df::Status(st::kCommandAborted);
    }
    session_.BeginSecure(keyNumber, type, sessionKey);
    df::Wipe(sessionKey);
    return NativeAnswer{st::kOk, {proof}};
}

}  // namespace kestrel::sim
