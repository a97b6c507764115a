// Exported functions: ISO/IEC 14443-4 activation (RATS, PPS), deselection, message exchange
// and presence check.
#include <vector>

#include "api/guard.h"
#include "reader/iso14443_4.h"

namespace rd = kestrel::reader;
using kestrel::api::WithReader;
using rd::Reader;

KESTREL_EXPORT int32_t KESTREL_CALL Request_ATS(KestrelSession* session, uint8_t parameter,
                                                uint16_t* atsLength, uint8_t* ats) {
    return WithReader(session, [&](Reader& r) {
        return rd::RequestAts(r, rd::AtsActivation::kIdle, parameter, ats, atsLength);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL V2_RequestATS(KestrelSession* session, uint8_t parameter,
                                                  uint16_t* atsLength, uint8_t* ats) {
    return WithReader(session, [&](Reader& r) {
        return rd::RequestAts(r, rd::AtsActivation::kAfterRfReset, parameter, ats, atsLength);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL ISO4PPS_Request(KestrelSession* session, uint8_t cid,
                                                    uint8_t dsi, uint8_t dri) {
    return WithReader(session, [&](Reader& r) { return r.PpsRequest(cid, dsi, dri); });
}

KESTREL_EXPORT int32_t KESTREL_CALL Reset14443_4(KestrelSession* session, uint16_t capacity) {
    return WithReader(session, [&](Reader& r) {
        // The card's answer is dropped.
        std::vector<uint8_t> answer(capacity);
        uint16_t length = capacity;
        return r.TclDeselect(0, 0, answer.data(), &length);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL Send_Raw_APDU(KestrelSession* session, uint8_t* blockNumber,
                                                  uint16_t frameSize, const uint8_t* request,
                                                  uint16_t requestLength, uint8_t* answer,
                                                  uint16_t* answerLength, uint32_t cardTimeOut) {
    return WithReader(session, [&](Reader& r) {
        return rd::SendRawApdu(r, blockNumber, frameSize, request, requestLength, answer,
                               answerLength, cardTimeOut);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL R7XSend_APDU(KestrelSession* session, ApduContext* context,
                                                 const uint8_t* apdu, uint16_t apduLength,
                                                 uint8_t* response, uint16_t* responseLength,
                                                 uint16_t* statusWord) {
    return WithReader(session, [&](Reader& r) {
        return rd::SendApdu(r, context, apdu, apduLength, response, responseLength, statusWord);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL TCLPing(KestrelSession* session, const uint8_t* blockNumber,
                                            uint16_t capacity, uint32_t cardTimeOut) {
    return WithReader(
        session, [&](Reader& r) { return r.TclPing(capacity, 0, 1, blockNumber, cardTimeOut); });
}
