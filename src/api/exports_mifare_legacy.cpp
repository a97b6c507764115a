// Exported functions: the older MIFARE Classic functions, which activate the card
// themselves (RF reset first) unless the caller gives the serial.
#include "api/argument_guard.h"
#include "api/mifare_styles.h"
#include "mifare/legacy.h"
#include "mifare/sector.h"
#include "mifare/value.h"

namespace mf = kestrel::mifare;
using kestrel::api::Auth;
using kestrel::api::Legacy;
using kestrel::api::WithReader;
using kestrel::api::WithReaderAfter;
using kestrel::reader::StandardReader;
using mf::WithTrailer;

// Card identification.

KESTREL_EXPORT int32_t KESTREL_CALL SelectCard(KestrelSession* session, uint8_t* serial,
                                               uint16_t* atqa, uint8_t* sak) {
    return WithReader(session,
                      [&](StandardReader& r) { return mf::SelectCard(r, serial, atqa, sak); });
}

KESTREL_EXPORT int32_t KESTREL_CALL GetCardID(KestrelSession* session, uint8_t* serial) {
    return SelectCard(session, serial, nullptr, nullptr);
}

KESTREL_EXPORT int32_t KESTREL_CALL SelectCardEx(KestrelSession* session, uint8_t* uid,
                                                 uint8_t* uidLength, uint16_t* atqa, uint8_t* sak) {
    return WithReader(
        session, [&](StandardReader& r) { return mf::SelectCardEx(r, uid, uidLength, atqa, sak); });
}

KESTREL_EXPORT int32_t KESTREL_CALL GetCardIDEx(KestrelSession* session, uint8_t* uid,
                                                uint8_t* uidLength) {
    return SelectCardEx(session, uid, uidLength, nullptr, nullptr);
}

KESTREL_EXPORT int32_t KESTREL_CALL GetCardIDF(KestrelSession* session) {
    uint8_t uid[10] = {};
    uint8_t length = sizeof uid;
    return GetCardIDEx(session, uid, &length);
}

// Blocks and 4-block sectors.

KESTREL_EXPORT int32_t KESTREL_CALL ReadBlock(KestrelSession* session, uint8_t block,
                                              const MifareKey* key, uint8_t* data) {
    return WithReader(
        session, [&](StandardReader& r) { return mf::ReadBlock(r, Legacy(key), block, data); });
}

KESTREL_EXPORT int32_t KESTREL_CALL WriteBlock(KestrelSession* session, uint8_t block,
                                               const MifareKey* key, const uint8_t* data) {
    return WithReader(
        session, [&](StandardReader& r) { return mf::WriteBlock(r, Legacy(key), block, data); });
}

KESTREL_EXPORT int32_t KESTREL_CALL ReadSector(KestrelSession* session, const MifareKey* key,
                                               uint8_t sector, uint8_t* data) {
    return WithReader(
        session, [&](StandardReader& r) { return mf::ReadFourBlockSector(r, key, sector, data); });
}

KESTREL_EXPORT int32_t KESTREL_CALL WriteSector(KestrelSession* session, uint8_t sector,
                                                const MifareKey* key, const uint8_t* data) {
    return WithReader(
        session, [&](StandardReader& r) { return mf::WriteFourBlockSector(r, key, sector, data); });
}

KESTREL_EXPORT int32_t KESTREL_CALL WriteSectorData(KestrelSession* session, const MifareKey* key,
                                                    uint8_t sector, const uint8_t* data) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteFourBlockSectorData(r, key, sector, data);
    });
}

// Described sectors.

KESTREL_EXPORT int32_t KESTREL_CALL ReadSectorEx(KestrelSession* session, const MifareKey* key,
                                                 SectorExStruct* sector) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ReadSectorEx(r, Legacy(key), sector, WithTrailer::kYes);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL WriteSectorEx(KestrelSession* session, const MifareKey* key,
                                                  const SectorExStruct* sector) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteSectorEx(r, Legacy(key), sector, WithTrailer::kYes);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL WriteSectorDataEx(KestrelSession* session, const MifareKey* key,
                                                      const SectorExStruct* sector) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteSectorEx(r, Legacy(key), sector, WithTrailer::kNo);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL WriteSectorDataExSN(KestrelSession* session,
                                                        const MifareKey* key,
                                                        const SectorExStruct* sector,
                                                        const uint8_t* serial) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteSectorEx(r, Auth(key, serial), sector, WithTrailer::kNo);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL ReadSectorData(KestrelSession* session, const MifareKey* key,
                                                   SectorExStruct* sector, const uint8_t* serial) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ReadSectorEx(r, Auth(key, serial), sector, WithTrailer::kNo);
    });
}

// Trailers.

KESTREL_EXPORT int32_t KESTREL_CALL WriteTrailerDataDirect(KestrelSession* session, uint8_t block,
                                                           const uint8_t* access,
                                                           const MifareKey* authKey,
                                                           const MifareKey* keyX,
                                                           const MifareKey* keyY) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteOrderedTrailer(r, block, access, authKey, keyX, keyY);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL WriteTrailerData(KestrelSession* session, uint8_t sector,
                                                     const uint8_t* access,
                                                     const MifareKey* authKey,
                                                     const MifareKey* keyX, const MifareKey* keyY) {
    return WriteTrailerDataEx(session, sector, access, authKey, keyX, keyY);
}

KESTREL_EXPORT int32_t KESTREL_CALL WriteTrailerDataEx(KestrelSession* session, uint16_t sector,
                                                       const uint8_t* access,
                                                       const MifareKey* authKey,
                                                       const MifareKey* keyX,
                                                       const MifareKey* keyY) {
    return WithReaderAfter(mf::CheckTrailerSector(sector), session, [&](StandardReader& r) {
        return mf::WriteTrailerData(r, sector, access, authKey, keyX, keyY);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL WriteTrailerDataDirectSN(KestrelSession* session, uint8_t block,
                                                             const MifareKey* authKey,
                                                             const uint8_t* trailer,
                                                             const uint8_t* serial) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteTrailer(r, Auth(authKey, serial), block, trailer);
    });
}

// Byte blocks.

KESTREL_EXPORT int32_t KESTREL_CALL ReadSectorBytes(KestrelSession* session, const MifareKey* key,
                                                    uint16_t sector, AppDataStruct* out) {
    return WithReaderAfter(mf::CheckReadSectorBytes(sector, out), session, [&](StandardReader& r) {
        return mf::ReadSectorBytes(r, key, sector, out);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL WriteSectorBytes(KestrelSession* session, uint16_t sector,
                                                     const MifareKey* key,
                                                     const AppDataStruct* in) {
    return WithReaderAfter(mf::CheckWriteSectorBytes(sector, in), session, [&](StandardReader& r) {
        return mf::WriteSectorBytes(r, key, sector, in);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL ReadSectorDataBytes(KestrelSession* session,
                                                        const MifareKey* key, uint16_t sector,
                                                        AppDataStruct* inOut) {
    return WithReaderAfter(mf::CheckReadSectorDataBytes(inOut), session, [&](StandardReader& r) {
        return mf::ReadSectorDataBytes(r, key, sector, inOut);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL WriteSectorDataBytes(KestrelSession* session,
                                                         const MifareKey* key, uint16_t sector,
                                                         const AppDataStruct* in) {
    return WithReaderAfter(
        mf::CheckWriteSectorDataBytes(sector, in), session,
        [&](StandardReader& r) { return mf::WriteSectorDataBytes(r, key, sector, in); });
}

KESTREL_EXPORT int32_t KESTREL_CALL FreeAppDataStruct(AppDataStruct* data) {
    return mf::FreeAppData(data);
}

// Value blocks.

KESTREL_EXPORT int32_t KESTREL_CALL CreateValueBlock(KestrelSession* session, uint8_t block,
                                                     const MifareKey* newKeyX,
                                                     const MifareKey* newKeyY,
                                                     const MifareKey* authKey) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::CreateValueBlock(r, block, newKeyX, newKeyY, authKey);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL IncrementValue(KestrelSession* session, uint8_t block,
                                                   const MifareKey* key, int32_t value) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ProcessValue(r, Legacy(key), VALUE_OP_INCREMENT, block, value);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL DecrementValue(KestrelSession* session, uint8_t block,
                                                   const MifareKey* key, int32_t value) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ProcessValue(r, Legacy(key), VALUE_OP_DECREMENT, block, value);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL GetValue(KestrelSession* session, uint8_t block,
                                             const MifareKey* key, int32_t* value) {
    return WithReader(
        session, [&](StandardReader& r) { return mf::ReadValue(r, Legacy(key), block, value); });
}
