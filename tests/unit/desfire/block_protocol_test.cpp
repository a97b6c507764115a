// The DESFire exports over the library's own ISO/IEC 14443-4 block protocol and a scripted
// reader: the reader commands and blocks on the wire, byte for byte.
#include <gtest/gtest.h>

#include "KestrelAPI.h"
#include "unit/desfire/fixed_random.h"
#include "unit/mifare/card_script.h"

namespace kestrel::test {
namespace {

using DesfireOverBlocksTest = CardTest;

constexpr uint8_t kExchangeBlock = 0x03;
constexpr uint8_t kSetCardTimeOut = 0x27;
const Bytes kTimeOut1000 = {0xE8, 0x03, 0x00, 0x00};

// ExchangeBlock of `block` (parameter 0x1E, 16-bit length), answered with `answer`.
Bytes BlockParams(const Bytes& block) {
    return Cat({{0x1E, static_cast<uint8_t>(block.size()), 0x00}, block});
}

TEST_F(DesfireOverBlocksTest, ConnectThenKeyVersionAndTraceAuthentication) {
    // Activation and RATS with parameter 0.
    Expect(0x43, {0x00}, kStatusOk,
           {0x44, 0x03, 0x20, 7, 0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    Expect(0xE7, {0x00}, kStatusOk, {0x06, 0x75, 0x77, 0x81, 0x02, 0x80});
    ASSERT_EQ(DF_Connect(session), KESTREL_OK);
    CheckTraffic("connect");

    // GetKeyVersion in one I-block with CID 0, block number 0; the answer carries block 0.
    Expect(kSetCardTimeOut, kTimeOut1000);
    Expect(kExchangeBlock, BlockParams({0x0A, 0x00, 0x64, 0x00}), kStatusOk,
           {0x0A, 0x00, 0x00, 0x07});
    uint8_t version[3] = {kGuard, kGuard, kGuard};
    ASSERT_EQ(DF_GetKeyVersion(session, 0, &version[1]), KESTREL_OK);
    EXPECT_EQ(Bytes(version, version + 3), (Bytes{kGuard, 0x07, kGuard}));
    CheckTraffic("key version");

    // The genuine-card trace. The 17-byte token does not fit one 16-byte frame: 12 bytes go in
    // a chained I-block that the card acknowledges, the other 5 in the next one.
    ScopedRandomSource traceRandom(TraceRandom);
    Expect(kSetCardTimeOut, kTimeOut1000);
    Expect(kExchangeBlock, BlockParams({0x0B, 0x00, 0x0A, 0x00}), kStatusOk,
           {0x0B, 0x00, 0xAF, 0xDF, 0x6A, 0xB2, 0x9A, 0xAE, 0x46, 0xBA, 0x27});
    Expect(kSetCardTimeOut, kTimeOut1000);
    Expect(kExchangeBlock,
           BlockParams({0x1A, 0x00, 0xAF, 0x05, 0xEE, 0xC3, 0x1F, 0x1E, 0x6A, 0x0C, 0xC3, 0x1F,
                        0xEF, 0x83}),
           kStatusOk, {0xAA, 0x00});
    Expect(kExchangeBlock, BlockParams({0x0B, 0x00, 0x98, 0xA6, 0x62, 0x13, 0x70}), kStatusOk,
           {0x0B, 0x00, 0x00, 0x26, 0xAC, 0xED, 0x3C, 0x77, 0x1E, 0xF9, 0xA0});
    Bytes sessionKey(18, kGuard);
    ASSERT_EQ(DF_AuthKey(session, 0, Bytes(16, 0x00).data(), &sessionKey[1]), KESTREL_OK);
    EXPECT_EQ(sessionKey, Cat({{kGuard},
                               {0xA0, 0xA1, 0xA2, 0xA3, 0xCC, 0xF5, 0x32, 0x70, 0xA0, 0xA1, 0xA2,
                                0xA3, 0xCC, 0xF5, 0x32, 0x70},
                               {kGuard}}));
    CheckTraffic("authentication");
    DF_FreeData(session);
}

}  // namespace
}  // namespace kestrel::test
