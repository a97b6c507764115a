// Exported functions: reader configuration, diagnostics, free-form commands and the
// exchange time-out.
#include "api/guard.h"

using kestrel::Result;
using kestrel::api::WithReader;
using kestrel::reader::ReaderConfiguration;

namespace {

constexpr uint8_t kRfScanOn = 0xE0;
constexpr uint8_t kRfScanOff = 0xE1;
constexpr uint8_t kRfScanState = 0xE8;

}  // namespace

KESTREL_EXPORT int32_t KESTREL_CALL PcdSetDefaultAttrib(KestrelSession* session) {
    return WithReader(session, [&](ReaderConfiguration& r) { return r.SetDefaultAttrib(); });
}

KESTREL_EXPORT int32_t KESTREL_CALL PcdSetAttrib(KestrelSession* session, uint8_t first,
                                                 uint8_t second) {
    return WithReader(session, [&](ReaderConfiguration& r) { return r.SetAttrib(first, second); });
}

KESTREL_EXPORT int32_t KESTREL_CALL GetFWVersion(KestrelSession* session, char* text,
                                                 uint8_t* length) {
    return WithReader(session,
                      [&](ReaderConfiguration& r) { return r.GetFWVersion(text, length); });
}

KESTREL_EXPORT int32_t KESTREL_CALL PcdWriteReg(KestrelSession* session, uint8_t reg,
                                                uint8_t value) {
    return WithReader(session, [&](ReaderConfiguration& r) { return r.WriteReg(reg, value); });
}

KESTREL_EXPORT int32_t KESTREL_CALL PcdReadReg(KestrelSession* session, uint8_t reg,
                                               uint8_t* value) {
    return WithReader(session, [&](ReaderConfiguration& r) { return r.ReadReg(reg, value); });
}

KESTREL_EXPORT int32_t KESTREL_CALL Interface_SetTimeOuts(KestrelSession* session,
                                                          uint32_t timeOutMs, uint32_t* previous) {
    return WithReader(session, [&](kestrel::reader::Reader& r) {
        int32_t old = 0;
        const Result result = r.SetTimeOut(static_cast<int32_t>(timeOutMs), &old);
        if (previous != nullptr) *previous = static_cast<uint32_t>(old);
        return result;
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL SetIODevState(KestrelSession* session, uint8_t device,
                                                  uint8_t state) {
    return WithReader(session,
                      [&](ReaderConfiguration& r) { return r.SetIODevState(device, state); });
}

KESTREL_EXPORT int32_t KESTREL_CALL Pcd_LoadConfig(KestrelSession* session, uint16_t number) {
    return WithReader(session, [&](ReaderConfiguration& r) { return r.LoadConfig(number); });
}

KESTREL_EXPORT int32_t KESTREL_CALL PcdSetCardType(KestrelSession* session, uint8_t cardType) {
    return WithReader(session, [&](ReaderConfiguration& r) { return r.SetCardType(cardType); });
}

KESTREL_EXPORT int32_t KESTREL_CALL SendDirectCommand(KestrelSession* session, uint8_t code,
                                                      const uint8_t* data, uint32_t dataLength,
                                                      uint8_t* answer, uint32_t* answerLength) {
    return WithReader(session, [&](ReaderConfiguration& r) {
        return r.DirectCommand(code, data, dataLength, answer, answerLength);
    });
}

// RF scanning goes through the free-form command on every reader type.
KESTREL_EXPORT int32_t KESTREL_CALL SetRFScan(KestrelSession* session, uint8_t on) {
    return WithReader(session, [&](ReaderConfiguration& r) {
        return r.DirectCommand(on != 0 ? kRfScanOn : kRfScanOff, nullptr, 0, nullptr, nullptr);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL GetRFScan(KestrelSession* session, uint8_t* state) {
    return WithReader(session, [&](ReaderConfiguration& r) {
        if (state == nullptr) return KESTREL_ERR_WRONG_PARAMETER;
        uint8_t answer = 0;
        uint32_t length = 1;
        const Result result = r.DirectCommand(kRfScanState, nullptr, 0, &answer, &length);
        if (result != KESTREL_OK) return result;
        // An empty answer reports the scan as off.
        *state = length > 0 && answer != 0 ? 1 : 0;
        return KESTREL_OK;
    });
}
