// Buffers for secrets: the random numbers of an authentication, keys under construction, plain
// key cryptograms and deciphered data under check. They are wiped with OPENSSL_cleanse when
// they go out of scope, on every path out of the function that holds them.
#pragma once

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrel::desfire {

// A fixed number of secret bytes, zero at the start.
template <size_t N>
class SecretBytes {
  public:
    SecretBytes() = default;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes() { OPENSSL_cleanse(bytes_.data(), N); }

    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    uint8_t& operator[](size_t i) { return bytes_[i]; }
    uint8_t operator[](size_t i) const { return bytes_[i]; }
    static constexpr size_t size() { return N; }

  private:
    std::array<uint8_t, N> bytes_{};
};

// Secret bytes whose number is known only at run time, zero at the start.
class SecretBuffer {
  public:
    explicit SecretBuffer(size_t size) : bytes_(size, 0) {}
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    ~SecretBuffer() {
        if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    }

    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }

  private:
    std::vector<uint8_t> bytes_;
};

}  // namespace kestrel::desfire
