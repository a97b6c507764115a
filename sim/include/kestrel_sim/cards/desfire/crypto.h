// The DESFire card's cryptography: the legacy DES / two-key triple DES send and receive modes,
// CBC and CMAC under the key types of ISO and AES authentication, and the random generator.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>

#include "kestrel_sim/cards/desfire/application.h"

namespace kestrel::sim::desfire {

// Legacy: two-key triple DES (K1, K2, K1) on whole 8-byte blocks; equal halves give single DES.
// Both return false only when libcrypto fails; `length` is a multiple of 8.
//
// Data the card sends under a key: CBC encipherment with a zero initial vector
// (C_i = E(P_i XOR C_i-1)). The host deciphers it with plain CBC.
bool EncipherToHost(const Key& key, const uint8_t* in, uint8_t* out, size_t length);
// Data the host sent: the host's send mode deciphers each block after XOR with the previous
// output (Y_i = D(P_i XOR Y_i-1)), so the card enciphers and XORs: P_i = E(Y_i) XOR Y_i-1.
bool DecodeFromHost(const Key& key, const uint8_t* in, uint8_t* out, size_t length);

// After an ISO or AES authentication both sides encipher and decipher in plain CBC with the
// cipher of the key type (two-key triple DES, three-key triple DES, AES-128). `iv` is one block
// (BlockSize(type) bytes): it comes in as the chain so far and goes out as the last cipher
// block, so that the next operation continues the chain. `length` is a multiple of the block;
// false only when libcrypto fails. `in` and `out` may be the same buffer.
bool CbcEncipher(KeyType type, const Key& key, uint8_t* iv, const uint8_t* in, uint8_t* out,
                 size_t length);
bool CbcDecipher(KeyType type, const Key& key, uint8_t* iv, const uint8_t* in, uint8_t* out,
                 size_t length);
// CMAC of NIST SP 800-38B over `length` bytes (any length), with `iv` as the chain's starting
// value instead of zero; `iv` goes out as the whole CMAC, which is also the chain's new value.
// Sub-keys: L = E(0), K1 = L << 1 (XOR 0x87 for 16-byte, 0x1B for 8-byte blocks when the
// highest bit of L was set), K2 = K1 << 1 likewise.
bool Cmac(KeyType type, const Key& key, uint8_t* iv, const uint8_t* data, size_t length);

// Random bytes from the operating system's secure generator.
bool SecureRandom(uint8_t* out, size_t length);

// Wipes a secret (an array or a vector of bytes) before it goes out of scope.
template <typename T>
void Wipe(T& secret) {
    OPENSSL_cleanse(secret.data(), secret.size() * sizeof(secret[0]));
}

}  // namespace kestrel::sim::desfire
