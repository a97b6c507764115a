// Sector geometry and access conditions: pure functions, through the exported interface.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "KestrelAPI.h"

namespace {

using Access = std::array<uint8_t, 4>;

// Sectors 0-31 have 4 blocks, 32-39 have 16; the 40 sectors cover blocks 0 to 255 one after the
// other, without gap or overlap.
TEST(SectorGeometry, SectorsTileTheCard) {
    int next = 0;
    for (uint8_t sector = 0; sector < 40; ++sector) {
        uint8_t first = 0, count = 0, size = 0, trailer = 0;
        ASSERT_EQ(MifC_GetSectorFirstBlock(sector, &first), KESTREL_OK);
        ASSERT_EQ(MifC_GetSectorBlocksCount(sector, &count), KESTREL_OK);
        ASSERT_EQ(MifC_GetSectorDataSize(sector, &size), KESTREL_OK);
        ASSERT_EQ(MifC_GetSectorTrailerBlock(sector, &trailer), KESTREL_OK);
        EXPECT_EQ(count, sector < 32 ? 4 : 16) << int(sector);
        EXPECT_EQ(first, next) << int(sector);
        EXPECT_EQ(trailer, first + count - 1) << int(sector);
        EXPECT_EQ(size, (count - 1) * 16) << int(sector);
        next = trailer + 1;
    }
    EXPECT_EQ(next, 256);
}

TEST(SectorGeometry, BadSectorsLeaveTheOutputAlone) {
    for (int sector : {40, 41, 128, 255}) {
        const uint8_t s = static_cast<uint8_t>(sector);
        uint8_t out = 0xCC;
        EXPECT_EQ(MifC_GetSectorFirstBlock(s, &out), KESTREL_ERR_INVALID_SECTOR);
        EXPECT_EQ(MifC_GetSectorBlocksCount(s, &out), KESTREL_ERR_INVALID_SECTOR);
        EXPECT_EQ(MifC_GetSectorDataSize(s, &out), KESTREL_ERR_INVALID_SECTOR);
        EXPECT_EQ(MifC_GetSectorTrailerBlock(s, &out), KESTREL_ERR_INVALID_SECTOR);
        EXPECT_EQ(out, 0xCC);
    }
    EXPECT_EQ(MifC_GetSectorFirstBlock(40, nullptr), KESTREL_ERR_INVALID_SECTOR);
    EXPECT_EQ(MifC_GetSectorFirstBlock(3, nullptr), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_EQ(MifC_GetSectorTrailerBlock(33, nullptr), KESTREL_ERR_WRONG_PARAMETER);
}

// Condition index of groups 0, 1, 2 and the trailer.
std::array<int, 4> ParseAll(const Access& access) {
    return {ACL_ParseDataConditions(0, access.data(), nullptr, nullptr),
            ACL_ParseDataConditions(1, access.data(), nullptr, nullptr),
            ACL_ParseDataConditions(2, access.data(), nullptr, nullptr),
            ACL_ParseTrailerConditions(access.data(), nullptr, nullptr)};
}

int Bit(uint8_t byte, int bit) {
    return (byte >> bit) & 1;
}

// Group n's inverted copies (byte 0 bits n and 4 + n, byte 1 bit n) differ from its
// condition bits (byte 1 bit 4 + n, byte 2 bits n and 4 + n).
bool GroupConsistent(const Access& a, int n) {
    return Bit(a[0], n) != Bit(a[1], 4 + n) && Bit(a[0], 4 + n) != Bit(a[2], n) &&
           Bit(a[1], n) != Bit(a[2], 4 + n);
}

// The bits of one group in bytes 0-2: bit n and bit 4 + n of each.
Access GroupMask(int group) {
    const uint8_t m = static_cast<uint8_t>((1 << group) | (1 << (4 + group)));
    return {m, m, m, 0};
}

struct VectorCase {
    Access access;
    std::array<int, 4> indices;
};

TEST(AccessConditions, PublishedByteVectors) {
    const VectorCase cases[] = {
        {{0xFF, 0x07, 0x80, 0x69}, {0, 0, 0, 1}}, {{0x7F, 0x07, 0x88, 0x69}, {0, 0, 0, 3}},
        {{0x78, 0x77, 0x88, 0x69}, {4, 4, 4, 3}}, {{0x08, 0x77, 0x8F, 0x00}, {6, 6, 6, 3}},
        {{0xFF, 0x0F, 0x00, 0x69}, {0, 0, 0, 0}}, {{0x00, 0xF0, 0xFF, 0x69}, {7, 7, 7, 7}},
        {{0x7F, 0x00, 0xF8, 0x69}, {1, 1, 1, 3}},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseAll(c.access), c.indices);
}

TEST(AccessConditions, TransportBytes) {
    const Access transport = {0xFF, 0x07, 0x80, 0x69};
    uint32_t a = 0, b = 0;
    EXPECT_EQ(ACL_ParseDataConditions(0, transport.data(), &a, &b), 0);
    EXPECT_EQ(a, 0x0Fu);
    EXPECT_EQ(b, 0x0Fu);
    EXPECT_EQ(ACL_ParseTrailerConditions(transport.data(), &a, &b), 1);
    EXPECT_EQ(a, 0x3Eu);
    EXPECT_EQ(b, 0x00u);
}

TEST(AccessConditions, GenerateAValueSector) {
    Access access = {0xFF, 0x07, 0x80, 0x69};
    for (int group = 0; group < 3; ++group) {
        EXPECT_EQ(ACL_GenDataConditions(group, access.data(), 0x09, 0x0F), 6);
    }
    EXPECT_EQ(ACL_GenTrailerConditions(access.data(), 0x04, 0x2E), 3);
    EXPECT_EQ(access, (Access{0x08, 0x77, 0x8F, 0x69}));
    const Access valueSector = VALUE_SECTOR_ACCESS;
    EXPECT_EQ(ParseAll(valueSector), (std::array<int, 4>{6, 6, 6, 3}));
}

TEST(AccessConditions, PairsInNoRowLeaveTheBytesAlone) {
    const Access original = {0xFF, 0x07, 0x80, 0x69};
    const struct {
        int blockIndex;  // 3: the trailer
        uint32_t keyA, keyB;
    } cases[] = {
        {0, 0x0F, 0x00}, {1, 0x01, 0x00}, {2, 0x0F, 0x0F | 0x10}, {0, 0x03, 0x03},
        {3, 0x00, 0x00}, {3, 0x04, 0x00}, {3, 0x01, 0x04},        {3, 0x36, 0x36},
    };
    for (const auto& c : cases) {
        Access access = original;
        const int result = c.blockIndex == 3
                               ? ACL_GenTrailerConditions(access.data(), c.keyA, c.keyB)
                               : ACL_GenDataConditions(c.blockIndex, access.data(), c.keyA, c.keyB);
        EXPECT_EQ(result, -1) << c.blockIndex << " " << c.keyA << " " << c.keyB;
        EXPECT_EQ(access, original);
    }
}

TEST(AccessConditions, BadArguments) {
    Access access = {0xFF, 0x07, 0x80, 0x69};
    uint32_t a = 0xAAAA, b = 0xBBBB;
    for (int32_t index : {-1, 3, 4, 0x7FFFFFFF}) {
        EXPECT_EQ(ACL_ParseDataConditions(index, access.data(), &a, &b), -1);
        EXPECT_EQ(ACL_GenDataConditions(index, access.data(), 0x0F, 0x0F), -1);
    }
    EXPECT_EQ(access, (Access{0xFF, 0x07, 0x80, 0x69}));
    EXPECT_EQ(ACL_ParseDataConditions(0, nullptr, &a, &b), -1);
    EXPECT_EQ(ACL_ParseTrailerConditions(nullptr, &a, &b), -1);
    EXPECT_EQ(ACL_GenDataConditions(0, nullptr, 0x0F, 0x0F), -1);
    EXPECT_EQ(ACL_GenTrailerConditions(nullptr, 0x04, 0x04), -1);
    for (uint32_t index : {8u, 9u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ACL_GetValidDataSecPrivs(index, &a, &b), -1);
        EXPECT_EQ(ACL_GetValidTrailerPrivs(index, &a, &b), -1);
    }
    EXPECT_EQ(a, 0xAAAAu);
    EXPECT_EQ(b, 0xBBBBu);
}

// Parsing reads the condition bits only: inverted copies that disagree change nothing.
TEST(AccessConditions, ParseIgnoresTheInvertedCopies) {
    const Access transport = {0xFF, 0x07, 0x80, 0x69};
    for (int bit = 0; bit < 8; ++bit) {
        Access broken = transport;
        broken[0] ^= static_cast<uint8_t>(1 << bit);
        EXPECT_EQ(ParseAll(broken), ParseAll(transport));
        if (bit < 4) {
            broken = transport;
            broken[1] ^= static_cast<uint8_t>(1 << bit);
            EXPECT_EQ(ParseAll(broken), ParseAll(transport));
        }
    }
}

struct Row {
    uint32_t keyA, keyB;
};

// The privilege pairs of each condition index.
TEST(AccessConditions, ValidPrivilegeTables) {
    const Row data[8] = {{0x0F, 0x0F}, {0x09, 0x09}, {0x01, 0x01}, {0x00, 0x03},
                         {0x01, 0x03}, {0x00, 0x01}, {0x09, 0x0F}, {0x00, 0x00}};
    const Row trailer[8] = {{0x36, 0x00}, {0x3E, 0x00}, {0x14, 0x00}, {0x04, 0x2E},
                            {0x04, 0x26}, {0x04, 0x0C}, {0x04, 0x04}, {0x04, 0x04}};
    for (uint32_t i = 0; i < 8; ++i) {
        uint32_t a = 0xFFFF, b = 0xFFFF;
        EXPECT_EQ(ACL_GetValidDataSecPrivs(i, &a, &b), 0);
        EXPECT_EQ(a, data[i].keyA) << i;
        EXPECT_EQ(b, data[i].keyB) << i;
        EXPECT_EQ(ACL_GetValidTrailerPrivs(i, &a, &b), 0);
        EXPECT_EQ(a, trailer[i].keyA) << i;
        EXPECT_EQ(b, trailer[i].keyB) << i;
    }
    // Either output may be left out.
    uint32_t a = 0;
    EXPECT_EQ(ACL_GetValidDataSecPrivs(6, &a, nullptr), 0);
    EXPECT_EQ(a, 0x09u);
    EXPECT_EQ(ACL_GetValidTrailerPrivs(3, nullptr, nullptr), 0);
}

// Every condition index of every group, generated from several starting bytes, parses back
// to itself, touches only that group's six bits, and leaves the group consistent.
TEST(AccessConditions, EveryIndexOfEveryGroupBothWays) {
    const Access starts[] = {{0xFF, 0x07, 0x80, 0x69},
                             {0x00, 0x00, 0x00, 0x00},
                             {0xFF, 0xFF, 0xFF, 0xFF},
                             {0x08, 0x77, 0x8F, 0x00},
                             {0x5A, 0xC3, 0x96, 0x3C}};
    for (const Access& start : starts) {
        for (int group = 0; group < 4; ++group) {
            for (uint32_t index = 0; index < 8; ++index) {
                uint32_t wantA = 0, wantB = 0;
                if (group < 3) {
                    ASSERT_EQ(ACL_GetValidDataSecPrivs(index, &wantA, &wantB), 0);
                } else {
                    ASSERT_EQ(ACL_GetValidTrailerPrivs(index, &wantA, &wantB), 0);
                }
                // The trailer's rows 6 and 7 are one pair: it is always written as 6.
                const int expected = group == 3 && index == 7 ? 6 : static_cast<int>(index);

                Access access = start;
                const int generated =
                    group < 3 ? ACL_GenDataConditions(group, access.data(), wantA, wantB)
                              : ACL_GenTrailerConditions(access.data(), wantA, wantB);
                ASSERT_EQ(generated, expected) << group << " " << index;

                uint32_t gotA = 0, gotB = 0;
                const int parsed = group < 3
                                       ? ACL_ParseDataConditions(group, access.data(), &gotA, &gotB)
                                       : ACL_ParseTrailerConditions(access.data(), &gotA, &gotB);
                EXPECT_EQ(parsed, expected) << group << " " << index;
                EXPECT_EQ(gotA, wantA);
                EXPECT_EQ(gotB, wantB);

                const Access mask = GroupMask(group);
                for (int i = 0; i < 4; ++i) {
                    EXPECT_EQ((access[i] ^ start[i]) & ~mask[i], 0) << group << " " << index;
                }
                // The group's inverted copies agree with its bits, whatever the start held.
                EXPECT_TRUE(GroupConsistent(access, group)) << group << " " << index;
            }
        }
    }
}

}  // namespace
