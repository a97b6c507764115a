#include "mifare/authentication.h"

#include <algorithm>

namespace kestrel::mifare {

Result WakeUpCard(MifareReader reader, uint8_t* serial) {
    if (serial == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    if (Result r = reader.typeA.Request(REQUEST_CODE_ALL, &atqa); r != KESTREL_OK) return r;
    if (Result r = reader.typeA.Anticollision(0, serial); r != KESTREL_OK) return r;
    return reader.typeA.Select(serial, &sak);
}

Result SelectCard(MifareReader reader, uint8_t* serial, uint16_t* atqa, uint8_t* sak) {
    if (serial == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    if (Result r = reader.typeA.RfReset(kRfResetDuration); r != KESTREL_OK) return r;
    if (Result r = reader.typeA.Request(REQUEST_CODE_ALL, atqa); r != KESTREL_OK) return r;
    uint8_t found[kSerialLength] = {};
    if (Result r = reader.typeA.Anticollision(0, found); r != KESTREL_OK) return r;
    std::copy(found, found + kSerialLength, serial);
    return reader.typeA.Select(found, sak);
}

Result SelectCardEx(MifareReader reader, uint8_t* uid, uint8_t* uidLength, uint16_t* atqa,
                    uint8_t* sak) {
    if (uid == nullptr || uidLength == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    if (Result r = reader.typeA.RfReset(kRfResetDuration); r != KESTREL_OK) return r;
    return reader.typeA.ActivateIdle(0, atqa, sak, uid, uidLength);
}

Result AuthBlock(MifareReader reader, const MifareKey& key, const uint8_t* serial, uint8_t block) {
    if (serial == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    uint8_t coded[reader::kCodedKeyLength];
    if (Result r = reader.primitives.CodeKey(key.key, coded); r != KESTREL_OK) return r;
    return reader.primitives.Authenticate(key.type, serial, coded, block);
}

bool Authentication::Complete() const {
    switch (mode_) {
        case Mode::kNone:
            return true;
        case Mode::kGivenSerial:
            return key_ != nullptr && givenSerial_ != nullptr;
        case Mode::kWakeUp:
        case Mode::kRfReset:
            return key_ != nullptr;
    }
    return false;
}

Result Authentication::Activate(MifareReader reader) {
    if (!Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    switch (mode_) {
        case Mode::kWakeUp:
            serial_.fill(0);
            return WakeUpCard(reader, serial_.data());
        case Mode::kRfReset:
            return SelectCard(reader, serial_.data(), nullptr, nullptr);
        case Mode::kNone:
        case Mode::kGivenSerial:
            break;
    }
    return KESTREL_OK;
}

Result Authentication::Authenticate(MifareReader reader, uint8_t block) const {
    if (mode_ == Mode::kNone) return KESTREL_OK;
    if (!Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    const uint8_t* serial = mode_ == Mode::kGivenSerial ? givenSerial_ : serial_.data();
    return AuthBlock(reader, *key_, serial, block);
}

Result OpenBlock(MifareReader reader, Authentication& auth, uint8_t block) {
    if (Result r = auth.Activate(reader); r != KESTREL_OK) return r;
    return auth.Authenticate(reader, block);
}

Result OpenSector(MifareReader reader, Authentication& auth, uint8_t sector,
                  SectorGeometry& geometry) {
    if (Result r = auth.Activate(reader); r != KESTREL_OK) return r;
    const std::optional<SectorGeometry> g = Geometry(sector);
    if (!g) return KESTREL_ERR_INVALID_SECTOR;
    if (Result r = auth.Authenticate(reader, g->firstBlock); r != KESTREL_OK) return r;
    geometry = *g;
    return KESTREL_OK;
}

Result AuthenticateBlock(MifareReader reader, Authentication auth, uint8_t block) {
    if (!auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    return OpenBlock(reader, auth, block);
}

Result AuthenticateSector(MifareReader reader, Authentication auth, uint8_t sector) {
    if (!auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    SectorGeometry g{};
    return OpenSector(reader, auth, sector, g);
}

}  // namespace kestrel::mifare
