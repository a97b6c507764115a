// Exported functions: ISO/IEC 14443 Type B request, slot marker, ATTRIB and halt.
#include "api/guard.h"

using kestrel::api::WithReader;
using kestrel::reader::TypeB;

KESTREL_EXPORT int32_t KESTREL_CALL TypeB_RequestIdle(KestrelSession* session, uint8_t first,
                                                      uint8_t second, uint8_t* answer,
                                                      uint16_t* answerLength) {
    return WithReader(
        session, [&](TypeB& r) { return r.TypeBRequestIdle(first, second, answer, answerLength); });
}

KESTREL_EXPORT int32_t KESTREL_CALL TypeB_RequestWakeUp(KestrelSession* session, uint8_t first,
                                                        uint8_t second, uint8_t* answer,
                                                        uint16_t* answerLength) {
    return WithReader(session, [&](TypeB& r) {
        return r.TypeBRequestWakeUp(first, second, answer, answerLength);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL TypeB_SlotMarker(KestrelSession* session, uint8_t slot,
                                                     uint8_t* answer, uint16_t* answerLength) {
    return WithReader(session,
                      [&](TypeB& r) { return r.TypeBSlotMarker(slot, answer, answerLength); });
}

KESTREL_EXPORT int32_t KESTREL_CALL TypeB_Attrib(KestrelSession* session, const uint8_t* pupi,
                                                 uint8_t param1, uint8_t param2, uint8_t param3,
                                                 uint8_t* param4, uint8_t* second,
                                                 uint8_t* higherLayerLength,
                                                 uint8_t* higherLayerData) {
    return WithReader(session, [&](TypeB& r) {
        return r.TypeBAttrib(pupi, param1, param2, param3, param4, second, higherLayerLength,
                             higherLayerData);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL TypeB_Halt(KestrelSession* session, const uint8_t* pupi) {
    return WithReader(session, [&](TypeB& r) { return r.TypeBHalt(pupi); });
}
