// Exported functions: MIFARE Ultralight.
#include "api/guard.h"
#include "mifare/ultralight.h"

namespace mf = kestrel::mifare;
using kestrel::api::WithReader;
using kestrel::reader::StandardReader;

KESTREL_EXPORT int32_t KESTREL_CALL MifU_GetCard(KestrelSession* session, uint8_t* uid) {
    return WithReader(session, [&](StandardReader& r) { return mf::GetUltralight(r, uid); });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifU_Read16Bytes(KestrelSession* session, uint8_t page,
                                                     uint8_t* data) {
    return WithReader(session,
                      [&](StandardReader& r) { return mf::ReadUltralight16(r, page, data); });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifU_ReadPage(KestrelSession* session, uint8_t page,
                                                  uint32_t* value) {
    return WithReader(session,
                      [&](StandardReader& r) { return mf::ReadUltralightPage(r, page, value); });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifU_Write16Bytes(KestrelSession* session, uint8_t page,
                                                      const uint8_t* data) {
    return WithReader(session,
                      [&](StandardReader& r) { return mf::WriteUltralight16(r, page, data); });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifU_WritePage(KestrelSession* session, uint8_t page,
                                                   const uint8_t* data) {
    return WithReader(session,
                      [&](StandardReader& r) { return mf::WriteUltralightPage(r, page, data); });
}
