// Block framing: raw answer bytes on a serial or TCP-like line and raw USB HID reports, under a
// few commands whose answers have different shapes.
#include "harness.h"

namespace kestrel::fuzz {

const Family kFraming = {
    "framing",
    {
        {"REQUEST_ALL_CMD", [](Call& c) { return REQUEST_ALL_CMD(c.session, c.Out<uint16_t>()); }},
        {"MifC_ReadBlock", [](Call& c) { return MifC_ReadBlock(c.session, c.Byte(), c.Out(16)); }},
        {"GetFWVersion",
         [](Call& c) {
             const uint8_t capacity = c.Byte();
             return GetFWVersion(c.session, c.Out<char>(capacity), c.In(capacity));
         }},
        {"SendDirectCommand",
         [](Call& c) {
             const uint8_t code = c.Byte();
             const uint16_t capacity = c.U16();
             return SendDirectCommand(c.session, code, nullptr, 0, c.Out(capacity),
                                      c.In<uint32_t>(capacity));
         }},
    },
    {
        {{"classic1k:0A0B0C0D"},
         {},
         {{"REQUEST_ALL_CMD"},
          {"GetFWVersion", {64}},
          {"SendDirectCommand", {0x47, 16, 0}},
          {"REQUEST_ALL_CMD"},
          {"MifC_ReadBlock", {4}}}},
    },
    Transport::kRawLine,
};

}  // namespace kestrel::fuzz
