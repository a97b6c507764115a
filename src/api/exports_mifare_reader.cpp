// Exported functions: MIFARE Classic reader primitives (authentication, block read and write).
#include "api/export_alias.h"
#include "api/guard.h"
#include "mifare/sector.h"

using kestrel::api::WithReader;
using kestrel::mifare::Authentication;
using kestrel::reader::StandardReader;

KESTREL_EXPORT int32_t KESTREL_CALL AUTH_KEY_CMD(KestrelSession* session, uint8_t block,
                                                 const uint8_t* serial, const MifareKey* key) {
    return WithReader(session, [&](StandardReader& r) {
        return kestrel::mifare::AuthenticateBlock(r, Authentication::WithSerial(key, serial),
                                                  block);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_ReadBlock(KestrelSession* session, uint8_t block,
                                                   uint8_t* data) {
    return WithReader(session, [&](StandardReader& r) {
        return kestrel::mifare::ReadBlock(r, Authentication::None(), block, data);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL READ_CMD(KestrelSession* session, uint8_t block, uint8_t* data)
    KESTREL_ALIAS_OF(MifC_ReadBlock, 12);

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteBlock(KestrelSession* session, uint8_t block,
                                                    const uint8_t* data) {
    return WithReader(session, [&](StandardReader& r) {
        return kestrel::mifare::WriteBlock(r, Authentication::None(), block, data);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL WRITE_CMD(KestrelSession* session, uint8_t block,
                                              const uint8_t* data)
    KESTREL_ALIAS_OF(MifC_WriteBlock, 12);
