// The DESFire card's side of the legacy DES / two-key triple DES cryptography.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>

#include "kestrel_sim/cards/desfire/application.h"

namespace kestrel::sim::desfire {

// Two-key triple DES (K1, K2, K1) on whole 8-byte blocks; equal halves give single DES. Both
// return false only when libcrypto fails; `length` is a multiple of 8.
//
// Data the card sends under a key: CBC encipherment with a zero initial vector
// (C_i = E(P_i XOR C_i-1)). The host deciphers it with plain CBC.
bool EncipherToHost(const Key& key, const uint8_t* in, uint8_t* out, size_t length);
// Data the host sent: the host's send mode deciphers each block after XOR with the previous
// output (Y_i = D(P_i XOR Y_i-1)), so the card enciphers and XORs: P_i = E(Y_i) XOR Y_i-1.
bool DecodeFromHost(const Key& key, const uint8_t* in, uint8_t* out, size_t length);

// Random bytes from the operating system's secure generator.
bool SecureRandom(uint8_t* out, size_t length);

// Wipes a secret (an array or a vector of bytes) before it goes out of scope.
template <typename T>
void Wipe(T& secret) {
    OPENSSL_cleanse(secret.data(), secret.size() * sizeof(secret[0]));
}

}  // namespace kestrel::sim::desfire
