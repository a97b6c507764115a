#include "mifare/ultralight.h"

#include <cstring>

namespace kestrel::mifare {

Result GetUltralight(MifareReader reader, uint8_t* uid) {
    uint16_t atqa = 0;
    uint8_t sak = 0;
    uint8_t length = kUltralightUidLength;
    if (Result r = reader.typeA.ActivateIdle(0, &atqa, &sak, uid, &length); r != KESTREL_OK)
        return r;
    return length == kUltralightUidLength ? KESTREL_OK : kNotUltralight;
}

Result ReadUltralight16(MifareReader reader, uint8_t page, uint8_t* data) {
    return reader.primitives.ReadData(kUltralightRead, page, kUltralightTransfer, data);
}

Result ReadUltralightPage(MifareReader reader, uint8_t page, uint32_t* value) {
    if (value == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
    uint8_t pages[kUltralightTransfer] = {};
    if (Result r = ReadUltralight16(reader, page, pages); r != KESTREL_OK) return r;
    std::memcpy(value, pages, sizeof *value);
    return KESTREL_OK;
}

Result WriteUltralight16(MifareReader reader, uint8_t page, const uint8_t* data) {
    return reader.primitives.WriteData(kUltralightCompatibilityWrite, page, kUltralightTransfer,
                                       data);
}

Result WriteUltralightPage(MifareReader reader, uint8_t page, const uint8_t* data) {
    return reader.primitives.WritePage(page, data);
}

}  // namespace kestrel::mifare
