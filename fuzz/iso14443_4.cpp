// The ISO/IEC 14443-4 block protocol: chaining both ways, WTX, R- and S-blocks, CID and NAD
// bits in the card's blocks, the frame size rules and the answer capacities.
#include <algorithm>

#include "harness.h"

namespace kestrel::fuzz {
namespace {

// Frame sizes around the accepted range (5 to 1024) and capacities up to 1100 bytes.
uint16_t FrameSize(Call& c) {
    return c.U16() % 1040;
}
uint16_t Capacity(Call& c) {
    return c.U16() % 1100;
}

}  // namespace

const Family kIso14443_4 = {
    "iso14443_4",
    {
        {"Send_Raw_APDU",
         [](Call& c) {
             uint8_t* blockNumber = c.In(c.Byte());
             const uint16_t frameSize = FrameSize(c);
             const uint16_t capacity = Capacity(c);
             const Bytes request = c.Message();
             uint16_t* length = c.In(capacity);
             const int32_t r =
                 Send_Raw_APDU(c.session, blockNumber, frameSize, request.data(),
                               static_cast<uint16_t>(request.size()), c.Out(capacity), length, 0);
             if (r == KESTREL_OK) c.Fits(*length, capacity);
             return r;
         }},
        {"R7XSend_APDU",
         [](Call& c) {
             const uint8_t blockNumber = c.Byte();
             const uint16_t frameSize = FrameSize(c);
             ApduContext* context = c.In(ApduContext{blockNumber, 0, frameSize, 0});
             const uint16_t capacity = Capacity(c);
             const Bytes apdu = c.Message();
             uint16_t* length = c.In(capacity);
             const int32_t r =
                 R7XSend_APDU(c.session, context, apdu.data(), static_cast<uint16_t>(apdu.size()),
                              c.Out(capacity), length, c.Out<uint16_t>());
             if (r == KESTREL_OK) c.Fits(*length, capacity);
             return r;
         }},
        {"TCLPing",
         [](Call& c) {
             uint8_t* blockNumber = c.In(c.Byte());
             return TCLPing(c.session, blockNumber, Capacity(c), 0);
         }},
        {"Reset14443_4", [](Call& c) { return Reset14443_4(c.session, Capacity(c)); }},
    },
    {
        // GetVersion of a DESFire card in three messages, with a frame size of 16 and
        // a long request that goes out chained.
        {{"desfire:04112233445566"},
         {{"Request_ATS", {0x00, 32}}},
         {{"Send_Raw_APDU", {0, 16, 0, 64, 0, 1, 0x60}},
          {"Send_Raw_APDU", {1, 16, 0, 64, 0, 1, 0xAF}},
          {"R7XSend_APDU", {0, 16, 0, 64, 0, 1, 0xAF}},
          {"Send_Raw_APDU", {1,  16, 0,  64, 0,  40, 0x5A, 1,  2,  3,  4,  5,  6,  7,  8,  9,
                             10, 11, 12, 13, 14, 15, 16,   17, 18, 19, 20, 21, 22, 23, 24, 25,
                             26, 27, 28, 29, 30, 31, 32,   33, 34, 35, 36, 37, 38, 39}},
          {"TCLPing", {0, 16, 0}},
          {"Reset14443_4", {16, 0}}}},
        // The card asks for more time twice before its answer; a chained answer to a
        // host that takes 16-byte frames.
        {{"desfire:04112233445566"},
         {{"Request_ATS", {0x00, 32}}},
         {{"Send_Raw_APDU", {0, 64, 0, 64, 0, 1, 0x60}}},
         2},
    },
};

}  // namespace kestrel::fuzz
