// A MIFARE Classic card in the field, activated once: every authentication then goes to its
// serial directly, and the card is woken and selected again (by its UID) only after it
// refused something, as a refusal ends its authenticated state.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "classic_image.h"
#include "keys.h"
#include "reader.h"

namespace kestrel::tool {

class ClassicCard {
  public:
    // Activates the card; a card that is not a MIFARE Classic 1K or 4K is a Failure.
    explicit ClassicCard(const Reader& reader);

    const ClassicLayout& layout() const { return layout_; }
    const Bytes& uid() const { return uid_; }

    // Each returns false when the card refused (wrong key, no right); throws on failures of
    // the reader or the line.
    bool Authenticate(int block, uint8_t keyType, const ClassicKey& key);
    bool Read(int block, uint8_t* data);
    bool Write(int block, const uint8_t* data);
    bool ProcessValue(uint8_t operation, int block, int32_t amount);

    // The first key that opens the sector of `block` as keyType (the card is then
    // authenticated with it), or nullopt.
    std::optional<ClassicKey> FindKey(int block, uint8_t keyType,
                                      const std::vector<ClassicKey>& keys);

    // Tries the keys as A, then as B, until `operation` succeeds under one of them; returns
    // the key that served ("A FFFFFFFFFFFF"). A Failure names `what` when none did.
    std::string WithAnyKey(int block, const std::vector<ClassicKey>& keys, const std::string& what,
                           const std::function<bool()>& operation);

    int32_t lastRefusal() const { return lastRefusal_; }

  private:
    bool Refused(int32_t code, const std::string& operation);
    void WakeIfRefused();

    const Reader& reader_;
    ClassicLayout layout_{};
    Bytes uid_;
    bool refused_ = false;
    int32_t lastRefusal_ = 0;
};

}  // namespace kestrel::tool
