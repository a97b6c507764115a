// Type B answers (ATQB, slot markers, ATTRIB) and the reader's configuration answers
// (firmware text, registers, direct commands, RF scan).
#include "harness.h"

namespace kestrel::fuzz {
namespace {

// An answer buffer of a capacity from the input and its length word.
int32_t RequestInto(Call& c,
                    int32_t (*request)(KestrelSession*, uint8_t, uint8_t, uint8_t*, uint16_t*)) {
    const uint8_t first = c.Byte(), second = c.Byte(), capacity = c.Byte();
    return request(c.session, first, second, c.Out(capacity), c.In<uint16_t>(capacity));
}

}  // namespace

const Family kTypeBConfig = {
    "typeb_config",
    {
        {"TypeB_RequestIdle", [](Call& c) { return RequestInto(c, TypeB_RequestIdle); }},
        {"TypeB_RequestWakeUp", [](Call& c) { return RequestInto(c, TypeB_RequestWakeUp); }},
        {"TypeB_SlotMarker",
         [](Call& c) {
             const uint8_t slot = c.Byte(), capacity = c.Byte();
             return TypeB_SlotMarker(c.session, slot, c.Out(capacity), c.In<uint16_t>(capacity));
         }},
        {"TypeB_Attrib",
         [](Call& c) {
             const uint8_t* pupi = c.Copy(4);
             const uint8_t param4 = c.Byte(), length = c.Byte();
             return TypeB_Attrib(c.session, pupi, 0, 0x08, 0x01, c.In(param4), c.Out(),
                                 c.In(length), c.Out(length));
         }},
        {"TypeB_Halt", [](Call& c) { return TypeB_Halt(c.session, c.Copy(4)); }},
        {"GetFWVersion",
         [](Call& c) {
             const uint8_t capacity = c.Byte();
             uint8_t* length = c.In(capacity);
             const int32_t r = GetFWVersion(c.session, c.Out<char>(capacity), length);
             if (r == KESTREL_OK) c.Fits(*length, capacity);
             return r;
         }},
        {"PcdReadReg", [](Call& c) { return PcdReadReg(c.session, c.Byte(), c.Out()); }},
        {"PcdSetAttrib",
         [](Call& c) {
             const uint8_t first = c.Byte(), second = c.Byte();
             return PcdSetAttrib(c.session, first, second);
         }},
        {"Pcd_LoadConfig", [](Call& c) { return Pcd_LoadConfig(c.session, c.U16()); }},
        {"SendDirectCommand",
         [](Call& c) {
             const uint8_t code = c.Byte();
             const uint16_t capacity = c.U16();
             const Bytes data = c.Message();
             uint32_t* length = c.In<uint32_t>(capacity);
             const int32_t r =
                 SendDirectCommand(c.session, code, data.data(), static_cast<uint32_t>(data.size()),
                                   c.Out(capacity), length);
             if (r == KESTREL_OK) c.Fits(*length, capacity);
             return r;
         }},
        {"SetRFScan", [](Call& c) { return SetRFScan(c.session, c.Byte()); }},
        {"GetRFScan", [](Call& c) { return GetRFScan(c.session, c.Out()); }},
    },
    {
        {{"typeb:11223344"},
         {},
         {{"TypeB_RequestIdle", {0x00, 0x00, 16}},
          {"TypeB_Attrib", {0x11, 0x22, 0x33, 0x44, 0x00, 0}},
          {"TypeB_Halt", {0x11, 0x22, 0x33, 0x44}},
          {"TypeB_RequestWakeUp", {0x00, 0x08, 12}},
          {"TypeB_SlotMarker", {1, 16}}}},
        {{},
         {},
         {{"GetFWVersion", {64}},
          {"PcdReadReg", {0x3D}},
          {"PcdSetAttrib", {1, 8}},
          {"Pcd_LoadConfig", {1, 0}},
          {"SendDirectCommand", {0x86, 32, 0, 4, 1, 2, 3, 4}},
          {"SendDirectCommand", {0x47, 8, 0, 0}},
          {"SetRFScan", {1}},
          {"GetRFScan"}}},
    },
    Transport::kFramed,
    READER_TYPE_RFSCAN,
};

}  // namespace kestrel::fuzz
