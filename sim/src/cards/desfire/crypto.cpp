#include "kestrel_sim/cards/desfire/crypto.h"

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

const EVP_CIPHER* CipherOf(KeyType type) {
    switch (type) {
        case KeyType::k3k3Des:
            return EVP_des_ede3_ecb();
        case KeyType::kAes:
            return EVP_aes_128_ecb();
        default:
            return EVP_des_ede_ecb();
    }
}

// One key's block cipher in ECB, one block at a time, both ways.
class BlockCipher {
  public:
    BlockCipher(KeyType type, const Key& key) : size_(BlockSize(type)) {
        for (int encipher = 0; encipher < 2; ++encipher) {
            CipherContext context(EVP_CIPHER_CTX_new());
            if (!context ||
                EVP_CipherInit_ex(context.get(), CipherOf(type), nullptr, key.data(), nullptr,
                                  encipher) != 1 ||
                EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
                return;
            }
            contexts_[encipher] = std::move(context);
        }
    }
    bool Ok() const { return contexts_[0] && contexts_[1]; }
    size_t Size() const { return size_; }
    // One block in place.
    bool Encipher(uint8_t* block) { return Run(contexts_[1].get(), block); }
    bool Decipher(uint8_t* block) { return Run(contexts_[0].get(), block); }

  private:
    bool Run(EVP_CIPHER_CTX* context, uint8_t* block) {
        int written = 0;
        const int size = static_cast<int>(size_);
        return EVP_CipherUpdate(context, block, &written, block, size) == 1 && written == size;
    }

    size_t size_;
    CipherContext contexts_[2];  // decipher, encipher
};

// Shifts a block left by one bit; XORs the constant when the highest bit fell out.
void Double(uint8_t* block, size_t size) {
    const bool carry = (block[0] & 0x80) != 0;
    for (size_t i = 0; i + 1 < size; ++i) {
        block[i] = static_cast<uint8_t>((block[i] << 1) | (block[i + 1] >> 7));
    }
    block[size - 1] = static_cast<uint8_t>(block[size - 1] << 1);
    if (carry) block[size - 1] ^= size == 16 ? 0x87 : 0x1B;
}

}  // namespace

bool EncipherToHost(const Key& key, const uint8_t* in, uint8_t* out, size_t length) {
    uint8_t iv[8] = {};
    return CbcEncipher(KeyType::kDes, key, iv, in, out, length);
}

bool DecodeFromHost(const Key& key, const uint8_t* in, uint8_t* out, size_t length) {
    BlockCipher cipher(KeyType::kDes, key);
    if (!cipher.Ok()) return false;
    uint8_t previous[8] = {};
    for (size_t offset = 0; offset + 8 <= length; offset += 8) {
        uint8_t block[8];
        std::copy(in + offset, in + offset + 8, block);
        if (!cipher.Encipher(block)) return false;
        for (size_t i = 0; i < 8; ++i) {
            const uint8_t received = in[offset + i];  // read before `out` may overwrite it
            out[offset + i] = static_cast<uint8_t>(block[i] ^ previous[i]);
            previous[i] = received;
        }
    }
    return true;
}

bool CbcEncipher(KeyType type, const Key& key, uint8_t* iv, const uint8_t* in, uint8_t* out,
                 size_t length) {
    BlockCipher cipher(type, key);
    if (!cipher.Ok()) return false;
    const size_t size = cipher.Size();
    for (size_t offset = 0; offset + size <= length; offset += size) {
        for (size_t i = 0; i < size; ++i) iv[i] ^= in[offset + i];
        if (!cipher.Encipher(iv)) return false;
        std::copy(iv, iv + size, out + offset);
    }
    return true;
}

bool CbcDecipher(KeyType type, const Key& key, uint8_t* iv, const uint8_t* in, uint8_t* out,
                 size_t length) {
    BlockCipher cipher(type, key);
    if (!cipher.Ok()) return false;
    const size_t size = cipher.Size();
    uint8_t block[16];
    uint8_t received[16];
    for (size_t offset = 0; offset + size <= length; offset += size) {
        std::copy(in + offset, in + offset + size, received);
        std::copy(received, received + size, block);
        if (!cipher.Decipher(block)) return false;
        for (size_t i = 0; i < size; ++i) out[offset + i] = static_cast<uint8_t>(block[i] ^ iv[i]);
        std::copy(received, received + size, iv);
    }
    OPENSSL_cleanse(block, sizeof block);
    return true;
}

bool Cmac(KeyType type, const Key& key, uint8_t* iv, const uint8_t* data, size_t length) {
    BlockCipher cipher(type, key);
    if (!cipher.Ok()) return false;
    const size_t size = cipher.Size();
    uint8_t subkey[16] = {};
    if (!cipher.Encipher(subkey)) return false;
    Double(subkey, size);
    // The last block: whole, XOR K1; else padded with 0x80 and zeros, XOR K2.
    const bool whole = length > 0 && length % size == 0;
    const size_t lastOffset = whole ? length - size : length / size * size;
    uint8_t last[16] = {};
    std::copy(data + lastOffset, data + length, last);
    if (!whole) {
        last[length - lastOffset] = 0x80;
        Double(subkey, size);
    }
    for (size_t i = 0; i < size; ++i) last[i] ^= subkey[i];
    OPENSSL_cleanse(subkey, sizeof subkey);
    for (size_t offset = 0; offset < lastOffset; offset += size) {
        for (size_t i = 0; i < size; ++i) iv[i] ^= data[offset + i];
        if (!cipher.Encipher(iv)) return false;
    }
    for (size_t i = 0; i < size; ++i) iv[i] ^= last[i];
    return cipher.Encipher(iv);
}

bool SecureRandom(uint8_t* out, size_t length) {
    return RAND_bytes(out, static_cast<int>(length)) == 1;
}

}  // namespace kestrel::sim::desfire
