#include "card_info.h"

#include <cstdio>

namespace kestrel::tool {

std::string TypeAShortName(uint16_t atqa, uint8_t sak) {
    switch (sak & 0x7F) {
        case 0x08:
            return "classic1k";
        case 0x18:
            return "classic4k";
        case 0x00:
            return atqa == 0x0044 ? "ultralight" : "";
        case 0x20:
            return atqa == 0x0344 ? "desfire" : "";
        default:
            return "";
    }
}

std::string TypeAFamily(uint16_t atqa, uint8_t sak) {
    const std::string name = TypeAShortName(atqa, sak);
    if (name == "classic1k") return "MIFARE Classic 1K";
    if (name == "classic4k") return "MIFARE Classic 4K";
    if (name == "ultralight") return "MIFARE Ultralight";
    if (name == "desfire") return "MIFARE DESFire";
    if ((sak & 0x20) != 0) return "ISO 14443-4";
    return "ISO 14443-3 Type A";
}

uint16_t FrameSizeOfIndex(uint8_t index) {
    static const uint16_t kSizes[] = {16, 24, 32, 40, 48, 64, 96, 128, 256};
    return kSizes[index < 8 ? index : 8];
}

Json DecodeAts(const Bytes& ats) {
    Json d = {{"ats", ToHex(ats)}};
    if (ats.empty() || ats[0] != ats.size() || ats.size() < 2) {
        // TL 1 (no T0) leaves every parameter at its default.
        if (ats.size() == 1 && ats[0] == 1) {
            d["fsc"] = 32;
            return d;
        }
        d["malformed"] = true;
        return d;
    }
    const uint8_t t0 = ats[1];
    d["fsc"] = FrameSizeOfIndex(t0 & 0x0F);
    size_t at = 2;
    auto take = [&](uint8_t presence, const char* name) -> int {
        if ((t0 & presence) == 0) return -1;
        if (at >= ats.size()) {
            d["malformed"] = true;
            return -1;
        }
        d[name] = ToHex(&ats[at], 1);
        return ats[at++];
    };
    take(0x10, "ta");
    const int tb = take(0x20, "tb");
    const int tc = take(0x40, "tc");
    d["fwi"] = tb < 0 ? 4 : tb >> 4;
    d["sfgi"] = tb < 0 ? 0 : tb & 0x0F;
    d["cidSupported"] = tc < 0 ? true : (tc & 0x02) != 0;
    d["nadSupported"] = tc < 0 ? false : (tc & 0x01) != 0;
    d["historicalBytes"] = at < ats.size() ? ToHex(&ats[at], ats.size() - at) : "";
    return d;
}

Json DecodeAtqb(const Bytes& atqb) {
    Json d = {{"atqb", ToHex(atqb)}};
    if (atqb.size() < 12 || atqb[0] != 0x50) {
        d["malformed"] = true;
        return d;
    }
    const uint8_t rates = atqb[9], info2 = atqb[10], info3 = atqb[11];
    d["pupi"] = ToHex(&atqb[1], 4);
    d["afi"] = ToHex(&atqb[5], 1);
    d["applicationData"] = ToHex(&atqb[6], 3);
    d["bitRates"] = ToHex(&rates, 1);
    d["maxFrameSize"] = FrameSizeOfIndex(info2 >> 4);
    d["iso14443_4"] = (info2 & 0x01) != 0;
    d["fwi"] = info3 >> 4;
    d["adc"] = (info3 >> 2) & 0x03;
    d["nadSupported"] = (info3 & 0x02) != 0;
    d["cidSupported"] = (info3 & 0x01) != 0;
    return d;
}

namespace {

Json VersionPart(const uint8_t* p) {
    // Storage size byte: 2^(n/2) bytes, and "between that and the next power" when n is odd.
    const uint8_t storage = p[5];
    std::string size = std::to_string(1u << (storage >> 1)) + " bytes";
    if ((storage & 1) != 0)
        size = "between " + size + " and " + std::to_string(2u << (storage >> 1));
    char version[16];
    std::snprintf(version, sizeof version, "%u.%u", p[3], p[4]);
    return {{"vendor", ToHex(&p[0], 1)},
            {"type", ToHex(&p[1], 1)},
            {"subtype", ToHex(&p[2], 1)},
            {"version", version},
            {"storageSize", size},
            {"protocol", p[6] == 0x05 ? "ISO 14443-2 and -3" : ToHex(&p[6], 1)}};
}

std::string Bcd(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

}  // namespace

Json DecodeDesfireVersion(const Bytes& v) {
    Json d = {{"raw", ToHex(v)}};
    if (v.size() < 28) {
        d["malformed"] = true;
        return d;
    }
    d["hardware"] = VersionPart(&v[0]);
    d["software"] = VersionPart(&v[7]);
    d["uid"] = ToHex(&v[14], 7);
    d["batch"] = ToHex(&v[21], 5);
    d["productionWeek"] = Bcd(v[26]);
    d["productionYear"] = "20" + Bcd(v[27]);
    return d;
}

}  // namespace kestrel::tool
