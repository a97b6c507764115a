// CRC_A and CRC_B of ISO/IEC 14443-3 in the virtual reader: the examples of ISO/IEC 14443-3
// and further public vectors, bytes low first as they travel.
#include <gtest/gtest.h>

#include <string>

#include "kestrel_sim/helpers/bytes.h"
#include "kestrel_sim/helpers/crc.h"

namespace kestrel::sim {
namespace {

struct IsoCrcCase {
    const char* name;
    Bytes input;
    char type;  // 'A' or 'B'
    uint8_t low, high;
};
class IsoCrcTest : public ::testing::TestWithParam<IsoCrcCase> {};

TEST_P(IsoCrcTest, KnownAnswers) {
    const IsoCrcCase& c = GetParam();
    const uint16_t crc = c.type == 'A' ? Crc16A(c.input.data(), c.input.size())
                                       : Crc16B(c.input.data(), c.input.size());
    EXPECT_EQ(crc & 0xFF, c.low);
    EXPECT_EQ(crc >> 8, c.high);
}

const Bytes kDigits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

INSTANTIATE_TEST_SUITE_P(
    Vectors, IsoCrcTest,
    ::testing::Values(
        IsoCrcCase{"iso_example_a_0000", {0x00, 0x00}, 'A', 0xA0, 0x1E},
        IsoCrcCase{"iso_example_a_1234", {0x12, 0x34}, 'A', 0x26, 0xCF},
        IsoCrcCase{"iso_example_b", {0x0A, 0x12, 0x34, 0x56}, 'B', 0x2C, 0xF6},
        IsoCrcCase{"a_seven_bytes", {0x04, 0x44, 0x0F, 0x32, 0x76, 0x31, 0x80}, 'A', 0x27, 0x98},
        IsoCrcCase{"a_abda", {0xAB, 0xDA}, 'A', 0x20, 0x2C},
        IsoCrcCase{"a_digits", kDigits, 'A', 0x05, 0xBF},
        IsoCrcCase{"b_digits", kDigits, 'B', 0x6E, 0x90},
        IsoCrcCase{"a_empty", {}, 'A', 0x63, 0x63},
        IsoCrcCase{"a_hlta", {0x50, 0x00}, 'A', 0x57, 0xCD},
        IsoCrcCase{"b_reqb", {0x05, 0x00, 0x00}, 'B', 0x71, 0xFF}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel::sim
