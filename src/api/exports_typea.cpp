// Exported functions: ISO/IEC 14443 Type A activation, halt and RF reset.
#include "api/export_alias.h"
#include "api/guard.h"

using kestrel::api::WithReader;
using kestrel::reader::TypeA;

KESTREL_EXPORT int32_t KESTREL_CALL REQUEST_ALL_CMD(KestrelSession* session, uint16_t* atqa) {
    return WithReader(session, [&](TypeA& r) { return r.Request(REQUEST_CODE_ALL, atqa); });
}

KESTREL_EXPORT int32_t KESTREL_CALL REQUEST_IDLE_CMD(KestrelSession* session, uint16_t* atqa) {
    return WithReader(session, [&](TypeA& r) { return r.Request(REQUEST_CODE_IDLE, atqa); });
}

KESTREL_EXPORT int32_t KESTREL_CALL ExecAnticol(KestrelSession* session, uint8_t knownBits,
                                                uint8_t* serial) {
    return WithReader(session, [&](TypeA& r) { return r.Anticollision(knownBits, serial); });
}

KESTREL_EXPORT int32_t KESTREL_CALL ANTICOLLISION_CMD(KestrelSession* session, uint8_t knownBits,
                                                      uint8_t* serial)
    KESTREL_ALIAS_OF(ExecAnticol, 12);

KESTREL_EXPORT int32_t KESTREL_CALL SELECT_CMD(KestrelSession* session, uint8_t* sak,
                                               const uint8_t* serial) {
    return WithReader(session, [&](TypeA& r) { return r.Select(serial, sak); });
}

KESTREL_EXPORT int32_t KESTREL_CALL SelectIdleCard(KestrelSession* session, uint8_t* uid,
                                                   uint8_t* uidLength, uint16_t* atqa,
                                                   uint8_t* sak) {
    return WithReader(session,
                      [&](TypeA& r) { return r.ActivateIdle(0, atqa, sak, uid, uidLength); });
}

KESTREL_EXPORT int32_t KESTREL_CALL SelectWakeUpCard(KestrelSession* session, const uint8_t* uid,
                                                     const uint8_t* uidLength, uint16_t* atqa,
                                                     uint8_t* sak) {
    return WithReader(session,
                      [&](TypeA& r) { return r.ActivateWakeUp(0, atqa, sak, uid, uidLength); });
}

KESTREL_EXPORT int32_t KESTREL_CALL HaltCard(KestrelSession* session) {
    return WithReader(session, [&](TypeA& r) { return r.Halt(); });
}

KESTREL_EXPORT int32_t KESTREL_CALL RfReset(KestrelSession* session, uint32_t duration) {
    return WithReader(session,
                      [&](TypeA& r) { return r.RfReset(static_cast<uint16_t>(duration)); });
}
