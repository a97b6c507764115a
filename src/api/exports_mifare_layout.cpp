// Exported functions: MIFARE Classic sector geometry and access conditions. Pure
// computations: no session, no card.
#include "KestrelAPI.h"
#include "mifare/access_conditions.h"
#include "mifare/geometry.h"

namespace mf = kestrel::mifare;
using mf::SectorField;

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

KESTREL_EXPORT int32_t KESTREL_CALL ACL_ParseDataConditions(int32_t blockIndex,
                                                            const uint8_t* access, uint32_t* keyA,
                                                            uint32_t* keyB) {
    return mf::ParseDataConditions(blockIndex, access, keyA, keyB);
}

KESTREL_EXPORT int32_t KESTREL_CALL ACL_ParseTrailerConditions(const uint8_t* access,
                                                               uint32_t* keyA, uint32_t* keyB) {
    return mf::ParseTrailerConditions(access, keyA, keyB);
}

KESTREL_EXPORT int32_t KESTREL_CALL ACL_GenDataConditions(int32_t blockIndex, uint8_t* access,
                                                          uint32_t keyA, uint32_t keyB) {
    return mf::GenerateDataConditions(blockIndex, access, keyA, keyB);
}

KESTREL_EXPORT int32_t KESTREL_CALL ACL_GenTrailerConditions(uint8_t* access, uint32_t keyA,
                                                             uint32_t keyB) {
    return mf::GenerateTrailerConditions(access, keyA, keyB);
}

KESTREL_EXPORT int32_t KESTREL_CALL ACL_GetValidDataSecPrivs(uint32_t index, uint32_t* keyA,
                                                             uint32_t* keyB) {
    return mf::GetDataPrivileges(index, keyA, keyB);
}

KESTREL_EXPORT int32_t KESTREL_CALL ACL_GetValidTrailerPrivs(uint32_t index, uint32_t* keyA,
                                                             uint32_t* keyB) {
    return mf::GetTrailerPrivileges(index, keyA, keyB);
}
