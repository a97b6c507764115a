// DESFire card cryptography: two-key triple DES in the card's two chaining modes, the
// ISO/IEC 14443-3 CRC, the 4-byte MAC and the protection of data for a communication mode.
//
// Keys are 16 bytes: K1 = bytes 0-7, K2 = bytes 8-15, and every block operation is triple DES
// with the schedules K1, K2, K1 (encipher = E(K1) D(K2) E(K1)). A single-DES key is given as a
// key with equal halves, for which triple DES equals single DES under K1. Parity bits are
// neither checked nor changed, and weak keys (the all-zero factory key is one) are accepted.
// Every operation starts from a zero chaining value: nothing is kept between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/result.h"

namespace kestrel::desfire {

constexpr size_t kBlockSize = 8;
constexpr size_t kKeyLength = 16;
constexpr size_t kMacLength = 4;
constexpr size_t kCrcLength = 2;

// Start values and final step of the ISO/IEC 14443-3 CRC.
enum CrcType : int {
    kCrcA = 1,  // start 0x6363, no final inversion; the one DESFire uses
    kCrcB = 2,  // start 0xFFFF, inverted at the end
};

// Communication modes of data exchanged with the card.
enum CommMode : int {
    kCommPlain = 0,
    kCommMaced = 1,
    kCommEnciphered = 3,
};

// The card's "send" mode, for data going to the card. Input blocks P0, P1, ... become output
// blocks Y0, Y1, ...: X0 = P0, Xi = Pi XOR Y(i-1), Yi = triple-DES decipher of Xi (encipher
// false) or encipher of Xi (encipher true, used by the MAC only). Only the floor(length / 8)
// whole blocks are processed; a length below 8 leaves the output untouched. `input` and
// `output` may be the same buffer.
void DfSendCipher(const uint8_t* key, const uint8_t* input, uint8_t* output, size_t length,
                  bool encipher);

// The "receive" mode, for data coming from the card: CBC deciphering with a zero initial
// vector, Pi = D(Qi) XOR Q(i-1). Whole blocks only, as DfSendCipher. `input` and `output` may
// be the same buffer.
void DfReceiveDecipher(const uint8_t* key, const uint8_t* input, uint8_t* output, size_t length);

// The CRC of ISO/IEC 14443-3 of type kCrcA or kCrcB over `length` bytes: low byte to *first,
// high byte to *second. Any other type writes nothing.
void Crc16Iso14443(int type, const uint8_t* data, size_t length, uint8_t* first, uint8_t* second);

// The padding rule of the MAC, in this one place. Data is padded with zero bytes to a
// multiple of the block size after at least kMacMinimumPadding of them: a length that is
// already a multiple of 8 gets a whole block of zeros, so 8 data bytes are MACed as 16 and
// none as 8. (Traces of real cards suggest that they pad only up to the next multiple of 8,
// that is a minimum of 0; a compatibility mode would change this rule and nothing else.)
constexpr size_t kMacMinimumPadding = 1;
size_t MacPaddedLength(size_t length);

// The 4-byte MAC of `length` bytes: the data padded by MacPaddedLength, enciphered in CBC mode
// with a zero initial vector (DfSendCipher with encipher true); the MAC is the first 4 bytes
// of the last block.
void DfComputeMac(const uint8_t* data, size_t length, uint8_t* mac, const uint8_t* key);

// Data to be sent in a protected mode, into `out` (replaced):
//   kCommMaced       the data followed by its MAC: length + 4 bytes
//   kCommEnciphered  the data, its CRC_A (low byte first) and zero padding up to a multiple of
//                    8 (none when length + 2 already is one), in the send mode under `key`
// KESTREL_ERR_DF_NO_SESSION_KEY for a null key, then KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS
// for any other mode (kCommPlain included: plain data needs no call); `out` is then untouched.
Result DfProtectData(CommMode mode, const uint8_t* data, size_t length, std::vector<uint8_t>& out,
                     const uint8_t* key);

// Data received in a protected mode, checked in place. *length: the received length in, the
// data length out.
//   kCommMaced       the last 4 bytes must be the MAC of the others; they are then dropped.
//                    Else KESTREL_ERR_DF_BAD_MAC (also for fewer than 4 bytes).
//   kCommEnciphered  the received whole blocks are deciphered (receive mode); the CRC_A of the
//                    first `expectedLength` plain bytes must follow them. The plain bytes are
//                    then copied over the start of the buffer and *length = expectedLength.
//                    Else KESTREL_ERR_DF_BAD_CRC, also when the CRC would lie beyond the
//                    received whole blocks (expectedLength + 2 > received length rounded down
//                    to a multiple of 8): nothing past the received bytes is read.
// KESTREL_ERR_DF_NO_SESSION_KEY for a null key, KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS for
// any other mode. On every failure the buffer and *length stay as received.
Result DfUnprotectData(CommMode mode, uint8_t* buffer, size_t* length, size_t expectedLength,
                       const uint8_t* key);

// Data received enciphered whose length the card does not tell, only that it is a multiple of
// `unit` (not 0): the received bytes, whole blocks, are deciphered once, and the data length is
// the shortest multiple of `unit` after which its CRC_A and zero padding make up the received
// length exactly. The plain bytes are then copied over the start of the buffer and *length is
// that data length. Else KESTREL_ERR_DF_BAD_CRC (also for a received length that is not whole
// blocks), the buffer and *length as received; KESTREL_ERR_DF_NO_SESSION_KEY for a null key.
Result DfUnprotectSearch(uint8_t* buffer, size_t* length, size_t unit, const uint8_t* key);

}  // namespace kestrel::desfire
