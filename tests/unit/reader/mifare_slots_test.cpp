// The MIFARE reader slots: key coding, request layouts, answer handling, null arguments.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "link/block_framing_protocol.h"
#include "reader/standard_reader.h"
#include "support/scripted_comm.h"

namespace kestrel::reader {
namespace {

using test::Bytes;
using test::Frame;

constexpr uint8_t kGuard = 0xCC;

struct CodeKeyCase {
    Bytes key;
    Bytes coded;
};

TEST(CodeKey, KnownKeys) {
    const CodeKeyCase cases[] = {
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, Bytes(12, 0x0F)},
        {{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC},
         {0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87, 0x78, 0x69, 0x5A, 0x4B, 0x3C}},
    };
    for (const auto& c : cases) {
        Bytes out(14, kGuard);
        EXPECT_EQ(MifarePrimitives::CodeKey(c.key.data(), out.data() + 1), KESTREL_OK);
        EXPECT_EQ(Bytes(out.begin() + 1, out.end() - 1), c.coded);
        EXPECT_EQ(out.front(), kGuard);
        EXPECT_EQ(out.back(), kGuard);
    }
}

// Every coded byte carries its nibble low and the nibble's complement high.
TEST(CodeKey, EveryByteValueAndNulls) {
    for (int value = 0; value < 256; ++value) {
        const uint8_t key[6] = {static_cast<uint8_t>(value), 0, 0, 0, 0, 0};
        uint8_t coded[12];
        ASSERT_EQ(MifarePrimitives::CodeKey(key, coded), KESTREL_OK);
        EXPECT_EQ(coded[0] & 0x0F, value >> 4) << value;
        EXPECT_EQ(coded[1] & 0x0F, value & 0x0F) << value;
        EXPECT_EQ((coded[0] >> 4) ^ (coded[0] & 0x0F), 0x0F) << value;
        EXPECT_EQ((coded[1] >> 4) ^ (coded[1] & 0x0F), 0x0F) << value;
    }
    uint8_t key[6] = {};
    uint8_t coded[12];
    EXPECT_EQ(MifarePrimitives::CodeKey(nullptr, coded), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(MifarePrimitives::CodeKey(key, nullptr), KESTREL_ERR_WRONG_PARAMETER);
}

struct ReadCase {
    const char* name;
    uint8_t status;
    Bytes answer;
    Result expected;
    size_t copied;  // bytes of the answer that reach the caller
};

class MifareSlotTest : public ::testing::Test {
  protected:
    // Each answer in turn, read into a buffer with a guard byte on each side.
    template <size_t N>
    void CheckReads(const ReadCase (&cases)[N], const std::function<Result(uint8_t*)>& read) {
        for (const auto& c : cases) {
            Bytes out(18, kGuard);
            AnswerNext(c.status, c.answer);
            EXPECT_EQ(read(out.data() + 1), c.expected) << c.name;
            Bytes want(18, kGuard);
            std::copy(c.answer.begin(), c.answer.begin() + c.copied, want.begin() + 1);
            EXPECT_EQ(out, want) << c.name;
        }
    }
    void AnswerNext(uint8_t status, const Bytes& data = {}) {
        comm.Answer(Frame(sequence_++, status, data));
    }
    uint8_t LastCode() const { return comm.requests.back()[2]; }
    Bytes LastParams() const {
        const Bytes& r = comm.requests.back();
        return Bytes(r.begin() + 5, r.end() - 2);
    }

    test::ScriptedComm comm;
    link::BlockFramingProtocol link{comm};
    StandardReader reader{link};

  private:
    uint8_t sequence_ = 0;
};

Bytes Count(uint8_t from, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
    return b;
}

// The card tests pin the requests the card functions send; these slots only the reader uses.
TEST_F(MifareSlotTest, RequestLayouts) {
    const uint8_t four[4] = {0xC0, 0xC1, 0xC2, 0xC3};
    const struct {
        std::function<Result()> call;
        uint8_t code;
        Bytes params;
    } cases[] = {
        // The transfer block is its own argument, not the operand block.
        {[&] { return reader.ValueOperation(0xC0, 8, four, 9); },
         0x1B,
         {0xC0, 0x08, 0xC0, 0xC1, 0xC2, 0xC3, 0x09}},
        {[&] { return reader.WriteData(0xA0, 5, 0, nullptr); }, 0x1F, {0xA0, 0x05, 0x00}},
    };
    for (const auto& c : cases) {
        AnswerNext(0x00);
        EXPECT_EQ(c.call(), KESTREL_OK) << int(c.code);
        EXPECT_EQ(LastCode(), c.code);
        EXPECT_EQ(LastParams(), c.params) << int(c.code);
    }
    EXPECT_TRUE(comm.Done());
}

// A silent reader is a read failure of the link, whatever the command.
TEST_F(MifareSlotTest, SilentReader) {
    comm.Answer({});
    EXPECT_EQ(reader.ValueOperation(0xC1, 4, Bytes(4).data(), 4), KESTREL_ERR_RS232_READ);
}

TEST_F(MifareSlotTest, MifareReadCopiesSixteenBytesOrNothing) {
    const ReadCase cases[] = {
        {"16 bytes", 0x00, Count(1, 16), KESTREL_OK, 16},
        {"17 bytes: the first 16", 0x00, Count(1, 17), KESTREL_OK, 16},
        {"16 bytes, error status", 0xF8, Count(1, 16), KESTREL_ERR_WRONG_CARD, 16},
        {"15 bytes", 0x00, Count(1, 15), KESTREL_ERR_FRAME_RESPONSE_TOO_SHORT, 0},
        {"no card, no data", 0xFF, {}, KESTREL_ERR_NO_CARD, 0},
        {"error status, 3 bytes", 0xFC, Count(1, 3), KESTREL_ERR_AUTH_NOT_ALLOWED, 0},
    };
    CheckReads(cases, [&](uint8_t* out) { return reader.MifareRead(4, out); });
}

TEST_F(MifareSlotTest, ReadDataRefusesLongerAnswers) {
    const ReadCase cases[] = {
        {"16 of 16", 0x00, Count(1, 16), KESTREL_OK, 16},
        {"17 of 16", 0x00, Count(1, 17), KESTREL_ERR_WRONG_PARAMETER, 0},
        {"17 of 16, error status", 0xFF, Count(1, 17), KESTREL_ERR_WRONG_PARAMETER, 0},
        {"4 of 16", 0x00, Count(1, 4), KESTREL_OK, 4},
        {"nothing, no card", 0xFF, {}, KESTREL_ERR_NO_CARD, 0},
        {"16 of 16, error status", 0xF8, Count(1, 16), KESTREL_ERR_WRONG_CARD, 16},
    };
    CheckReads(cases, [&](uint8_t* out) { return reader.ReadData(0x30, 4, 16, out); });
}

TEST_F(MifareSlotTest, NullArgumentsAreRefusedWithoutTraffic) {
    const uint8_t bytes[16] = {};
    const std::function<Result()> calls[] = {
        [&] { return reader.Authenticate(0x60, nullptr, bytes, 4); },
        [&] { return reader.Authenticate(0x60, bytes, nullptr, 4); },
        [&] { return reader.MifareRead(4, nullptr); },
        [&] { return reader.MifareWrite(4, nullptr); },
        [&] { return reader.ValueOperation(0xC1, 4, nullptr, 4); },
        [&] { return reader.ReadData(0x30, 4, 16, nullptr); },
        [&] { return reader.WritePage(4, nullptr); },
        [&] { return reader.WriteData(0xA0, 4, 16, nullptr); },
    };
    for (const auto& call : calls) EXPECT_EQ(call(), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(comm.requests.empty());
}

}  // namespace
}  // namespace kestrel::reader
