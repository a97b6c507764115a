// A host for the virtual reader's ISO/IEC 14443-4 cards: blocks through ExchangeBlock, a small
// block protocol of its own (chaining both ways, WTX answered), DESFire native commands, and the
// host's side of the legacy DESFire cryptography on libcrypto.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrel_sim/helpers/codes.h"
#include "kestrel_sim/helpers/crc.h"
#include "sim_test_util.h"

namespace kestrel::sim::test {

using Key16 = std::array<uint8_t, 16>;

// Two-key triple DES (K1, K2, K1) on one 8-byte block.
inline Bytes TripleDes(const Key16& key, const uint8_t* block, bool encipher) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                            EVP_CIPHER_CTX_free);
    Bytes out(8);
    int written = 0;
    EVP_CipherInit_ex(context.get(), EVP_des_ede_ecb(), nullptr, key.data(), nullptr,
                      encipher ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(context.get(), 0);
    EVP_CipherUpdate(context.get(), out.data(), &written, block, 8);
    return out;
}

// The host's send mode: every block is XORed with the previous output, then deciphered.
inline Bytes HostSend(const Key16& key, const Bytes& plain) {
    Bytes out;
    uint8_t previous[8] = {};
    for (size_t offset = 0; offset + 8 <= plain.size(); offset += 8) {
        uint8_t block[8];
        for (int i = 0; i < 8; ++i) block[i] = plain[offset + i] ^ previous[i];
        const Bytes y = TripleDes(key, block, false);
        std::copy(y.begin(), y.end(), previous);
        out.insert(out.end(), y.begin(), y.end());
    }
    return out;
}

// The host's receive mode: CBC deciphering with a zero initial vector.
inline Bytes HostReceive(const Key16& key, const Bytes& cipher) {
    Bytes out;
    uint8_t previous[8] = {};
    for (size_t offset = 0; offset + 8 <= cipher.size(); offset += 8) {
        const Bytes d = TripleDes(key, &cipher[offset], false);
        for (int i = 0; i < 8; ++i) out.push_back(d[i] ^ previous[i]);
        std::copy(cipher.begin() + offset, cipher.begin() + offset + 8, previous);
    }
    return out;
}

inline Bytes CrcABytes(const Bytes& data) {
    const uint16_t crc = Crc16A(data.data(), data.size());
    return {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
}

inline Bytes RotateLeft(const Bytes& bytes) {
    Bytes rotated(bytes.begin() + 1, bytes.end());
    rotated.push_back(bytes[0]);
    return rotated;
}

class IsoHost {
  public:
    explicit IsoHost(VirtualReader& reader) : host_(reader) {}

    Host& host() { return host_; }

    // ActivateIdle, then RATS with `ratsParameter`; the frame size for the card's answers is
    // taken from its FSDI. False unless both succeed.
    bool Activate(uint8_t ratsParameter = 0x00, bool withCid = false) {
        if (host_.Status(command::kActivateIdle, {0}) != status::kOk) return false;
        const std::optional<Reply> ats = host_.Exchange(command::kRequestAts, {ratsParameter});
        if (!ats || ats->status != status::kOk) return false;
        ats_ = ats->data;
        cid_ = ratsParameter & 0x0F;
        withCid_ = withCid;
        blockNumber_ = 0;
        return true;
    }

    const Bytes& ats() const { return ats_; }
    uint8_t blockNumber() const { return blockNumber_; }
    void SetCardFrameSize(size_t fsc) { fsc_ = fsc; }

    // One block through ExchangeBlock; nullopt when the card stayed silent (or another status).
    std::optional<Bytes> Block(const Bytes& block) {
        Bytes params = {0x1E, static_cast<uint8_t>(block.size() & 0xFF),
                        static_cast<uint8_t>(block.size() >> 8)};
        params.insert(params.end(), block.begin(), block.end());
        const std::optional<Reply> reply = host_.Exchange(command::kExchangeBlock, params);
        lastStatus_ = reply ? reply->status : -1;
        if (!reply || reply->status != status::kOk) return std::nullopt;
        return reply->data;
    }
    int lastStatus() const { return lastStatus_; }

    // One message each way, as a host does it: chained I-blocks of the card's frame size,
    // S(WTX) answered, the card's chained answer acknowledged. nullopt on any surprise.
    std::optional<Bytes> Message(const Bytes& message) {
        const size_t header = withCid_ ? 2 : 1;
        const size_t chunk = fsc_ - 2 - header;
        size_t sent = 0;
        std::optional<Bytes> answer;
        do {
            const size_t n = std::min(chunk, message.size() - sent);
            const bool more = sent + n < message.size();
            Bytes block = Header(static_cast<uint8_t>(0x02 | (more ? 0x10 : 0) | blockNumber_));
            block.insert(block.end(), message.begin() + sent, message.begin() + sent + n);
            sent += n;
            answer = SkipWtx(Block(block));
            if (!answer) return std::nullopt;
            if (more) {
                if (((*answer)[0] & 0xF6) != 0xA2 || ((*answer)[0] & 1) != blockNumber_) {
                    return std::nullopt;
                }
                blockNumber_ ^= 1;
            }
        } while (sent < message.size());
        Bytes received;
        for (;;) {
            const uint8_t pcb = (*answer)[0];
            if ((pcb & 0xE2) != 0x02 || (pcb & 1) != blockNumber_) return std::nullopt;
            const size_t skip = (pcb & 0x08) ? 2 : 1;
            received.insert(received.end(), answer->begin() + skip, answer->end());
            blockNumber_ ^= 1;
            if (!(pcb & 0x10)) return received;
            answer = Block(Header(static_cast<uint8_t>(0xA2 | blockNumber_)));
            if (!answer) return std::nullopt;
        }
    }

    // A DESFire native command; the answer starts with the status byte (empty on failure).
    Bytes Native(const Bytes& command) { return Message(command).value_or(Bytes{}); }

    int wtxAnswered() const { return wtxAnswered_; }

  private:
    Bytes Header(uint8_t pcb) const {
        if (!withCid_) return {pcb};
        return {static_cast<uint8_t>(pcb | 0x08), cid_};
    }
    std::optional<Bytes> SkipWtx(std::optional<Bytes> answer) {
        while (answer && ((*answer)[0] & 0xF7) == 0xF2) {
            Bytes response = Header(0xF2);
            response.push_back(answer->back());
            ++wtxAnswered_;
            answer = Block(response);
        }
        return answer;
    }

    Host host_;
    Bytes ats_;
    uint8_t cid_ = 0;
    bool withCid_ = false;
    uint8_t blockNumber_ = 0;
    size_t fsc_ = 64;
    int lastStatus_ = -1;
    int wtxAnswered_ = 0;
};

}  // namespace kestrel::sim::test
