#include "link/cmd_buffer.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrel::link {
namespace {

std::vector<uint8_t> Contents(const CmdBuffer& buffer) {
    return std::vector<uint8_t>(buffer.Data(), buffer.Data() + buffer.Size());
}

TEST(CmdBuffer, AppendsAreLittleEndian) {
    CmdBuffer buffer;
    EXPECT_EQ(buffer.AppendByte(0xAB), KESTREL_OK);
    EXPECT_EQ(buffer.AppendWord(0x1234), KESTREL_OK);
    EXPECT_EQ(buffer.AppendDword(0x11223344), KESTREL_OK);
    EXPECT_EQ(Contents(buffer), (std::vector<uint8_t>{0xAB, 0x34, 0x12, 0x44, 0x33, 0x22, 0x11}));
}

TEST(CmdBuffer, GrowsInSteps) {
    const struct {
        uint32_t appended;
        uint32_t capacity;
    } cases[] = {{0, 512}, {512, 512}, {513, 1024}, {600, 1024}, {2000, 2048}, {5000, 5120}};
    for (const auto& c : cases) {
        CmdBuffer buffer;
        std::vector<uint8_t> bytes(c.appended);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
        EXPECT_EQ(buffer.AppendBytes(bytes.data(), c.appended), KESTREL_OK);
        EXPECT_EQ(buffer.Capacity(), c.capacity) << c.appended;
        EXPECT_EQ(Contents(buffer), bytes) << c.appended;
    }
}

TEST(CmdBuffer, GrowingKeepsTheReadCursor) {
    CmdBuffer buffer;
    std::vector<uint8_t> first(500, 0x11);
    buffer.AppendBytes(first.data(), 500);
    std::vector<uint8_t> skipped(498);
    EXPECT_EQ(buffer.ReadBytes(skipped.data(), 498), KESTREL_OK);
    std::vector<uint8_t> second(100, 0x22);
    buffer.AppendBytes(second.data(), 100);
    uint16_t word = 0;
    EXPECT_EQ(buffer.ReadWord(&word), KESTREL_OK);
    EXPECT_EQ(word, 0x1111);
    uint8_t byte = 0;
    EXPECT_EQ(buffer.ReadByte(&byte), KESTREL_OK);
    EXPECT_EQ(byte, 0x22);
}

TEST(CmdBuffer, ReadsStopAtTheLastByteWritten) {
    CmdBuffer buffer;
    uint8_t byte = 0x55;
    EXPECT_EQ(buffer.ReadByte(&byte), KESTREL_ERR_READING_TOO_MUCH);
    EXPECT_EQ(byte, 0x55);

    buffer.AppendBytes("\x34\x12\x07", 3);
    uint16_t word = 0;
    EXPECT_EQ(buffer.ReadWord(&word), KESTREL_OK);
    EXPECT_EQ(word, 0x1234);
    // One byte left: it is consumed and the read fails.
    word = 0xBEEF;
    EXPECT_EQ(buffer.ReadWord(&word), KESTREL_ERR_READING_TOO_MUCH);
    EXPECT_EQ(word, 0xBEEF);
    EXPECT_EQ(buffer.Unread(), 0u);
}

TEST(CmdBuffer, ReadBytesCopiesWhatIsLeft) {
    CmdBuffer buffer;
    buffer.AppendBytes("\x01\x02\x03", 3);
    uint8_t out[7] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(buffer.ReadBytes(out + 1, 5), KESTREL_ERR_READING_TOO_MUCH);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 7),
              (std::vector<uint8_t>{0xEE, 1, 2, 3, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(buffer.ReadBytes(nullptr, 0), KESTREL_OK);
}

TEST(CmdBuffer, ClearEmptiesRewindsAndShrinks) {
    CmdBuffer buffer;
    std::vector<uint8_t> bytes(1500, 0x42);
    buffer.AppendBytes(bytes.data(), 1500);
    uint8_t byte;
    buffer.ReadByte(&byte);
    buffer.Clear();
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(buffer.Capacity(), 512u);
    EXPECT_EQ(buffer.ReadByte(&byte), KESTREL_ERR_READING_TOO_MUCH);
    buffer.AppendByte(0x99);
    EXPECT_EQ(buffer.ReadByte(&byte), KESTREL_OK);
    EXPECT_EQ(byte, 0x99);
}

}  // namespace
}  // namespace kestrel::link
