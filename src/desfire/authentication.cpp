#include "desfire/authentication.h"

#include <openssl/crypto.h>

#include <cstring>

#include "desfire/crypto.h"
#include "desfire/random.h"
#include "desfire/secret.h"

namespace kestrel::desfire {
namespace {

constexpr size_t kHalf = kKeyLength / 2;

// `value` (8 bytes) rotated left by one byte: bytes 1-7, then byte 0.
void RotateLeft(const uint8_t* value, uint8_t* out) {
    std::memcpy(out, value + 1, kRandomLength - 1);
    out[kRandomLength - 1] = value[0];
}

// Enciphers the plain block (a multiple of 8 bytes) in the send mode under the session key
// behind the command's header bytes and sends it; the card answers with no data.
Result SendCryptogram(const DesfireCard& card, const uint8_t* header, size_t headerLength,
                      const uint8_t* plain, size_t plainLength, const uint8_t* sessionKey) {
    uint8_t command[2 + 24];
    std::memcpy(command, header, headerLength);
    DfSendCipher(sessionKey, plain, command + headerLength, plainLength, false);
    return SendNativeCommandEx(card, command, static_cast<uint16_t>(headerLength + plainLength),
                               nullptr, nullptr);
}

}  // namespace

Result AuthKey(const DesfireCard& card, uint8_t keyNumber, const uint8_t* key,
               uint8_t* sessionKey) {
    if (key == nullptr || sessionKey == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    SecretBytes<kRandomLength> rndA;
    if (Result r = DfMakeRndA(rndA.data()); r != KESTREL_OK) return r;

    // The card's challenge: its status, then ek(RndB).
    const uint8_t start[2] = {kCmdAuthenticate, keyNumber};
    uint8_t challenge[1 + kRandomLength];
    uint16_t challengeLength = sizeof challenge;
    if (Result r = SendNativeCommand(card, start, sizeof start, challenge, &challengeLength,
                                     kCardTimeOutMs);
        r != KESTREL_OK) {
        return r;
    }
    if (challengeLength == 0) return kEmptyResponse;
    if (challenge[0] != kStatusAdditionalFrame) return CardStatusResult(challenge[0]);
    if (challengeLength != sizeof challenge) return KESTREL_ERR_WRONG_ANSWER_LENGTH;

    SecretBytes<kRandomLength> rndB;
    DfReceiveDecipher(key, challenge + 1, rndB.data(), kRandomLength);

    // The answer: RndA and RndB rotated, in the send mode under the key.
    SecretBytes<2 * kRandomLength> token;
    std::memcpy(token.data(), rndA.data(), kRandomLength);
    RotateLeft(rndB.data(), token.data() + kRandomLength);
    uint8_t answer[1 + 2 * kRandomLength];
    answer[0] = kCmdAdditionalFrame;
    DfSendCipher(key, token.data(), answer + 1, token.size(), false);

    // The card's proof: RndA rotated, enciphered.
    uint8_t proof[kRandomLength];
    uint16_t proofLength = sizeof proof;
    if (Result r = SendNativeCommandEx(card, answer, sizeof answer, proof, &proofLength);
        r != KESTREL_OK) {
        return r;
    }
    if (proofLength != sizeof proof) return KESTREL_ERR_WRONG_ANSWER_LENGTH;
    SecretBytes<kRandomLength> proven;
    DfReceiveDecipher(key, proof, proven.data(), kRandomLength);
    SecretBytes<kRandomLength> expected;
    RotateLeft(rndA.data(), expected.data());
    if (CRYPTO_memcmp(proven.data(), expected.data(), kRandomLength) != 0) {
        return KESTREL_ERR_DF_AUTHENTICATION;
    }

    SecretBytes<kKeyLength> derived;
    std::memcpy(derived.data(), rndA.data(), 4);
    std::memcpy(derived.data() + 4, rndB.data(), 4);
    if (CRYPTO_memcmp(key, key + kHalf, kHalf) == 0) {
        std::memcpy(derived.data() + kHalf, derived.data(), kHalf);
    } else {
        std::memcpy(derived.data() + 8, rndA.data() + 4, 4);
        std::memcpy(derived.data() + 12, rndB.data() + 4, 4);
    }
    std::memcpy(sessionKey, derived.data(), kKeyLength);
    return KESTREL_OK;
}

Result ChangeCurKey(const DesfireCard& card, uint8_t keyNumber, const uint8_t* newKey,
                    const uint8_t* sessionKey) {
    if (sessionKey == nullptr) return KESTREL_ERR_DF_NO_SESSION_KEY;
    if (newKey == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    SecretBytes<24> plain;  // new key, its CRC, six zero bytes
    std::memcpy(plain.data(), newKey, kKeyLength);
    Crc16Iso14443(kCrcA, newKey, kKeyLength, &plain[16], &plain[17]);
    const uint8_t header[2] = {kCmdChangeKey, keyNumber};
    return SendCryptogram(card, header, sizeof header, plain.data(), plain.size(), sessionKey);
}

Result ChangeKey(const DesfireCard& card, uint8_t keyNumber, const uint8_t* oldKey,
                 const uint8_t* newKey, const uint8_t* sessionKey) {
    if (sessionKey == nullptr) return KESTREL_ERR_DF_NO_SESSION_KEY;
    if (oldKey == nullptr || newKey == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    SecretBytes<24> plain;  // X, its CRC, the new key's CRC, four zero bytes
    for (size_t i = 0; i < kKeyLength; ++i) plain[i] = static_cast<uint8_t>(oldKey[i] ^ newKey[i]);
    Crc16Iso14443(kCrcA, plain.data(), kKeyLength, &plain[16], &plain[17]);
    Crc16Iso14443(kCrcA, newKey, kKeyLength, &plain[18], &plain[19]);
    const uint8_t header[2] = {kCmdChangeKey, keyNumber};
    return SendCryptogram(card, header, sizeof header, plain.data(), plain.size(), sessionKey);
}

Result GetKeySettings(const DesfireCard& card, uint8_t* settings, uint8_t* maxKeys) {
    if (settings == nullptr || maxKeys == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    const uint8_t command[1] = {kCmdGetKeySettings};
    uint8_t data[2];
    uint16_t dataLength = sizeof data;
    if (Result r = SendNativeCommandEx(card, command, sizeof command, data, &dataLength);
        r != KESTREL_OK) {
        return r;
    }
    if (dataLength != sizeof data) return KESTREL_ERR_WRONG_ANSWER_LENGTH;
    *settings = data[0];
    *maxKeys = data[1];
    return KESTREL_OK;
}

Result ChangeKeySettings(const DesfireCard& card, uint8_t settings, const uint8_t* sessionKey) {
    if (sessionKey == nullptr) return KESTREL_ERR_DF_NO_SESSION_KEY;
    SecretBytes<kBlockSize> plain;  // settings, their CRC, five zero bytes
    plain[0] = settings;
    Crc16Iso14443(kCrcA, plain.data(), 1, &plain[1], &plain[2]);
    const uint8_t header[1] = {kCmdChangeKeySettings};
    return SendCryptogram(card, header, sizeof header, plain.data(), plain.size(), sessionKey);
}

Result GetKeyVersion(const DesfireCard& card, uint8_t keyNumber, uint8_t* version) {
    if (version == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    const uint8_t command[2] = {kCmdGetKeyVersion, keyNumber};
    uint16_t capacity = 1;
    return SendNativeCommandEx(card, command, sizeof command, version, &capacity);
}

}  // namespace kestrel::desfire
