// DESFire authentication: the legacy DES / two-key triple DES exchange of RndA and RndB that
// starts a session.
#include <algorithm>

#include "cards/desfire/crypto.h"
#include "cards/desfire/internal.h"
#include "kestrel_sim/cards/desfire/desfire_card.h"

namespace kestrel::sim {

namespace {

std::array<uint8_t, 8> RotateLeft(const uint8_t* bytes) {
    std::array<uint8_t, 8> rotated{};
    for (size_t i = 0; i < 8; ++i) rotated[i] = bytes[(i + 1) % 8];
    return rotated;
}

}  // namespace

NativeAnswer DesfireCard::Authenticate(const Bytes& command) {
    session_.End();
    transaction_.Discard();
    if (command.size() != 2) return df::Status(st::kLengthError);
    const uint8_t keyNumber = command[1];
    if (keyNumber >= Selected().keys.size()) return df::Status(st::kNoSuchKey);
    df::Key key = Selected().keys[keyNumber];
    std::array<uint8_t, 8> rndB{};
    if (fixedRndB_) {
        rndB = *fixedRndB_;
    } else if (!df::SecureRandom(rndB.data(), rndB.size())) {
        return df::Status(st::kCommandAborted);
    }
    Bytes challenge(8);
    if (!df::EncipherToHost(key, rndB.data(), challenge.data(), challenge.size())) {
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
    const std::array<uint8_t, 8> expected = RotateLeft(rndB.data());
    if (!std::equal(expected.begin(), expected.end(), plain.begin() + 8)) {
        df::Wipe(plain);
        return df::Status(st::kAuthenticationError);
    }
    std::array<uint8_t, 8> rotatedA = RotateLeft(plain.data());
    Bytes proof(8);
    const bool enciphered = df::EncipherToHost(key, rotatedA.data(), proof.data(), proof.size());
    df::Wipe(rotatedA);
    if (!enciphered) {
        df::Wipe(plain);
        return df::Status(st::kCommandAborted);
    }
    // Session key: RndA 0-3, RndB 0-3, then for triple DES RndA 4-7, RndB 4-7 (for single
    // DES the first half again).
    const uint8_t* rndA = plain.data();
    df::Key sessionKey{};
    for (size_t i = 0; i < 4; ++i) {
        sessionKey[i] = rndA[i];
        sessionKey[4 + i] = rndB[i];
        sessionKey[8 + i] = df::IsSingleDes(key) ? rndA[i] : rndA[4 + i];
        sessionKey[12 + i] = df::IsSingleDes(key) ? rndB[i] : rndB[4 + i];
    }
    df::Wipe(plain);
    session_.Begin(keyNumber, sessionKey);
    df::Wipe(sessionKey);
    return NativeAnswer{st::kOk, {proof}};
}

}  // namespace kestrel::sim
