// The block cipher is libcrypto's DES interface (DES_set_key_unchecked, DES_ecb3_encrypt).
// OpenSSL 3 marks it deprecated in favour of EVP, but it is what fits here: it needs no
// provider (EVP's single DES lives in the legacy provider, and a system whose configuration
// loads only the FIPS provider refuses two-key triple DES through EVP), it sets up weak keys
// such as the all-zero factory key without complaint, and it cannot fail at run time, so the
// chaining modes below need no error path. The deprecation warnings are switched off for this
// one file; the definition must come before any OpenSSL header is read.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "desfire/crypto.h"

#include <openssl/crypto.h>
#include <openssl/des.h>

#include <algorithm>
#include <cstring>

#include "common/trace.h"
#include "desfire/secret.h"

#if defined(OPENSSL_NO_DEPRECATED_3_0)
#error "libcrypto was built without its DES interface (no-deprecated); DESFire needs it"
#endif

namespace kestrel::desfire {
namespace {

// Two-key triple DES on single blocks. The key schedules, and the copies the DES interface
// needs (its block type is a non-const array), are wiped when it goes out of scope.
class TripleDes {
  public:
    explicit TripleDes(const uint8_t* key) {
        std::memcpy(half_, key, kBlockSize);
        DES_set_key_unchecked(&half_, &k1_);
        std::memcpy(half_, key + kBlockSize, kBlockSize);
        DES_set_key_unchecked(&half_, &k2_);
    }
    ~TripleDes() {
        OPENSSL_cleanse(&k1_, sizeof k1_);
        OPENSSL_cleanse(&k2_, sizeof k2_);
        OPENSSL_cleanse(half_, sizeof half_);
        OPENSSL_cleanse(in_, sizeof in_);
        OPENSSL_cleanse(out_, sizeof out_);
    }
    TripleDes(const TripleDes&) = delete;
    TripleDes& operator=(const TripleDes&) = delete;

    void Encipher(const uint8_t* in, uint8_t* out) { Block(in, out, DES_ENCRYPT); }
    void Decipher(const uint8_t* in, uint8_t* out) { Block(in, out, DES_DECRYPT); }

  private:
    void Block(const uint8_t* in, uint8_t* out, int direction) {
        std::memcpy(in_, in, kBlockSize);
        DES_ecb3_encrypt(&in_, &out_, &k1_, &k2_, &k1_, direction);
        std::memcpy(out, out_, kBlockSize);
    }

    DES_key_schedule k1_;
    DES_key_schedule k2_;
    DES_cblock half_;
    DES_cblock in_;
    DES_cblock out_;
};

void Xor(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t length) {
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(a[i] ^ b[i]);
}

}  // namespace

void DfSendCipher(const uint8_t* key, const uint8_t* input, uint8_t* output, size_t length,
                  bool encipher) {
    const size_t blocks = length / kBlockSize;
    if (blocks == 0) return;
    TripleDes des(key);
    SecretBytes<kBlockSize> chained;  // plain data mixed with the previous output
    uint8_t previous[kBlockSize] = {};
    for (size_t b = 0; b < blocks; ++b) {
        Xor(input + b * kBlockSize, previous, chained.data(), kBlockSize);
        if (encipher) {
            des.Encipher(chained.data(), previous);
        } else {
            des.Decipher(chained.data(), previous);
        }
        std::memcpy(output + b * kBlockSize, previous, kBlockSize);
    }
}

void DfReceiveDecipher(const uint8_t* key, const uint8_t* input, uint8_t* output, size_t length) {
    const size_t blocks = length / kBlockSize;
    if (blocks == 0) return;
    TripleDes des(key);
    SecretBytes<kBlockSize> plain;
    uint8_t previous[kBlockSize] = {};
    uint8_t cipher[kBlockSize];
    for (size_t b = 0; b < blocks; ++b) {
        // The cipher block is kept before the output is written, so that the two buffers may
        // be the same.
        std::memcpy(cipher, input + b * kBlockSize, kBlockSize);
        des.Decipher(cipher, plain.data());
        Xor(plain.data(), previous, output + b * kBlockSize, kBlockSize);
        std::memcpy(previous, cipher, kBlockSize);
    }
}

void Crc16Iso14443(int type, const uint8_t* data, size_t length, uint8_t* first, uint8_t* second) {
    uint32_t crc;
    if (type == kCrcA) {
        crc = 0x6363;
    } else if (type == kCrcB) {
        crc = 0xFFFF;
    } else {
        return;
    }
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = (data[i] ^ crc) & 0xFF;
        c = (c ^ (c << 4)) & 0xFF;
        crc = ((crc >> 8) ^ (c << 8) ^ (c << 3) ^ (c >> 4)) & 0xFFFF;
    }
    if (type == kCrcB) crc = ~crc & 0xFFFF;
    *first = static_cast<uint8_t>(crc & 0xFF);
    *second = static_cast<uint8_t>(crc >> 8);
}

namespace {

// Whether the CRC_A of the first `dataLength` plain bytes follows them.
bool CrcFollows(const uint8_t* plain, size_t dataLength) {
    uint8_t crc[kCrcLength];
    Crc16Iso14443(kCrcA, plain, dataLength, &crc[0], &crc[1]);
    return crc[0] == plain[dataLength] && crc[1] == plain[dataLength + 1];
}

}  // namespace

size_t MacPaddedLength(size_t length) {
    return (length + kMacMinimumPadding + kBlockSize - 1) / kBlockSize * kBlockSize;
}

void DfComputeMac(const uint8_t* data, size_t length, uint8_t* mac, const uint8_t* key) {
    std::vector<uint8_t> padded(MacPaddedLength(length), 0);
    if (length > 0) std::memcpy(padded.data(), data, length);
    DfSendCipher(key, padded.data(), padded.data(), padded.size(), true);
    std::memcpy(mac, padded.data() + padded.size() - kBlockSize, kMacLength);
}

Result DfProtectData(CommMode mode, const uint8_t* data, size_t length, std::vector<uint8_t>& out,
                     const uint8_t* key) {
    if (key == nullptr) return KESTREL_ERR_DF_NO_SESSION_KEY;
    if (mode == kCommMaced) {
        std::vector<uint8_t> maced(length + kMacLength);
        if (length > 0) std::memcpy(maced.data(), data, length);
        DfComputeMac(data, length, maced.data() + length, key);
        out = std::move(maced);
        return KESTREL_OK;
    }
    if (mode == kCommEnciphered) {
        const size_t padded = (length + kCrcLength + kBlockSize - 1) / kBlockSize * kBlockSize;
        // The plain form is built in the output buffer and enciphered in place, so no copy of
        // the plain data outlives the call.
        std::vector<uint8_t> cryptogram(padded, 0);
        if (length > 0) std::memcpy(cryptogram.data(), data, length);
        Crc16Iso14443(kCrcA, data, length, &cryptogram[length], &cryptogram[length + 1]);
        DfSendCipher(key, cryptogram.data(), cryptogram.data(), padded, false);
        out = std::move(cryptogram);
        return KESTREL_OK;
    }
    return KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS;
}

Result DfUnprotectData(CommMode mode, uint8_t* buffer, size_t* length, size_t expectedLength,
                       const uint8_t* key) {
    if (key == nullptr) return KESTREL_ERR_DF_NO_SESSION_KEY;
    if (mode == kCommMaced) {
        if (*length < kMacLength) {
            KESTREL_TRACE("desfire", "MACed answer of %u bytes is shorter than its MAC",
                          static_cast<unsigned>(*length));
            return KESTREL_ERR_DF_BAD_MAC;
        }
        const size_t dataLength = *length - kMacLength;
        uint8_t mac[kMacLength];
        DfComputeMac(buffer, dataLength, mac, key);
        if (CRYPTO_memcmp(mac, buffer + dataLength, kMacLength) != 0) {
            KESTREL_TRACE("desfire", "MAC mismatch over %u data bytes",
                          static_cast<unsigned>(dataLength));
            return KESTREL_ERR_DF_BAD_MAC;
        }
        *length = dataLength;
        return KESTREL_OK;
    }
    if (mode == kCommEnciphered) {
        const size_t whole = *length / kBlockSize * kBlockSize;
        if (expectedLength > whole || whole - expectedLength < kCrcLength) {
            KESTREL_TRACE(
                "desfire",
                "enciphered answer of %u bytes has no room for %u data bytes and their CRC",
                static_cast<unsigned>(*length), static_cast<unsigned>(expectedLength));
            return KESTREL_ERR_DF_BAD_CRC;
        }
        SecretBuffer plain(whole);
        DfReceiveDecipher(key, buffer, plain.data(), whole);
        if (!CrcFollows(plain.data(), expectedLength)) {
            KESTREL_TRACE("desfire", "CRC mismatch in the deciphered answer after %u data bytes",
                          static_cast<unsigned>(expectedLength));
            return KESTREL_ERR_DF_BAD_CRC;
        }
        if (expectedLength > 0) std::memcpy(buffer, plain.data(), expectedLength);
        *length = expectedLength;
        return KESTREL_OK;
    }
    return KESTREL_ERR_DF_BAD_COMMUNICATION_SETTINGS;
}

Result DfUnprotectSearch(uint8_t* buffer, size_t* length, size_t unit, const uint8_t* key) {
    if (key == nullptr) return KESTREL_ERR_DF_NO_SESSION_KEY;
    const size_t received = *length;
    if (received < kBlockSize || received % kBlockSize != 0) {
        KESTREL_TRACE("desfire", "enciphered answer of %u bytes is not whole blocks",
                      static_cast<unsigned>(received));
        return KESTREL_ERR_DF_BAD_CRC;
    }
    // The candidates are the multiples n of the unit whose CRC and zero padding make up the
    // received length: received - 10 < n <= received - 2. The search runs from the smallest:
    // data followed by its CRC has a CRC residue of zero, so its CRC stays zero over the zero
    // padding, and every longer candidate that still has two zero bytes after it would check
    // as well. A candidate also needs zeros in all its padding bytes.
    SecretBuffer plain(received);
    DfReceiveDecipher(key, buffer, plain.data(), received);
    const size_t lowest =
        received > kCrcLength + kBlockSize - 1 ? received - kCrcLength - kBlockSize + 1 : 0;
    for (size_t n = (lowest + unit - 1) / unit * unit; n + kCrcLength <= received; n += unit) {
        const uint8_t* padding = plain.data() + n + kCrcLength;
        const uint8_t* end = plain.data() + received;
        if (!CrcFollows(plain.data(), n) ||
            !std::all_of(padding, end, [](uint8_t b) { return b == 0; })) {
            continue;
        }
        if (n > 0) std::memcpy(buffer, plain.data(), n);
        *length = n;
        return KESTREL_OK;
    }
    KESTREL_TRACE("desfire", "no data length of the enciphered answer of %u bytes has a CRC",
                  static_cast<unsigned>(received));
    return KESTREL_ERR_DF_BAD_CRC;
}

}  // namespace kestrel::desfire
