#include "kestrel_sim/cards/desfire/session.h"

#include <algorithm>

#include "cards/desfire/crypto.h"
#include "kestrel_sim/helpers/crc.h"

namespace kestrel::sim::desfire {

namespace {

bool Mac(const Key& key, const Bytes& data, uint8_t* mac) {
    // The data, then zeros up to the next multiple of 8 (a whole block when already aligned).
    Bytes padded(data);
    padded.resize(data.size() / 8 * 8 + 8, 0x00);
    Bytes out(padded.size());
    if (!EncipherToHost(key, padded.data(), out.data(), padded.size())) return false;
    std::copy(out.end() - 8, out.end() - 4, mac);
    return true;
}

}  // namespace

size_t PayloadLength(uint8_t mode, size_t plain) {
    if (mode == communication::kMaced) return plain + 4;
    if (mode == communication::kEnciphered) return (plain + 2 + 7) / 8 * 8;
    return plain;
}

void Session::Begin(uint8_t keyNumber, const Key& sessionKey) {
    sessionKey_ = sessionKey;
    keyNumber_ = keyNumber;
}

void Session::End() {
    keyNumber_.reset();
    Wipe(sessionKey_);
}

bool Session::Decipher(const uint8_t* in, uint8_t* out, size_t length) const {
    return DecodeFromHost(sessionKey_, in, out, length);
}

Bytes Session::ToHost(uint8_t mode, Bytes data) {
    if (mode == communication::kMaced) {
        uint8_t mac[4] = {};
        Mac(sessionKey_, data, mac);
        if (spoilNext_) mac[3] ^= 0x01;
        spoilNext_ = false;
        data.insert(data.end(), mac, mac + 4);
    } else if (mode == communication::kEnciphered) {
        uint16_t crc = Crc16A(data.data(), data.size());
        if (spoilNext_) crc ^= 0x0001;
        spoilNext_ = false;
        data.push_back(static_cast<uint8_t>(crc & 0xFF));
        data.push_back(static_cast<uint8_t>(crc >> 8));
        data.resize((data.size() + 7) / 8 * 8, 0x00);
        Bytes cipher(data.size());
        EncipherToHost(sessionKey_, data.data(), cipher.data(), data.size());
        Wipe(data);
        return cipher;
    }
    return data;
}

std::optional<Bytes> Session::FromHost(uint8_t mode, const uint8_t* payload, size_t payloadLength,
                                       size_t plainLength, uint8_t* refusal) const {
    if (payloadLength != PayloadLength(mode, plainLength)) {
        *refusal = status::kLengthError;
        return std::nullopt;
    }
    if (mode == communication::kMaced) {
        Bytes data(payload, payload + plainLength);
        uint8_t mac[4] = {};
        if (!Mac(sessionKey_, data, mac) || !std::equal(mac, mac + 4, payload + plainLength)) {
            *refusal = status::kIntegrityError;
            return std::nullopt;
        }
        return data;
    }
    if (mode == communication::kEnciphered) {
        Bytes plain(payloadLength);
        if (!Decipher(payload, plain.data(), payloadLength)) {
            *refusal = status::kCommandAborted;
            return std::nullopt;
        }
        const uint16_t crc = Crc16A(plain.data(), plainLength);
        if ((plain[plainLength] | (plain[plainLength + 1] << 8)) != crc) {
            Wipe(plain);
            *refusal = status::kIntegrityError;
            return std::nullopt;
        }
        plain.resize(plainLength);
        return plain;
    }
    return Bytes(payload, payload + plainLength);
}

}  // namespace kestrel::sim::desfire
