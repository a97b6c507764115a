// ISO/IEC 14443-4 exports against a scripted reader and card: RATS and PPS, deselection,
// message exchange with and without the status word split off, presence check.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "KestrelAPI.h"
#include "unit/mifare/card_script.h"

namespace kestrel::test {
namespace {

static_assert(sizeof(ApduContext) == 8, "ApduContext is 8 bytes");
static_assert(offsetof(ApduContext, blockNumber) == 0, "block number in byte 0");
static_assert(offsetof(ApduContext, frameSize) == 2, "frame size in bytes 2-3");
static_assert(offsetof(ApduContext, cardTimeOut) == 4, "card time-out in bytes 4-7");

constexpr uint8_t kCardTimeOutStatus = 0xEA;  // KESTREL_ERR_FRAME_CARD_TIMEOUT

Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

// Parameters of reader command 0x03 carrying `block`.
Bytes BlockParams(const Bytes& block) {
    return Cat({{0x1E, static_cast<uint8_t>(block.size()), static_cast<uint8_t>(block.size() >> 8)},
                block});
}

const Bytes kActivation = {0x44, 0x03, 0x20, 7, 0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
const Bytes kAts = {0x06, 0x75, 0x77, 0x81, 0x02, 0x80};
const Bytes kApdu = {0x00, 0xA4, 0x04, 0x00, 0x00};

class Iso14443_4ExportsTest : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        session->reader->SetPause([this](uint32_t ms) { pauses.push_back(ms); });
    }
    void ExpectCardTimeOut(uint32_t ms, uint8_t status = kStatusOk) {
        Expect(0x27, Le32(ms), status);
    }
    void ExpectBlock(const Bytes& sent, const Bytes& answer, uint8_t status = kStatusOk) {
        Expect(0x03, BlockParams(sent), status, answer);
    }

    std::vector<uint32_t> pauses;
};

TEST_F(Iso14443_4ExportsTest, SessionChecks) {
    uint8_t buffer[8];
    uint16_t length = 8;
    uint8_t number = 0;
    uint16_t sw = 0;
    ApduContext context = {0, 0, 16, 1000};
    ExpectSessionChecks({
        {"Request_ATS", [&](KestrelSession* s) { return Request_ATS(s, 0, &length, buffer); }},
        {"V2_RequestATS", [&](KestrelSession* s) { return V2_RequestATS(s, 0, &length, buffer); }},
        {"ISO4PPS_Request", [&](KestrelSession* s) { return ISO4PPS_Request(s, 0, 1, 1); }},
        {"Reset14443_4", [&](KestrelSession* s) { return Reset14443_4(s, 16); }},
        {"Send_Raw_APDU",
         [&](KestrelSession* s) {
             return Send_Raw_APDU(s, &number, 16, kApdu.data(), 5, buffer, &length, 1000);
         }},
        {"R7XSend_APDU",
         [&](KestrelSession* s) {
             return R7XSend_APDU(s, &context, kApdu.data(), 5, buffer, &length, &sw);
         }},
        {"TCLPing", [&](KestrelSession* s) { return TCLPing(s, &number, 16, 1000); }},
    });
}

// RATS after activation, with and without an RF reset first.
TEST_F(Iso14443_4ExportsTest, RequestAts) {
    using Export = int32_t(KESTREL_CALL*)(KestrelSession*, uint8_t, uint16_t*, uint8_t*);
    const struct {
        const char* name;
        Export call;
        bool rfReset;
    } forms[] = {{"Request_ATS", Request_ATS, false}, {"V2_RequestATS", V2_RequestATS, true}};
    for (const auto& f : forms) {
        Bytes ats(8, kGuard);
        uint16_t length = 6;
        if (f.rfReset) Expect(0x20, {0x19, 0x00});
        Expect(0x43, {0x00}, kStatusOk, kActivation);
        Expect(0xE7, {0x50}, kStatusOk, kAts);
        EXPECT_EQ(f.call(session, 0x50, &length, ats.data() + 1), KESTREL_OK) << f.name;
        EXPECT_EQ(length, 6) << f.name;
        EXPECT_EQ(ats, Cat({{kGuard}, kAts, {kGuard}})) << f.name;
        CheckTraffic(f.name);
    }
}

TEST_F(Iso14443_4ExportsTest, PpsRequest) {
    // Argument order CID, DSI, DRI into the timed exchange; a failure comes through.
    Expect(0x48, {0x05, 0x00, 0x01, 0xE8, 0x03, 0x00, 0x00, 0xDA, 0x11, 0x0E, 0x00, 0x00},
           kStatusOk, {0x01, 0x00, 0x00});
    EXPECT_EQ(ISO4PPS_Request(session, 0x3A, 3, 2), KESTREL_OK);
    Expect(0x48, {0x05, 0x00, 0x01, 0xE8, 0x03, 0x00, 0x00, 0xD0, 0x11, 0x00, 0x00, 0x00},
           kCardTimeOutStatus);
    EXPECT_EQ(ISO4PPS_Request(session, 0, 0, 0), KESTREL_ERR_FRAME_CARD_TIMEOUT);
    CheckTraffic();
}

TEST_F(Iso14443_4ExportsTest, Reset14443_4) {
    // The reader's exchange time-out goes to the reader as the card time-out.
    ExpectCardTimeOut(2000);
    ExpectBlock({0xC2}, {0xC2});
    EXPECT_EQ(Reset14443_4(session, 16), KESTREL_OK);
    CheckTraffic("default time-out");

    // The capacity goes to the exchange: the one-byte answer does not fit in 0.
    ExpectCardTimeOut(2000);
    ExpectBlock({0xC2}, {0xC2});
    EXPECT_EQ(Reset14443_4(session, 0), KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("capacity 0");
}

// One message each way, with CID 0 in every block.
TEST_F(Iso14443_4ExportsTest, SendRawApdu) {
    Bytes answer(4, kGuard);
    uint16_t length = 2;
    uint8_t number = 0;
    ExpectCardTimeOut(3000);
    ExpectBlock(Cat({{0x0A, 0x00}, kApdu}), {0x02, 0x90, 0x00});
    EXPECT_EQ(
        Send_Raw_APDU(session, &number, 16, kApdu.data(), 5, answer.data() + 1, &length, 3000),
        KESTREL_OK);
    EXPECT_EQ(answer, (Bytes{kGuard, 0x90, 0x00, kGuard}));
    EXPECT_EQ(length, 2);
    EXPECT_EQ(number, 1);
    CheckTraffic("one block");

    // With a CID in every block, frame size 4 leaves no room: refused before any traffic.
    EXPECT_EQ(Send_Raw_APDU(session, &number, 4, kApdu.data(), 5, answer.data() + 1, &length, 3000),
              KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("refused");
}

// The context record: byte 0 block number, byte 1 unused, bytes 2-3 frame size, bytes 4-7
// card time-out, both little-endian.
ApduContext ContextFromBytes(const Bytes& bytes) {
    ApduContext context;
    std::memcpy(&context, bytes.data(), sizeof context);
    return context;
}
Bytes BytesOf(const ApduContext& context) {
    Bytes bytes(sizeof context);
    std::memcpy(bytes.data(), &context, sizeof context);
    return bytes;
}

struct ApduCase {
    const char* name;
    uint16_t capacity;
    Bytes cardBlock;  // the card's answer to the I-block 0x0A 0x00 + APDU
    Result expected;
    uint16_t statusWord;  // 0x5A5A: untouched
    Bytes data;           // what reaches the caller's buffer
    uint16_t length;      // the caller's length afterwards
    uint8_t blockNumber;  // byte 0 of the context afterwards
};

ApduCase Apdu(const char* name, uint16_t capacity, Bytes cardBlock, Result expected,
              uint16_t statusWord, Bytes data, uint16_t length, uint8_t blockNumber) {
    return ApduCase{name, capacity, cardBlock, expected, statusWord, data, length, blockNumber};
}

TEST_F(Iso14443_4ExportsTest, R7XSendApduSplitsTheStatusWord) {
    const ApduCase cases[] = {
        Apdu("status word only", 0, {0x0A, 0x00, 0x90, 0x00}, KESTREL_OK, 0x9000, {}, 0, 1),
        Apdu("data and status word", 3, {0x0A, 0x00, 1, 2, 3, 0x6A, 0x82}, KESTREL_OK, 0x6A82,
             {1, 2, 3}, 3, 1),
        Apdu("room to spare", 10, {0x02, 1, 2, 0x61, 0x10}, KESTREL_OK, 0x6110, {1, 2}, 2, 1),
        // The exchange succeeded, so the block number moves on.
        Apdu("one byte only", 4, {0x0A, 0x00, 0x90}, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, 0x5A5A,
             {}, 4, 1),
        Apdu("no byte", 4, {0x0A, 0x00}, KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, 0x5A5A, {}, 4, 1),
        // One byte beyond capacity + 2: the exchange itself refuses it.
        Apdu("data one byte too long", 2, {0x0A, 0x00, 1, 2, 3, 0x90, 0x00},
             KESTREL_ERR_READING_TOO_MUCH, 0x5A5A, {}, 2, 0),
        Apdu("card refuses the block", 4, {0xC2}, KESTREL_ERR_OPERATION_ABORTED, 0x5A5A, {}, 4, 0),
    };
    for (const ApduCase& c : cases) {
        ApduContext context =
            ContextFromBytes({0x00, 0xEE, 0x10, 0x00, 0xB8, 0x0B, 0x00, 0x00});  // 16, 3000 ms
        ExpectCardTimeOut(3000);
        ExpectBlock(Cat({{0x0A, 0x00}, kApdu}), c.cardBlock);
        Bytes response(c.capacity + 2u, kGuard);
        uint16_t length = c.capacity;
        uint16_t sw = 0x5A5A;
        EXPECT_EQ(
            R7XSend_APDU(session, &context, kApdu.data(), 5, response.data() + 1, &length, &sw),
            c.expected)
            << c.name;
        EXPECT_EQ(sw, c.statusWord) << c.name;
        EXPECT_EQ(length, c.length) << c.name;
        Bytes want(c.capacity + 2u, kGuard);
        std::copy(c.data.begin(), c.data.end(), want.begin() + 1);
        EXPECT_EQ(response, want) << c.name;
        // Only byte 0 of the record changes.
        EXPECT_EQ(BytesOf(context),
                  (Bytes{c.blockNumber, 0xEE, 0x10, 0x00, 0xB8, 0x0B, 0x00, 0x00}))
            << c.name;
        CheckTraffic(c.name);
    }
}

TEST_F(Iso14443_4ExportsTest, R7XSendApduUsesTheContext) {
    // Frame size 8 without NAD, CID sent: 4 bytes per block; block number 1 to start with.
    ApduContext context = ContextFromBytes({0x01, 0x00, 0x08, 0x00, 0x10, 0x27, 0x00, 0x00});
    const Bytes apdu = Count(0x20, 6);
    ExpectCardTimeOut(10000);
    ExpectBlock({0x1B, 0x00, 0x20, 0x21, 0x22, 0x23}, {0xAB, 0x00});
    ExpectBlock({0x0A, 0x00, 0x24, 0x25}, {0x1A, 0x00, 0xD1, 0xD2, 0xD3, 0xD4});
    ExpectBlock({0xAB, 0x00}, {0x0B, 0x00, 0x90, 0x00});
    uint8_t response[4];
    uint16_t length = sizeof response;
    uint16_t sw = 0;
    EXPECT_EQ(R7XSend_APDU(session, &context, apdu.data(), 6, response, &length, &sw), KESTREL_OK);
    EXPECT_EQ(Bytes(response, response + length), (Bytes{0xD1, 0xD2, 0xD3, 0xD4}));
    EXPECT_EQ(sw, 0x9000);
    EXPECT_EQ(context.blockNumber, 0);
    CheckTraffic("chained both ways");

    // Missing pointers: nothing sent.
    EXPECT_EQ(R7XSend_APDU(session, nullptr, apdu.data(), 6, response, &length, &sw),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(R7XSend_APDU(session, &context, apdu.data(), 6, response, nullptr, &sw),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(R7XSend_APDU(session, &context, apdu.data(), 6, response, &length, nullptr),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(R7XSend_APDU(session, &context, nullptr, 6, response, &length, &sw),
              KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(R7XSend_APDU(session, &context, apdu.data(), 6, nullptr, &length, &sw),
              KESTREL_ERR_WRONG_PARAMETER);
    // A frame size the block protocol refuses.
    context.frameSize = 4;
    EXPECT_EQ(R7XSend_APDU(session, &context, apdu.data(), 6, response, &length, &sw),
              KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("refused");

    // The largest capacity does not wrap round.
    context = ContextFromBytes({0x00, 0x00, 0x10, 0x00, 0xB8, 0x0B, 0x00, 0x00});
    std::vector<uint8_t> big(0xFFFF);
    length = 0xFFFF;
    ExpectCardTimeOut(3000);
    ExpectBlock(Cat({{0x0A, 0x00}, kApdu}), {0x0A, 0x00, 0x42, 0x90, 0x00});
    EXPECT_EQ(R7XSend_APDU(session, &context, kApdu.data(), 5, big.data(), &length, &sw),
              KESTREL_OK);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(big[0], 0x42);
    CheckTraffic("largest capacity");
}

TEST_F(Iso14443_4ExportsTest, TclPing) {
    const struct {
        uint8_t number;
        Bytes block;
    } cases[] = {{1, {0xBB, 0x00}}, {0xFE, {0xBA, 0x00}}};
    for (const auto& c : cases) {
        const uint8_t number = c.number;
        ExpectCardTimeOut(1500);
        ExpectBlock(c.block, {0xA2, 0x00});
        EXPECT_EQ(TCLPing(session, &number, 0xFFFF, 1500), KESTREL_OK);
        EXPECT_EQ(number, c.number);
        CheckTraffic();
    }
    const uint8_t number = 0;
    ExpectCardTimeOut(1500);
    ExpectBlock({0xBA, 0x00}, {}, kStatusNoCard);
    EXPECT_EQ(TCLPing(session, &number, 16, 1500), KESTREL_ERR_NO_CARD);
    EXPECT_EQ(TCLPing(session, nullptr, 16, 1500), KESTREL_ERR_WRONG_PARAMETER);
    CheckTraffic("failures");
}

}  // namespace
}  // namespace kestrel::test
