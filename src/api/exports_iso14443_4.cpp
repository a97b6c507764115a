// Exported functions: ISO/IEC 14443-4 activation (RATS, PPS), deselection, message exchange
// and presence check.
#include "api/guard.h"
#include "iso14443_4/activation.h"
#include "iso14443_4/card_channel.h"

namespace iso = kestrel::iso14443_4;
using iso::CardChannel;
using kestrel::api::WithCardChannel;
using kestrel::api::WithReader;
using kestrel::reader::BlockExchange;

KESTREL_EXPORT int32_t KESTREL_CALL Request_ATS(KestrelSession* session, uint8_t parameter,
                                                uint16_t* atsLength, uint8_t* ats) {
    return WithCardChannel(session, [&](CardChannel& c) {
        return c.Activate(iso::AtsActivation::kIdle, parameter, ats, atsLength);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL V2_RequestATS(KestrelSession* session, uint8_t parameter,
                                                  uint16_t* atsLength, uint8_t* ats) {
    return WithCardChannel(session, [&](CardChannel& c) {
        return c.Activate(iso::AtsActivation::kAfterRfReset, parameter, ats, atsLength);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL ISO4PPS_Request(KestrelSession* session, uint8_t cid,
                                                    uint8_t dsi, uint8_t dri) {
    return WithReader(session, [&](BlockExchange& r) { return iso::RequestPps(r, cid, dsi, dri); });
}

KESTREL_EXPORT int32_t KESTREL_CALL Reset14443_4(KestrelSession* session, uint16_t capacity) {
    return WithCardChannel(session, [&](CardChannel& c) { return c.Deselect(capacity); });
}

KESTREL_EXPORT int32_t KESTREL_CALL Send_Raw_APDU(KestrelSession* session, uint8_t* blockNumber,
                                                  uint16_t frameSize, const uint8_t* request,
                                                  uint16_t requestLength, uint8_t* answer,
                                                  uint16_t* answerLength, uint32_t cardTimeOut) {
    return WithCardChannel(session, [&](CardChannel& c) {
        return c.Exchange(blockNumber, frameSize, request, requestLength, answer, answerLength,
                          cardTimeOut);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL R7XSend_APDU(KestrelSession* session, ApduContext* context,
                                                 const uint8_t* apdu, uint16_t apduLength,
                                                 uint8_t* response, uint16_t* responseLength,
                                                 uint16_t* statusWord) {
    return WithCardChannel(session, [&](CardChannel& c) {
        return iso::SendApdu(c, context, apdu, apduLength, response, responseLength, statusWord);
    });
}

KESTREL_EXPORT int32_t KESTREL_CALL TCLPing(KestrelSession* session, const uint8_t* blockNumber,
                                            uint16_t capacity, uint32_t cardTimeOut) {
    return WithCardChannel(
        session, [&](CardChannel& c) { return c.Ping(blockNumber, capacity, cardTimeOut); });
}
