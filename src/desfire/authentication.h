// DESFire authentication and key management: the legacy DES / two-key triple DES mutual
// authentication that produces the session key, key changes and key settings of the selected
// application (or of the card level).
//
// Keys are 16 bytes (K1 = bytes 0-7, K2 = bytes 8-15; equal halves mean single DES). The
// library keeps no session key: DF_AuthKey hands it to the caller, who passes it back to the
// operations that encipher under it. Secrets of a call (the random numbers, the session key
// under construction, plain cryptograms) live in buffers that are wiped before it returns.
#pragma once

#include <cstdint>

#include "common/result.h"
#include "desfire/exchange.h"

namespace kestrel::desfire {

// Native command codes.
constexpr uint8_t kCmdAuthenticate = 0x0A;
constexpr uint8_t kCmdChangeKey = 0xC4;
constexpr uint8_t kCmdGetKeySettings = 0x45;
constexpr uint8_t kCmdChangeKeySettings = 0x54;
constexpr uint8_t kCmdGetKeyVersion = 0x64;

// Mutual authentication with key `keyNumber`:
//   1. RndA, 8 bytes, is drawn first (KESTREL_ERR_DF_UNKNOWN, with nothing sent, when the
//      generator fails).
//   2. 0x0A keyNumber; the card's answer is checked status first (anything but 0xAF gives
//      0xA100 + status, so 0xAE gives 0xA1AE), then length (not 9 bytes: 6030). RndB is its
//      receive-mode decipher under `key`.
//   3. 0xAF and the send-mode cryptogram of RndA followed by RndB rotated left by one byte;
//      the card's answer (possibly over several frames) must hold exactly 8 data bytes
//      (6030) that decipher to RndA rotated left (KESTREL_ERR_DF_AUTHENTICATION).
//   4. The session key, written to `sessionKey` (16 bytes) on success only: RndA 0-3,
//      RndB 0-3, then the same 8 bytes again when the key's halves are equal, else RndA 4-7,
//      RndB 4-7.
// KESTREL_ERR_WRONG_PARAMETER for a null key or session key, before anything is sent.
Result AuthKey(const DesfireCard& card, uint8_t keyNumber, const uint8_t* key, uint8_t* sessionKey);

// Changes the key the session is authenticated with: 0xC4 keyNumber and the send-mode
// cryptogram, under the session key, of the new key, its CRC_A and six zero bytes.
Result ChangeCurKey(const DesfireCard& card, uint8_t keyNumber, const uint8_t* newKey,
                    const uint8_t* sessionKey);

// Changes another key: 0xC4 keyNumber and the send-mode cryptogram, under the session key, of
// X = old key XOR new key, the CRC_A of X, the CRC_A of the new key and four zero bytes.
Result ChangeKey(const DesfireCard& card, uint8_t keyNumber, const uint8_t* oldKey,
                 const uint8_t* newKey, const uint8_t* sessionKey);

// 0x45: exactly 2 data bytes (else 6030, outputs untouched): the key settings and the
// maximum number of keys.
Result GetKeySettings(const DesfireCard& card, uint8_t* settings, uint8_t* maxKeys);

// 0x54 and the send-mode cryptogram, under the session key, of the settings byte, its CRC_A
// and five zero bytes.
Result ChangeKeySettings(const DesfireCard& card, uint8_t settings, const uint8_t* sessionKey);

// 0x64 keyNumber: the answer's data goes to *version with a capacity of 1 and its length is
// not checked (an answer of two data bytes leaves *version unwritten and gives 0).
Result GetKeyVersion(const DesfireCard& card, uint8_t keyNumber, uint8_t* version);

// The change operations: KESTREL_ERR_DF_NO_SESSION_KEY for a null session key, then
// KESTREL_ERR_WRONG_PARAMETER for a null key, before anything is sent. Getters:
// KESTREL_ERR_WRONG_PARAMETER for a null output.

}  // namespace kestrel::desfire
