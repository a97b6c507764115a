// Exported functions: MIFARE Classic activation, authentication, blocks, block runs
// and value blocks. The plain, Auth and Single forms of an operation differ only in the
// Authentication they hand to its one implementation.
#include "api/argument_guard.h"
#include "api/mifare_styles.h"
#include "mifare/sector.h"
#include "mifare/value.h"

namespace mf = kestrel::mifare;
using kestrel::api::Auth;
using kestrel::api::Plain;
using kestrel::api::Single;
using kestrel::api::WithReader;
using kestrel::api::WithReaderAfter;
using kestrel::reader::StandardReader;

KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetCard(KestrelSession* session, uint8_t* serial) {
    return WithReader(session, [&](StandardReader& r) { return mf::WakeUpCard(r, serial); });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_AuthBlock(KestrelSession* session, const MifareKey* key,
                                                   const uint8_t* serial, uint8_t block) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::AuthenticateBlock(r, Auth(key, serial), block);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_AuthBlockSingle(KestrelSession* session,
                                                         const MifareKey* key, uint8_t block) {
    return WithReader(
        session, [&](StandardReader& r) { return mf::AuthenticateBlock(r, Single(key), block); });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_AuthSector(KestrelSession* session, const MifareKey* key,
                                                    const uint8_t* serial, uint8_t sector) {
    return WithReaderAfter(mf::CheckSector(sector), session, [&](StandardReader& r) {
        return mf::AuthenticateSector(r, Auth(key, serial), sector);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_AuthSectorSingle(KestrelSession* session,
                                                          const MifareKey* key, uint8_t sector) {
    return WithReader(
        session, [&](StandardReader& r) { return mf::AuthenticateSector(r, Single(key), sector); });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_ReadBlockAuth(KestrelSession* session,
                                                       const MifareKey* key, const uint8_t* serial,
                                                       uint8_t block, uint8_t* data) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ReadBlock(r, Auth(key, serial), block, data);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_ReadBlockSingle(KestrelSession* session,
                                                         const MifareKey* key, uint8_t block,
                                                         uint8_t* data) {
    return WithReader(
        session, [&](StandardReader& r) { return mf::ReadBlock(r, Single(key), block, data); });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteBlockAuth(KestrelSession* session,
                                                        const MifareKey* key, const uint8_t* serial,
                                                        uint8_t block, const uint8_t* data) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteBlock(r, Auth(key, serial), block, data);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteBlockSingle(KestrelSession* session,
                                                          const MifareKey* key, uint8_t block,
                                                          const uint8_t* data) {
    return WithReader(
        session, [&](StandardReader& r) { return mf::WriteBlock(r, Single(key), block, data); });
}

KESTREL_EXPORT int32_t KESTREL_CALL ReadBlocksFromSector(KestrelSession* session,
                                                         const MifareKey* key,
                                                         const uint8_t* serial, uint8_t sector,
                                                         uint8_t offset, uint8_t count,
                                                         uint8_t* buffer) {
    return WithReaderAfter(mf::CheckSector(sector), session, [&](StandardReader& r) {
        return mf::ReadBlockRun(r, Auth(key, serial), sector, offset, count, buffer);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL WriteBlocksFromSector(KestrelSession* session,
                                                          const MifareKey* key,
                                                          const uint8_t* serial, uint8_t sector,
                                                          uint8_t offset, uint8_t count,
                                                          const uint8_t* buffer) {
    return WithReaderAfter(mf::CheckSector(sector), session, [&](StandardReader& r) {
        return mf::WriteBlockRun(r, Auth(key, serial), sector, offset, count, buffer);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_CreateValue(KestrelSession* session, int32_t value,
                                                     uint8_t block, const MifareKey* key) {
    return WithReader(
        session, [&](StandardReader& r) { return mf::CreateValue(r, Single(key), block, value); });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_ProcessValue(KestrelSession* session, uint8_t operation,
                                                      uint8_t block, int32_t value) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ProcessValue(r, Plain(), operation, block, value);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_ProcessValueAuth(KestrelSession* session,
                                                          const MifareKey* key,
                                                          const uint8_t* serial, uint8_t operation,
                                                          uint8_t block, int32_t value) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ProcessValue(r, Auth(key, serial), operation, block, value);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_ProcessValueSingle(KestrelSession* session,
                                                            const MifareKey* key, uint8_t operation,
                                                            uint8_t block, int32_t value) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ProcessValue(r, Single(key), operation, block, value);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_FormatValueSector(KestrelSession* session, uint8_t sector,
                                                           const MifareKey* newKeyA,
                                                           const MifareKey* newKeyB,
                                                           const MifareKey* authKey) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::FormatValueSector(r, Single(authKey), sector, newKeyA, newKeyB);
    });
}
