// Exported functions: MIFARE Classic sector geometry (pure computations: no session, no card),
// then sector data, whole sectors and trailers, in the plain, Auth and Single forms. The Auth
// forms check the sector number before the session: their first step is the sector's
// authentication.
#include "api/argument_guard.h"
#include "api/mifare_styles.h"
#include "mifare/geometry.h"
#include "mifare/sector.h"

namespace mf = kestrel::mifare;
using kestrel::api::Auth;
using kestrel::api::Plain;
using kestrel::api::Single;
using kestrel::api::WithReader;
using kestrel::api::WithReaderAfter;
using kestrel::reader::StandardReader;
using mf::SectorField;
using mf::SplitTrailer;
using mf::TrailerParts;

// Sector geometry.

KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorFirstBlock(uint8_t sector, uint8_t* firstBlock) {
    return mf::GetSectorField(sector, SectorField::kFirstBlock, firstBlock);
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorBlocksCount(uint8_t sector, uint8_t* count) {
    return mf::GetSectorField(sector, SectorField::kBlockCount, count);
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorDataSize(uint8_t sector, uint8_t* size) {
    return mf::GetSectorField(sector, SectorField::kDataSize, size);
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailerBlock(uint8_t sector,
                                                               uint8_t* trailerBlock) {
    return mf::GetSectorField(sector, SectorField::kTrailerBlock, trailerBlock);
}

// Sector data.

KESTREL_EXPORT int32_t KESTREL_CALL MifC_ReadSectorData(KestrelSession* session, uint8_t* buffer,
                                                        uint32_t size, uint8_t sector) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ReadSectorData(r, Plain(), sector, buffer, size);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_ReadSectorDataAuth(KestrelSession* session,
                                                            const MifareKey* key,
                                                            const uint8_t* serial, uint8_t* buffer,
                                                            uint32_t size, uint8_t sector) {
    return WithReaderAfter(mf::CheckSector(sector), session, [&](StandardReader& r) {
        return mf::ReadSectorData(r, Auth(key, serial), sector, buffer, size);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_ReadSectorDataSingle(KestrelSession* session,
                                                              const MifareKey* key, uint8_t* buffer,
                                                              uint32_t size, uint8_t sector) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ReadSectorData(r, Single(key), sector, buffer, size);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorData(KestrelSession* session,
                                                         const uint8_t* data, uint32_t size,
                                                         uint8_t sector) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteSectorData(r, Plain(), sector, data, size);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorDataAuth(KestrelSession* session,
                                                             const MifareKey* key,
                                                             const uint8_t* serial,
                                                             const uint8_t* data, uint32_t size,
                                                             uint8_t sector) {
    return WithReaderAfter(mf::CheckSector(sector), session, [&](StandardReader& r) {
        return mf::WriteSectorData(r, Auth(key, serial), sector, data, size);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorDataSingle(KestrelSession* session,
                                                               const MifareKey* key,
                                                               const uint8_t* data, uint32_t size,
                                                               uint8_t sector) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteSectorData(r, Single(key), sector, data, size);
    });
}

// Whole sectors.

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSector(KestrelSession* session, uint8_t sector,
                                                     const uint8_t* data, uint32_t size,
                                                     const uint8_t* access, const MifareKey* keyA,
                                                     const MifareKey* keyB) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteSector(r, Plain(), sector, data, size, SplitTrailer{access, keyA, keyB});
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSector2(KestrelSession* session, uint8_t sector,
                                                      const uint8_t* image, uint32_t size) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteSectorImage(r, Plain(), sector, image, size);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL
MifC_WriteSectorAuth(KestrelSession* session, const MifareKey* key, const uint8_t* serial,
                     uint8_t sector, const uint8_t* data, uint32_t size, const uint8_t* access,
                     const MifareKey* keyA, const MifareKey* keyB) {
    return WithReaderAfter(mf::CheckSector(sector), session, [&](StandardReader& r) {
        return mf::WriteSector(r, Auth(key, serial), sector, data, size,
                               SplitTrailer{access, keyA, keyB});
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorAuth2(KestrelSession* session,
                                                          const MifareKey* key,
                                                          const uint8_t* serial, uint8_t sector,
                                                          const uint8_t* image, uint32_t size) {
    return WithReaderAfter(mf::CheckSector(sector), session, [&](StandardReader& r) {
        return mf::WriteSectorImage(r, Auth(key, serial), sector, image, size);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorSingle(
    KestrelSession* session, uint8_t sector, const uint8_t* data, uint32_t size,
    const uint8_t* access, const MifareKey* key, const MifareKey* keyA, const MifareKey* keyB) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteSector(r, Single(key), sector, data, size,
                               SplitTrailer{access, keyA, keyB});
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorSingle2(KestrelSession* session, uint8_t sector,
                                                            const uint8_t* image, uint32_t size,
                                                            const MifareKey* key) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteSectorImage(r, Single(key), sector, image, size);
    });
}

// Trailer writers.

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteTrailerDirect(KestrelSession* session, uint8_t block,
                                                            const uint8_t* access,
                                                            const MifareKey* keyA,
                                                            const MifareKey* keyB) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteTrailer(r, Plain(), block, SplitTrailer{access, keyA, keyB});
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteTrailerDirect2(KestrelSession* session, uint8_t block,
                                                             const uint8_t* trailer) {
    return MifC_WriteBlock(session, block, trailer);
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorTrailer(KestrelSession* session, uint8_t sector,
                                                            const uint8_t* trailer) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteSectorTrailer(r, Plain(), sector, trailer);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorTrailer2(KestrelSession* session,
                                                             uint8_t sector, const uint8_t* access,
                                                             const MifareKey* keyA,
                                                             const MifareKey* keyB) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteSectorTrailer(r, Plain(), sector, SplitTrailer{access, keyA, keyB});
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorTrailerAuth(
    KestrelSession* session, uint8_t sector, const MifareKey* key, const uint8_t* serial,
    const uint8_t* access, const MifareKey* keyA, const MifareKey* keyB) {
    return WithReaderAfter(mf::CheckSector(sector), session, [&](StandardReader& r) {
        return mf::WriteSectorTrailer(r, Auth(key, serial), sector,
                                      SplitTrailer{access, keyA, keyB});
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteSectorTrailerAuth2(KestrelSession* session,
                                                                 uint8_t sector,
                                                                 const MifareKey* key,
                                                                 const uint8_t* serial,
                                                                 const uint8_t* trailer) {
    return WithReaderAfter(mf::CheckSector(sector), session, [&](StandardReader& r) {
        return mf::WriteSectorTrailer(r, Auth(key, serial), sector, trailer);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteTrailerSingle(KestrelSession* session,
                                                            const MifareKey* key, uint8_t block,
                                                            const uint8_t* trailer) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteTrailer(r, Single(key), block, trailer);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_WriteTrailerSingle2(KestrelSession* session,
                                                             const MifareKey* key, uint8_t block,
                                                             const uint8_t* access,
                                                             const MifareKey* keyA,
                                                             const MifareKey* keyB) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::WriteTrailer(r, Single(key), block, SplitTrailer{access, keyA, keyB});
    });
}

// Trailer readers.

KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailer(KestrelSession* session, uint8_t sector,
                                                          uint8_t* trailer) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ReadSectorTrailer(r, Plain(), sector, trailer);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailer2(KestrelSession* session, uint8_t sector,
                                                           uint8_t* access, MifareKey* keyA,
                                                           MifareKey* keyB) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ReadSectorTrailer(r, Plain(), sector, TrailerParts{access, keyA, keyB});
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailerAuth(KestrelSession* session,
                                                              const MifareKey* key,
                                                              const uint8_t* serial, uint8_t sector,
                                                              uint8_t* trailer) {
    return WithReaderAfter(mf::CheckSector(sector), session, [&](StandardReader& r) {
        return mf::ReadSectorTrailer(r, Auth(key, serial), sector, trailer);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailerAuth2(KestrelSession* session,
                                                               const MifareKey* key,
                                                               const uint8_t* serial,
                                                               uint8_t sector, uint8_t* access,
                                                               MifareKey* keyA, MifareKey* keyB) {
    return WithReaderAfter(mf::CheckSector(sector), session, [&](StandardReader& r) {
        return mf::ReadSectorTrailer(r, Auth(key, serial), sector,
                                     TrailerParts{access, keyA, keyB});
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailerSingle(KestrelSession* session,
                                                                const MifareKey* key,
                                                                uint8_t sector, uint8_t* trailer) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ReadSectorTrailer(r, Single(key), sector, trailer);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL MifC_GetSectorTrailerSingle2(KestrelSession* session,
                                                                 const MifareKey* key,
                                                                 uint8_t sector, uint8_t* access,
                                                                 MifareKey* keyA, MifareKey* keyB) {
    return WithReader(session, [&](StandardReader& r) {
        return mf::ReadSectorTrailer(r, Single(key), sector, TrailerParts{access, keyA, keyB});
    });
}
