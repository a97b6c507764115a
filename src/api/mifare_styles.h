// The three calling styles of the MIFARE Classic exports, as the Authentication each hands
// to the card layer.
#pragma once

#include "mifare/authentication.h"

namespace kestrel::api {

// plain: the caller has authenticated the sector.
inline mifare::Authentication Plain() {
    return mifare::Authentication::None();
}
// Auth: the caller's key and card serial.
inline mifare::Authentication Auth(const MifareKey* key, const uint8_t* serial) {
    return mifare::Authentication::WithSerial(key, serial);
}
// Single: the caller's key; the card is activated to learn its serial.
inline mifare::Authentication Single(const MifareKey* key) {
    return mifare::Authentication::Activating(key);
}
// The older functions: RF reset and activation, then the caller's key.
inline mifare::Authentication Legacy(const MifareKey* key) {
    return mifare::Authentication::AfterRfReset(key);
}

}  // namespace kestrel::api
