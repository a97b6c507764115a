#include "mifare/authentication.h"

#include <algorithm>

namespace kestrel::mifare {

Result WakeUpCard(reader::Reader& reader, uint8_t* serial) {
    if (serial == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    if (Result r = reader.Request(REQUEST_CODE_ALL, &atqa); r != KESTREL_OK) return r;
    if (Result r = reader.Anticollision(0, serial); r != KESTREL_OK) return r;
    return reader.Select(serial, &sak);
}

Result SelectCard(reader::Reader& reader, uint8_t* serial, uint16_t* atqa, uint8_t* sak) {
    if (serial == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    if (Result r = reader.RfReset(kRfResetDuration); r != KESTREL_OK) return r;
    if (Result r = reader.Request(REQUEST_CODE_ALL, atqa); r != KESTREL_OK) return r;
    uint8_t found[kSerialLength] = {};
    if (Result r = reader.Anticollision(0, found); r != KESTREL_OK) return r;
    std::copy(found, found + kSerialLength, serial);
    return reader.Select(found, sak);
}

Result SelectCardEx(reader::Reader& reader, uint8_t* uid, uint8_t* uidLength, uint16_t* atqa,
                    uint8_t* sak) {
    if (uid == nullptr || uidLength == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    if (Result r = reader.RfReset(kRfResetDuration); r != KESTREL_OK) return r;
    return reader.ActivateIdle(0, atqa, sak, uid, uidLength);
}

Result AuthBlock(reader::Reader& reader, const MifareKey& key, const uint8_t* serial,
                 uint8_t block) {
    if (serial == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    uint8_t coded[reader::kCodedKeyLength];
    if (Result r = reader.CodeKey(key.key, coded); r != KESTREL_OK) return r;
    return reader.Authenticate(key.type, serial, coded, block);
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

Result Authentication::Activate(reader::Reader& reader) {
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

Result Authentication::Authenticate(reader::Reader& reader, uint8_t block) const {
    if (mode_ == Mode::kNone) return KESTREL_OK;
    if (!Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    const uint8_t* serial = mode_ == Mode::kGivenSerial ? givenSerial_ : serial_.data();
    return AuthBlock(reader, *key_, serial, block);
}

Result OpenBlock(reader::Reader& reader, Authentication& auth, uint8_t block) {
    if (Result r = auth.Activate(reader); r != KESTREL_OK) return r;
    return auth.Authenticate(reader, block);
}

Result OpenSector(reader::Reader& reader, Authentication& auth, uint8_t sector,
                  SectorGeometry& geometry) {
    if (Result r = auth.Activate(reader); r != KESTREL_OK) return r;
    const std::optional<SectorGeometry> g = Geometry(sector);
    if (!g) return KESTREL_ERR_INVALID_SECTOR;
    if (Result r = auth.Authenticate(reader, g->firstBlock); r != KESTREL_OK) return r;
    geometry = *g;
    return KESTREL_OK;
}

Result AuthenticateBlock(reader::Reader& reader, Authentication auth, uint8_t block) {
    if (!auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    return OpenBlock(reader, auth, block);
}

Result AuthenticateSector(reader::Reader& reader, Authentication auth, uint8_t sector) {
    if (!auth.Complete()) return KESTREL_ERR_WRONG_PARAMETER;
    SectorGeometry g{};
    return OpenSector(reader, auth, sector, g);
}

}  // namespace kestrel::mifare
