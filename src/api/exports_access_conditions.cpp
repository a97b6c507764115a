// Exported functions: MIFARE Classic access conditions, parsed from and made into a sector
// trailer's access bytes, and the valid key privileges. Pure computations: no session, no card.
#include "KestrelAPI.h"
#include "mifare/access_conditions.h"

namespace mf = kestrel::mifare;

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
