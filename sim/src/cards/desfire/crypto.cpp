#include "cards/desfire/crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <memory>

namespace kestrel::sim::desfire {

namespace {

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// Enciphers one 8-byte block in place with E(K1) D(K2) E(K1).
bool EncipherBlock(EVP_CIPHER_CTX* context, uint8_t* block) {
    int written = 0;
    return EVP_EncryptUpdate(context, block, &written, block, 8) == 1 && written == 8;
}

CipherContext NewEncipher(const Key& key) {
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context ||
        EVP_EncryptInit_ex(context.get(), EVP_des_ede_ecb(), nullptr, key.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
        return nullptr;
    }
    return context;
}

}  // namespace

bool EncipherToHost(const Key& key, const uint8_t* in, uint8_t* out, size_t length) {
    CipherContext context = NewEncipher(key);
    if (!context) return false;
    uint8_t previous[8] = {};
    for (size_t offset = 0; offset + 8 <= length; offset += 8) {
        uint8_t block[8];
        for (size_t i = 0; i < 8; ++i)
            block[i] = static_cast<uint8_t>(in[offset + i] ^ previous[i]);
        if (!EncipherBlock(context.get(), block)) return false;
        for (size_t i = 0; i < 8; ++i) out[offset + i] = previous[i] = block[i];
    }
    return true;
}

bool DecodeFromHost(const Key& key, const uint8_t* in, uint8_t* out, size_t length) {
    CipherContext context = NewEncipher(key);
    if (!context) return false;
    uint8_t previous[8] = {};
    for (size_t offset = 0; offset + 8 <= length; offset += 8) {
        uint8_t block[8];
        std::copy(in + offset, in + offset + 8, block);
        if (!EncipherBlock(context.get(), block)) return false;
        for (size_t i = 0; i < 8; ++i) {
            const uint8_t received = in[offset + i];  // read before `out` may overwrite it
            out[offset + i] = static_cast<uint8_t>(block[i] ^ previous[i]);
            previous[i] = received;
        }
    }
    return true;
}

bool SecureRandom(uint8_t* out, size_t length) {
    return RAND_bytes(out, static_cast<int>(length)) == 1;
}

}  // namespace kestrel::sim::desfire
