#include "kestrel_sim/cards/desfire/session.h"

#include <algorithm>

#include "kestrel_sim/cards/desfire/crypto.h"
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

void PutCrc32(Bytes& out, uint32_t crc) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(crc >> (8 * i)));
}

// The CMAC bytes that travel.
constexpr size_t kCmacLength = 8;

}  // namespace

void Session::Begin(uint8_t keyNumber, const Key& sessionKey) {
    End();
    sessionKey_ = sessionKey;
    sessionKeyBytes_.assign(sessionKey.begin(), sessionKey.begin() + 16);
    keyNumber_ = keyNumber;
}

void Session::BeginSecure(uint8_t keyNumber, KeyType type, const Key& sessionKey) {
    Begin(keyNumber, sessionKey);
    secure_ = true;
    type_ = type;
    sessionKeyBytes_.assign(sessionKey.begin(),
                            sessionKey.begin() + static_cast<ptrdiff_t>(KeySize(type)));
    sealed_ = true;  // the authentication's own answer carries no CMAC
}

void Session::End() {
    keyNumber_.reset();
    secure_ = false;
    type_ = KeyType::kDes;
    Wipe(sessionKey_);
    Wipe(sessionKeyBytes_);
    sessionKeyBytes_.assign(16, 0x00);
    Wipe(iv_);
    if (pending_) Wipe(*pending_);
    pending_.reset();
}

size_t Session::Padded(size_t length) const {
    const size_t block = Secure() ? BlockSize(type_) : 8;
    return (length + block - 1) / block * block;
}

void Session::Received(const Bytes& command) {
    if (pending_) Wipe(*pending_);
    pending_.reset();
    sealed_ = false;
    if (Secure()) pending_ = command;
}

void Session::TakeCommand() {
    if (!pending_) return;
    Cmac(type_, sessionKey_, iv_.data(), pending_->data(), pending_->size());
    Wipe(*pending_);
    pending_.reset();
}

bool Session::SpoilNow(Spoil kind) {
    if (spoil_ != kind && spoil_ != Spoil::kEither) return false;
    spoil_ = Spoil::kNone;
    return true;
}

void Session::Seal(uint8_t status, std::vector<Bytes>& frames) {
    if (!Secure()) return;
    TakeCommand();
    if (status != status::kOk || sealed_) return;
    Bytes covered;
    for (const Bytes& frame : frames) covered.insert(covered.end(), frame.begin(), frame.end());
    covered.push_back(status);
    Cmac(type_, sessionKey_, iv_.data(), covered.data(), covered.size());
    Bytes mac(iv_.begin(), iv_.begin() + kCmacLength);
    if (SpoilNow(Spoil::kMac)) mac[kCmacLength - 1] ^= 0x01;
    if (frames.empty()) frames.emplace_back();
    Bytes& last = frames.back();
    last.insert(last.end(), mac.begin(), mac.end());
    if (last.size() > kMaxFrameData) {
        Bytes overflow(last.begin() + kMaxFrameData, last.end());
        last.resize(kMaxFrameData);
        frames.push_back(std::move(overflow));
    }
    sealed_ = true;
}

size_t Session::PayloadLength(uint8_t mode, size_t plain) const {
    if (mode == communication::kMaced) return plain + (Secure() ? kCmacLength : 4);
    if (mode == communication::kEnciphered) return Padded(plain + CrcSize());
    return plain;
}

Bytes Session::ToHost(uint8_t mode, Bytes data) {
    if (Secure()) {
        // Plain and MACed answers differ only in the host's check: Seal appends the CMAC.
        if (mode != communication::kEnciphered) return data;
        TakeCommand();
        Bytes covered(data);
        covered.push_back(status::kOk);
        uint32_t crc = Crc32Desfire(covered.data(), covered.size());
        Wipe(covered);
        if (SpoilNow(Spoil::kCrc)) crc ^= 0x00000001;
        PutCrc32(data, crc);
        data.resize(Padded(data.size()), 0x00);
        Bytes cipher(data.size());
        CbcEncipher(type_, sessionKey_, iv_.data(), data.data(), cipher.data(), data.size());
        Wipe(data);
        sealed_ = true;
        return cipher;
    }
    if (mode == communication::kMaced) {
        uint8_t mac[4] = {};
        Mac(sessionKey_, data, mac);
        if (SpoilNow(Spoil::kMac)) mac[3] ^= 0x01;
        data.insert(data.end(), mac, mac + 4);
    } else if (mode == communication::kEnciphered) {
        uint16_t crc = Crc16A(data.data(), data.size());
        if (SpoilNow(Spoil::kCrc)) crc ^= 0x0001;
        data.push_back(static_cast<uint8_t>(crc & 0xFF));
        data.push_back(static_cast<uint8_t>(crc >> 8));
        data.resize(Padded(data.size()), 0x00);
        Bytes cipher(data.size());
        EncipherToHost(sessionKey_, data.data(), cipher.data(), data.size());
        Wipe(data);
        return cipher;
    }
    return data;
}

std::optional<Bytes> Session::FromHost(uint8_t mode, const Bytes& command, size_t header,
                                       size_t plainLength, uint8_t* refusal) {
    const uint8_t* payload = command.data() + header;
    const size_t payloadLength = command.size() - header;
    if (payloadLength != PayloadLength(mode, plainLength)) {
        *refusal = status::kLengthError;
        return std::nullopt;
    }
    if (mode == communication::kMaced) {
        Bytes data(payload, payload + plainLength);
        bool intact = false;
        if (Secure()) {
            // The CMAC covers the command up to the MAC; it moves the chain on.
            pending_.reset();
            Cmac(type_, sessionKey_, iv_.data(), command.data(), command.size() - kCmacLength);
            intact = std::equal(iv_.begin(), iv_.begin() + kCmacLength, payload + plainLength);
        } else {
            uint8_t mac[4] = {};
            intact = Mac(sessionKey_, data, mac) && std::equal(mac, mac + 4, payload + plainLength);
        }
        if (!intact) {
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
        const Bytes head(command.begin(), command.begin() + static_cast<ptrdiff_t>(header));
        if (!CrcMatches(head, plain.data(), plainLength, plain.data() + plainLength)) {
            Wipe(plain);
            *refusal = status::kIntegrityError;
            return std::nullopt;
        }
        plain.resize(plainLength);
        return plain;
    }
    return Bytes(payload, payload + plainLength);
}

bool Session::Decipher(const uint8_t* in, uint8_t* out, size_t length) {
    if (!Secure()) return DecodeFromHost(sessionKey_, in, out, length);
    // An enciphered command moves the chain by its cipher blocks instead of a CMAC.
    if (pending_) Wipe(*pending_);
    pending_.reset();
    return CbcDecipher(type_, sessionKey_, iv_.data(), in, out, length);
}

bool Session::CrcMatches(const Bytes& header, const uint8_t* data, size_t length,
                         const uint8_t* crc) const {
    if (!Secure()) return Crc16A(data, length) == (crc[0] | (crc[1] << 8));
    const uint32_t expected =
        Crc32Desfire(data, length, Crc32Desfire(header.data(), header.size()));
    for (int i = 0; i < 4; ++i) {
        if (crc[i] != static_cast<uint8_t>(expected >> (8 * i))) return false;
    }
    return true;
}

}  // namespace kestrel::sim::desfire
