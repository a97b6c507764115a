// What a card's activation answers say, decoded: the card family from ATQA and SAK, the ATS of
// ISO/IEC 14443-4 cards, the ATQB of Type B cards and the DESFire version data.
#pragma once

#include <cstdint>
#include <string>

#include "hexdata.h"
#include "output.h"

namespace kestrel::tool {

// "MIFARE Classic 1K", "MIFARE Ultralight", "ISO 14443-4", ... from ATQA and SAK.
std::string TypeAFamily(uint16_t atqa, uint8_t sak);
// The short type name the virtual reader and image files use ("classic1k"), or "".
std::string TypeAShortName(uint16_t atqa, uint8_t sak);

// The frame size (bytes, CRC included) of a frame size index (FSCI/FSDI).
uint16_t FrameSizeOfIndex(uint8_t index);

// The ATS (TL first): {"fsc": 64, "ta": "77", "tb": "81", "tc": "02", "fwi": 8, "sfgi": 1,
// "cidSupported": true, "nadSupported": false, "historicalBytes": "80"}. A short or
// inconsistent ATS decodes as far as it goes and gets "malformed": true.
Json DecodeAts(const Bytes& ats);
// The ATQB: PUPI, AFI, application data, bit rates, frame size, protocol type, FWI, ADC, FO.
Json DecodeAtqb(const Bytes& atqb);
// The 28 bytes of DESFire GetVersion: hardware and software (vendor, type, subtype, version,
// storage size, protocol), UID, batch number, production week and year.
Json DecodeDesfireVersion(const Bytes& version);

}  // namespace kestrel::tool
