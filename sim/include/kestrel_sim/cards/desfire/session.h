// The authentication in force on a DESFire card and the secure messaging it gives: data the
// card sends and receives plain, with a MAC or enciphered under the session key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "kestrel_sim/cards/desfire/application.h"

namespace kestrel::sim::desfire {

// Tests: what the next protected answer spoils (one bit flipped), once.
enum class Spoil : uint8_t {
    kNone,
    kEither,  // the next answer that carries a MAC, a CMAC or an enciphered CRC
    kMac,     // the next answer that carries a MAC or a CMAC
    kCrc,     // the next enciphered answer: its CRC, flipped before encipherment
};

// Two schemes, chosen by the authentication that began the session.
//
// Legacy (0x0A): MACs are 4 bytes: CBC encipherment under the session key of the data padded
// with zeros to the next multiple of 8, a whole zero block added when the length is one already;
// the MAC is the first 4 bytes of the last block. Enciphered data is the data, its CRC_A and
// zero padding to a multiple of 8, enciphered as the card sends data under a key.
//
// Secure messaging after an ISO (0x1A) or AES (0xAA) authentication: one chain value (IV) for
// the session, zero at its start, that every command and answer moves on. A command that
// travels plain or with a MAC goes through the CMAC (the whole command: code, parameters, data);
// a MAC is its first 8 bytes. Enciphered data (data, CRC32 over the command's code and header and
// the data, zero padding to whole blocks) is deciphered in CBC from the chain. Every answer with
// status 0x00 carries the first 8 bytes of the CMAC over its data and status, unless it is
// enciphered: then the data, the CRC32 over data and status, and zero padding, enciphered in
// CBC. Either way the chain ends as the last CMAC or cipher block.
class Session {
  public:
    Session() = default;
    ~Session() { End(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Key `keyNumber` of the selected application authenticated by the legacy exchange.
    void Begin(uint8_t keyNumber, const Key& sessionKey);
    // ... by the ISO or AES exchange, with keys of `type`: secure messaging from now on.
    void BeginSecure(uint8_t keyNumber, KeyType type, const Key& sessionKey);
    // No authentication any more; the session key and the chain are wiped.
    void End();
    // The key number of the authentication in force, nullopt when none.
    std::optional<uint8_t> KeyNumber() const { return keyNumber_; }
    // True while secure messaging (ISO or AES authentication) is in force.
    bool Secure() const { return keyNumber_.has_value() && secure_; }
    KeyType Type() const { return type_; }
    // The session key: its bytes for the key type (16, or 24 for three-key triple DES).
    const Bytes& SessionKey() const { return sessionKeyBytes_; }

    // A whole command arrived, before it runs: under secure messaging it is kept for the
    // chain, which takes it at the latest when the answer is sealed.
    void Received(const Bytes& command);
    // The answer of that command as it goes out: under secure messaging an answer 0x00 gets
    // its CMAC appended to the last frame (a new frame when that one is full), unless it is
    // enciphered or begins the session. Nothing otherwise.
    void Seal(uint8_t status, std::vector<Bytes>& frames);

    // Bytes on the wire for `plain` data bytes in a communication mode.
    size_t PayloadLength(uint8_t mode, size_t plain) const;
    // `data` as it goes to the host in `mode`.
    Bytes ToHost(uint8_t mode, Bytes data);
    // The plain data of `plainLength` bytes that `command` carries after its first `header`
    // bytes (code and parameters) in `mode`; nullopt and *refusal when the length is wrong
    // (0x7E) or the MAC or CRC is not intact (0x1E).
    std::optional<Bytes> FromHost(uint8_t mode, const Bytes& command, size_t header,
                                  size_t plainLength, uint8_t* refusal);
    // A cryptogram the host made under the session key (whole blocks), deciphered; under secure
    // messaging it continues the chain. False only when the cipher fails.
    bool Decipher(const uint8_t* in, uint8_t* out, size_t length);
    // The CRC of a cryptogram's plain `data`: CRC32 over `header` and `data` (4 bytes) under
    // secure messaging, CRC_A over `data` alone (2 bytes) otherwise. True when `crc` is it.
    bool CrcMatches(const Bytes& header, const uint8_t* data, size_t length,
                    const uint8_t* crc) const;
    size_t CrcSize() const { return Secure() ? 4 : 2; }
    // Whole cipher blocks for `length` bytes.
    size_t Padded(size_t length) const;

    // Tests: the next protected answer (MAC, CMAC or CRC, as `what` says) goes out with one
    // bit flipped, once.
    void SpoilNext(Spoil what = Spoil::kEither) { spoil_ = what; }
    bool SpoilPending() const { return spoil_ != Spoil::kNone; }

  private:
    // Takes the pending command into the chain through the CMAC.
    void TakeCommand();
    // True once when the spoil waiting matches `kind` (kMac or kCrc).
    bool SpoilNow(Spoil kind);

    std::optional<uint8_t> keyNumber_;
    bool secure_ = false;
    KeyType type_ = KeyType::kDes;
    Key sessionKey_{};
    Bytes sessionKeyBytes_ = Bytes(16, 0x00);  // the same, as long as the key type's keys
    std::array<uint8_t, 16> iv_{};
    std::optional<Bytes> pending_;  // the command the chain has not taken yet
    bool sealed_ = false;           // the current answer needs no CMAC
    Spoil spoil_ = Spoil::kNone;
};

}  // namespace kestrel::sim::desfire
