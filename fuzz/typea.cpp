// Type A activation: request, anticollision, select, the combined activations and RATS.
#include "harness.h"

namespace kestrel::fuzz {
namespace {

// A UID buffer of a capacity from 0 to 12 (10 is the largest UID) and its length word.
int32_t ActivateInto(Call& c, int32_t (*activate)(KestrelSession*, uint8_t*, uint8_t*)) {
    const uint8_t capacity = c.Pick(13);
    uint8_t* length = c.In(capacity);
    const int32_t r = activate(c.session, c.Out(capacity), length);
    if (r == KESTREL_OK) c.Fits(*length, capacity);
    return r;
}

int32_t SelectInto(Call& c,
                   int32_t (*select)(KestrelSession*, uint8_t*, uint8_t*, uint16_t*, uint8_t*)) {
    const uint8_t capacity = c.Pick(13);
    uint8_t* length = c.In(capacity);
    const int32_t r = select(c.session, c.Out(capacity), length, c.Out<uint16_t>(), c.Out());
    if (r == KESTREL_OK) c.Fits(*length, capacity);
    return r;
}

int32_t AtsInto(Call& c, int32_t (*request)(KestrelSession*, uint8_t, uint16_t*, uint8_t*)) {
    const uint8_t parameter = c.Byte();
    const uint8_t capacity = c.Byte();
    uint16_t* length = c.In<uint16_t>(capacity);
    const int32_t r = request(c.session, parameter, length, c.Out(capacity));
    if (r == KESTREL_OK) c.Fits(*length, capacity);
    return r;
}

}  // namespace

const Family kTypeA = {
    "typea",
    {
        {"REQUEST_ALL_CMD", [](Call& c) { return REQUEST_ALL_CMD(c.session, c.Out<uint16_t>()); }},
        {"REQUEST_IDLE_CMD",
         [](Call& c) { return REQUEST_IDLE_CMD(c.session, c.Out<uint16_t>()); }},
        {"ExecAnticol",
         [](Call& c) {
             const uint8_t knownBits = c.Pick(40);
             return ExecAnticol(c.session, knownBits, c.Out(4));
         }},
        {"SELECT_CMD", [](Call& c) { return SELECT_CMD(c.session, c.Out(), c.Copy(4)); }},
        {"SelectIdleCard", [](Call& c) { return SelectInto(c, SelectIdleCard); }},
        {"SelectWakeUpCard",
         [](Call& c) {
             const uint8_t length = c.Pick(13);
             return SelectWakeUpCard(c.session, c.Out(length), c.In(length), c.Out<uint16_t>(),
                                     c.Out());
         }},
        {"HaltCard", [](Call& c) { return HaltCard(c.session); }},
        {"RfReset", [](Call& c) { return RfReset(c.session, c.U16()); }},
        {"SelectCard",
         [](Call& c) { return SelectCard(c.session, c.Out(4), c.Out<uint16_t>(), c.Out()); }},
        {"GetCardID", [](Call& c) { return GetCardID(c.session, c.Out(4)); }},
        {"SelectCardEx", [](Call& c) { return SelectInto(c, SelectCardEx); }},
        {"GetCardIDEx", [](Call& c) { return ActivateInto(c, GetCardIDEx); }},
        {"GetCardIDF", [](Call& c) { return GetCardIDF(c.session); }},
        {"MifC_GetCard", [](Call& c) { return MifC_GetCard(c.session, c.Out(4)); }},
        {"MifU_GetCard", [](Call& c) { return MifU_GetCard(c.session, c.Out(7)); }},
        {"Request_ATS", [](Call& c) { return AtsInto(c, Request_ATS); }},
        {"V2_RequestATS", [](Call& c) { return AtsInto(c, V2_RequestATS); }},
        {"ISO4PPS_Request",
         [](Call& c) {
             const uint8_t cid = c.Byte(), dsi = c.Byte(), dri = c.Byte();
             return ISO4PPS_Request(c.session, cid, dsi, dri);
         }},
    },
    {
        {{"classic1k:0A0B0C0D"},
         {},
         {{"SelectIdleCard", {4}},
          {"REQUEST_IDLE_CMD"},
          {"ExecAnticol", {0}},
          {"SELECT_CMD", {0x0A, 0x0B, 0x0C, 0x0D}},
          {"HaltCard"}}},
        {{"desfire:04112233445566"},
         {},
         {{"SelectCardEx", {10}}, {"RfReset", {25, 0}}, {"Request_ATS", {0x80, 32}}}},
        {{"desfire:04112233445566"},
         {},
         {{"REQUEST_ALL_CMD"},
          {"SelectIdleCard", {7}},
          {"V2_RequestATS", {0x50, 5}},
          {"ISO4PPS_Request", {0, 0, 0}}}},
        {{"classic1k:0A0B0C0D", "ultralight:04A1B2C3D4E5F6"},
         {},
         {{"REQUEST_ALL_CMD"}, {"ExecAnticol", {0}}, {"GetCardIDEx", {10}}}},
        {{"ultralight:04A1B2C3D4E5F6"},
         {},
         {{"MifU_GetCard"}, {"RfReset", {1, 0}}, {"GetCardIDF"}, {"SelectWakeUpCard", {7}}}},
        {{"classic4k:01020304"}, {}, {{"SelectCard"}, {"GetCardID"}, {"MifC_GetCard"}}},
    },
};

}  // namespace kestrel::fuzz
