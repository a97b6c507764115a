// Activation and authentication of MIFARE Classic cards, and the calling styles that every
// sector and block operation shares.
#pragma once

#include <array>
#include <cstdint>

#include "KestrelAPI.h"
#include "common/result.h"
#include "mifare/geometry.h"
#include "mifare/mifare_reader.h"
#include "reader/reader.h"

namespace kestrel::mifare {

// RF-reset duration the older functions start with.
constexpr uint16_t kRfResetDuration = 25;

// WUPA (idle and halted cards answer), anticollision sending `serial` as it stands, select.
// The card's serial ends up in `serial`; ATQA and SAK are dropped.
Result WakeUpCard(MifareReader reader, uint8_t* serial);

// RF reset, WUPA into `atqa`, anticollision into a local serial that is copied to `serial`,
// select with it (SAK into `sak`). atqa and sak may be null; the first failure ends it.
Result SelectCard(MifareReader reader, uint8_t* serial, uint16_t* atqa, uint8_t* sak);

// RF reset, then ActivateIdle with option 0. atqa and sak may be null.
Result SelectCardEx(MifareReader reader, uint8_t* uid, uint8_t* uidLength, uint16_t* atqa,
                    uint8_t* sak);

// Codes the key and authenticates the sector of `block` with it, bound to `serial`.
Result AuthBlock(MifareReader reader, const MifareKey& key, const uint8_t* serial, uint8_t block);

// How an operation gets the right to touch a sector. The value is built by the export from
// its arguments and handed to the one implementation of the operation, which calls
// Activate once, then Authenticate for each block it must open.
class Authentication {
  public:
    // The caller has authenticated the sector already: nothing is sent.
    static Authentication None() { return Authentication(Mode::kNone, nullptr, nullptr); }
    // Authenticate with `key`, bound to the serial the caller knows (Auth and SN forms).
    static Authentication WithSerial(const MifareKey* key, const uint8_t* serial) {
        return Authentication(Mode::kGivenSerial, key, serial);
    }
    // Wake the card to learn its serial, then authenticate (Single forms).
    static Authentication Activating(const MifareKey* key) {
        return Authentication(Mode::kWakeUp, key, nullptr);
    }
    // As Activating, after an RF reset (the older functions).
    static Authentication AfterRfReset(const MifareKey* key) {
        return Authentication(Mode::kRfReset, key, nullptr);
    }

    // False when the style needs a key or a serial that is null.
    bool Complete() const;
    // Whether Authenticate sends anything.
    bool Authenticates() const { return mode_ != Mode::kNone; }

    // Activates the card where the style asks for it and keeps its serial.
    Result Activate(MifareReader reader);
    // Authenticates the sector of `block` (nothing for None).
    Result Authenticate(MifareReader reader, uint8_t block) const;

  private:
    enum class Mode { kNone, kGivenSerial, kWakeUp, kRfReset };

    Authentication(Mode mode, const MifareKey* key, const uint8_t* serial)
        : mode_(mode), key_(key), givenSerial_(serial) {}

    Mode mode_;
    const MifareKey* key_;
    const uint8_t* givenSerial_;
    std::array<uint8_t, kSerialLength> serial_{};
};

// Activate, then authenticate `block`.
Result OpenBlock(MifareReader reader, Authentication& auth, uint8_t block);

// Activate, check the sector (KESTREL_ERR_INVALID_SECTOR), authenticate its first block. The
// geometry is stored in `geometry` on success.
Result OpenSector(MifareReader reader, Authentication& auth, uint8_t sector,
                  SectorGeometry& geometry);

// The same for the exports that only authenticate: the value is used once.
Result AuthenticateBlock(MifareReader reader, Authentication auth, uint8_t block);
Result AuthenticateSector(MifareReader reader, Authentication auth, uint8_t sector);

}  // namespace kestrel::mifare
