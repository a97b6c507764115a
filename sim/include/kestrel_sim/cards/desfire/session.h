// The authentication in force on a DESFire card and the secure messaging it gives: data the
// card sends and receives plain, with a MAC or enciphered under the session key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "kestrel_sim/cards/desfire/application.h"

namespace kestrel::sim::desfire {

// Bytes on the wire for `plain` data bytes in a communication mode: the data, the data and a
// 4-byte MAC, or the data, its CRC_A and zero padding to a multiple of 8.
size_t PayloadLength(uint8_t mode, size_t plain);

// MACs are 4 bytes: CBC encipherment under the session key of the data padded with zeros to
// the next multiple of 8, a whole zero block added when the length is one already; the MAC is
// the first 4 bytes of the last block. Enciphered data is the data, its CRC_A and zero padding
// to a multiple of 8, enciphered as the card sends data under a key.
class Session {
  public:
    Session() = default;
    ~Session() { End(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Key `keyNumber` of the selected application authenticated; `sessionKey` is the key the
    // authentication agreed on.
    void Begin(uint8_t keyNumber, const Key& sessionKey);
    // No authentication any more; the session key is wiped.
    void End();
    // The key number of the authentication in force, nullopt when none.
    std::optional<uint8_t> KeyNumber() const { return keyNumber_; }
    const Key& SessionKey() const { return sessionKey_; }

    // `data` as it goes to the host in `mode`.
    Bytes ToHost(uint8_t mode, Bytes data);
    // The plain data of `payloadLength` bytes the host sent in `mode` for `plainLength` data
    // bytes; nullopt and *refusal when the length is wrong (0x7E) or the MAC or CRC is not
    // intact (0x1E).
    std::optional<Bytes> FromHost(uint8_t mode, const uint8_t* payload, size_t payloadLength,
                                  size_t plainLength, uint8_t* refusal) const;
    // A cryptogram the host made under the session key (whole 8-byte blocks), deciphered.
    // False only when the cipher fails.
    bool Decipher(const uint8_t* in, uint8_t* out, size_t length) const;

    // Tests: the next protected answer (MAC or CRC) goes out with one bit flipped, once.
    void SpoilNext() { spoilNext_ = true; }
    bool SpoilPending() const { return spoilNext_; }

  private:
    std::optional<uint8_t> keyNumber_;
    Key sessionKey_{};
    bool spoilNext_ = false;
};

}  // namespace kestrel::sim::desfire
