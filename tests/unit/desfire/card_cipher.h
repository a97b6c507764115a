// The card's side of the DESFire cipher modes, for tests: two-key triple DES through OpenSSL's
// EVP interface, a different path from the one the library takes, with the chaining written
// out here from the card's point of view.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "support/frames.h"

namespace kestrel::test {

// One triple-DES (K1, K2, K1) block operation.
inline Bytes TdesBlock(const Bytes& key, const uint8_t* block, bool encrypt) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    Bytes out(16);
    int written = 0;
    const bool ok = ctx && key.size() == 16 &&
                    EVP_CipherInit_ex(ctx.get(), EVP_des_ede_ecb(), nullptr, key.data(), nullptr,
                                      encrypt ? 1 : 0) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
                    EVP_CipherUpdate(ctx.get(), out.data(), &written, block, 8) == 1 &&
                    written == 8;
    EXPECT_TRUE(ok) << "EVP two-key triple DES failed";
    out.resize(8);
    return out;
}

inline Bytes Xor(const Bytes& a, const Bytes& b) {
    Bytes out(a.size());
    for (size_t i = 0; i < a.size(); ++i) out[i] = a[i] ^ b[i];
    return out;
}

// What the card does to data it sends: CBC enciphering with a zero initial vector.
inline Bytes CardEncipher(const Bytes& key, const Bytes& plain) {
    Bytes out, previous(8, 0);
    for (size_t i = 0; i + 8 <= plain.size(); i += 8) {
        const Bytes block(plain.begin() + i, plain.begin() + i + 8);
        previous = TdesBlock(key, Xor(block, previous).data(), true);
        out.insert(out.end(), previous.begin(), previous.end());
    }
    return out;
}

// What the card does to data the host sent in the send mode (Yi = D(Pi XOR Y(i-1))):
// Pi = E(Yi) XOR Y(i-1).
inline Bytes CardRecover(const Bytes& key, const Bytes& sent) {
    Bytes out, previous(8, 0);
    for (size_t i = 0; i + 8 <= sent.size(); i += 8) {
        const Bytes block(sent.begin() + i, sent.begin() + i + 8);
        const Bytes plain = Xor(TdesBlock(key, block.data(), true), previous);
        out.insert(out.end(), plain.begin(), plain.end());
        previous = block;
    }
    return out;
}

// CRC_A (ISO/IEC 14443-3) bit by bit with the reflected polynomial, low byte first: written
// apart from the library's byte formula so that layouts are checked against another CRC.
inline Bytes CardCrcA(const Bytes& data) {
    uint16_t crc = 0x6363;
    for (uint8_t b : data) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
}

inline Bytes RotateLeft(const Bytes& value) {
    Bytes out(value.begin() + 1, value.end());
    out.push_back(value.front());
    return out;
}

}  // namespace kestrel::test
