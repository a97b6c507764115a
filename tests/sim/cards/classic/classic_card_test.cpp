// MIFARE Classic cards in the virtual reader, byte by byte over the in-process link: factory
// memory, key decoding, authentication, access conditions, value blocks, 4K sectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <iterator>

#include "kestrel_sim/cards/classic/classic_card.h"
#include "kestrel_sim/helpers/codes.h"
#include "sim/sim_test_util.h"

namespace kestrel::sim {
namespace {

using classic::Block;
using classic::Key;

const Bytes kUid = {0x0A, 0x0B, 0x0C, 0x0D};
const Key kFF = classic::kTransportKey;
const Key kKeyA = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const Key kKeyB = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
constexpr uint8_t kA = mifare::kAuthKeyA;
constexpr uint8_t kB = mifare::kAuthKeyB;
constexpr uint8_t kOk = status::kOk;
constexpr uint8_t kDenied = status::kAuthNotAllowed;
constexpr uint8_t kNoAuth = status::kAuthExpected;

// Each key byte as two bytes, one per nibble, the nibble's complement above it.
Bytes Coded(const Key& key) {
    Bytes coded;
    for (uint8_t b : key) {
        for (int nibble : {b >> 4, b & 0x0F}) coded.push_back(((~nibble & 0x0F) << 4) | nibble);
    }
    return coded;
}

// Trailer bytes 6-8 for the condition indices of groups 0, 1, 2 and the trailer.
Bytes AccessBytes(std::array<int, 4> c) {
    int c1 = 0, c2 = 0, c3 = 0;
    for (int g = 0; g < 4; ++g) {
        c1 |= ((c[g] >> 2) & 1) << g;
        c2 |= ((c[g] >> 1) & 1) << g;
        c3 |= (c[g] & 1) << g;
    }
    return {static_cast<uint8_t>(((~c2 & 0xF) << 4) | (~c1 & 0xF)),
            static_cast<uint8_t>((c1 << 4) | (~c3 & 0xF)), static_cast<uint8_t>((c3 << 4) | c2)};
}

Block MakeBlock(const Bytes& bytes) {
    Block block{};
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
}

Block Trailer(const Key& a, std::array<int, 4> conditions, const Key& b, uint8_t gpb = 0x69) {
    return MakeBlock(test::Concat(
        {Bytes(a.begin(), a.end()), AccessBytes(conditions), {gpb}, Bytes(b.begin(), b.end())}));
}

class ClassicTest : public ::testing::Test {
  protected:
    ClassicTest() : host_(reader_) { Insert("classic1k"); }

    void Insert(const char* type) {
        reader_.RemoveCard(kUid);
        auto card = MakeCard(*FindCardProfile(type), kUid);
        card_ = dynamic_cast<ClassicCard*>(card.get());
        reader_.AddCard(std::move(card));
        EXPECT_EQ(Activate(), kOk);
    }
    int Activate() { return host_.Status(command::kActivateIdle, {0}); }
    int Auth(uint8_t type, const Key& key, uint8_t block, const Bytes& serial = kUid) {
        return host_.Status(card_command::kAuthenticate,
                            test::Concat({{type}, serial, Coded(key), {block}}));
    }
    test::Reply Read(uint8_t block) {
        return host_.Exchange(card_command::kReadBlock, {block}).value_or(test::Reply{0x55, {}});
    }
    int Write(uint8_t block, const Block& data) {
        return host_.Status(card_command::kWriteBlock,
                            test::Concat({{block}, Bytes(data.begin(), data.end())}));
    }
    int Value(uint8_t op, uint8_t block, int32_t value, uint8_t transfer) {
        const auto v = static_cast<uint32_t>(value);
        return host_.Status(
            card_command::kValueOperation,
            {op, block, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
             static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24), transfer});
    }

    VirtualReader reader_;
    test::Host host_;
    ClassicCard* card_ = nullptr;
};

TEST(ClassicCoding, CodedKeysAndAccessBytes) {
    // 0xA0 travels as 5A F0, 0xFF as 0F 0F.
    const Bytes coded = {0x5A, 0xF0, 0x0F, 0x0F, 0x87, 0x78, 0xE1, 0x1E, 0xC3, 0x3C, 0xB4, 0x4B};
    EXPECT_EQ(classic::DecodeCodedKey(coded.data()), (Key{0xA0, 0xFF, 0x78, 0x1E, 0x3C, 0x4B}));
    EXPECT_EQ(Coded(kKeyA).size(), 12u);
    for (size_t i = 0; i < coded.size(); ++i) {
        Bytes bad = coded;
        bad[i] ^= 0x10;  // the upper half no longer the complement of the lower
        EXPECT_FALSE(classic::DecodeCodedKey(bad.data())) << i;
    }
    const struct {
        Bytes bytes;
        std::array<int, 4> conditions;
    } vectors[] = {{{0xFF, 0x07, 0x80}, {0, 0, 0, 1}}, {{0x7F, 0x07, 0x88}, {0, 0, 0, 3}},
                   {{0x78, 0x77, 0x88}, {4, 4, 4, 3}}, {{0x08, 0x77, 0x8F}, {6, 6, 6, 3}},
                   {{0xFF, 0x0F, 0x00}, {0, 0, 0, 0}}, {{0x00, 0xF0, 0xFF}, {7, 7, 7, 7}},
                   {{0x7F, 0x00, 0xF8}, {1, 1, 1, 3}}};
    for (const auto& v : vectors) {
        EXPECT_EQ(classic::DecodeAccessBits(v.bytes.data()), v.conditions);
        EXPECT_EQ(AccessBytes(v.conditions), v.bytes);
    }
    EXPECT_FALSE(classic::DecodeAccessBits(Bytes{0xFF, 0x07, 0x81}.data()));
    // Value blocks: a bit flipped anywhere breaks the format.
    const Block value = classic::EncodeValueBlock(100, 4);
    EXPECT_EQ(value,
              MakeBlock({0x64, 0, 0, 0, 0x9B, 0xFF, 0xFF, 0xFF, 0x64, 0, 0, 0, 4, 0xFB, 4, 0xFB}));
    EXPECT_EQ(classic::DecodeValueBlock(value.data()), 100);
    for (size_t i = 0; i < value.size(); ++i) {
        Block bad = value;
        bad[i] ^= 0x20;
        EXPECT_FALSE(classic::DecodeValueBlock(bad.data())) << i;
    }
}

TEST_F(ClassicTest, FactoryMemory) {
    for (const char* type : {"classic1k", "classic4k"}) {
        Insert(type);
        const bool is4k = std::string(type) == "classic4k";
        EXPECT_EQ(card_->BlockCount(), is4k ? 256 : 64);
        // UID, BCC, SAK, ATQA low byte first, manufacturer bytes.
        EXPECT_EQ(card_->RawBlock(0), MakeBlock({0x0A, 0x0B, 0x0C, 0x0D, 0x0A ^ 0x0B ^ 0x0C ^ 0x0D,
                                                 static_cast<uint8_t>(is4k ? 0x18 : 0x08),
                                                 static_cast<uint8_t>(is4k ? 0x02 : 0x04), 0x00,
                                                 0x4B, 0x53, 0x49, 0x4D, 0x20, 0x20, 0x01, 0x00}));
        const Block trailer = MakeBlock({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x80, 0x69,
                                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
        for (int block = 1; block < card_->BlockCount(); ++block) {
            const bool isTrailer = classic::AccessGroupOfBlock(block) == 3;
            EXPECT_EQ(card_->RawBlock(block), isTrailer ? trailer : Block{}) << block;
        }
        // Read over the air with key A: key A as zeros, access bytes and key B readable.
        ASSERT_EQ(Auth(kA, kFF, 2), kOk);
        EXPECT_EQ(Read(3).data,
                  test::Concat({Bytes(6, 0), {0xFF, 0x07, 0x80, 0x69}, Bytes(6, 0xFF)}));
        EXPECT_EQ(Read(0).data, Bytes(card_->RawBlock(0).begin(), card_->RawBlock(0).end()));
        EXPECT_EQ(Write(0, Block{}), kDenied);  // the manufacturer block is read-only
    }
}

TEST_F(ClassicTest, Authentication) {
    // Sector 1: keys A and B of their own, key B not readable (trailer condition 3).
    card_->SetRawBlock(7, Trailer(kKeyA, {0, 0, 0, 3}, kKeyB));
    Bytes malformed = Coded(kKeyA);
    malformed[5] ^= 0x80;
    const struct {
        const char* name;
        Bytes params;
        uint8_t status;
        std::optional<int> sector;  // afterwards
    } cases[] = {
        {"key A", test::Concat({{kA}, kUid, Coded(kKeyA), {4}}), kOk, 1},
        {"key B, trailer block", test::Concat({{kB}, kUid, Coded(kKeyB), {7}}), kOk, 1},
        {"key B given as key A", test::Concat({{kA}, kUid, Coded(kKeyB), {4}}), kDenied, {}},
        {"key A given as key B", test::Concat({{kB}, kUid, Coded(kKeyA), {4}}), kDenied, {}},
        {"wrong key", test::Concat({{kA}, kUid, Coded(kFF), {5}}), kDenied, {}},
        {"key type 0x62", test::Concat({{0x62}, kUid, Coded(kKeyA), {4}}), kDenied, {}},
        {"wrong serial",
         test::Concat({{kA}, {0x0A, 0x0B, 0x0C, 0x0E}, Coded(kKeyA), {4}}),
         kDenied,
         {}},
        {"malformed coded key", test::Concat({{kA}, kUid, malformed, {4}}), kDenied, {}},
        {"readable key B", test::Concat({{kB}, kUid, Coded(kFF), {8}}), kDenied, {}},
        {"transport key A", test::Concat({{kA}, kUid, Coded(kFF), {8}}), kOk, 2},
        {"block beyond 1K", test::Concat({{kA}, kUid, Coded(kFF), {64}}), kDenied, {}},
        {"17 bytes", test::Concat({{kA}, kUid, Coded(kFF)}), status::kBadParameter, 0},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Auth(kA, kFF, 0), kOk);
        EXPECT_EQ(host_.Status(card_command::kAuthenticate, c.params), c.status) << c.name;
        EXPECT_EQ(card_->AuthenticatedSector(), c.sector) << c.name;
        EXPECT_EQ(reader_.StateOf(kUid), CardState::kActive) << c.name;
    }
}

TEST_F(ClassicTest, AuthenticationIsLostAndBoundToItsSector) {
    const struct {
        const char* name;
        std::vector<std::pair<uint8_t, Bytes>> steps;
    } cases[] = {
        {"halt",
         {{command::kHalt, {}}, {command::kActivateWakeUp, {0, 4, 0x0A, 0x0B, 0x0C, 0x0D}}}},
        {"RF reset", {{command::kRfReset, {10, 0}}, {command::kActivateIdle, {0}}}},
        {"new select", {{command::kActivateWakeUp, {0, 4, 0x0A, 0x0B, 0x0C, 0x0D}}}},
        {"failed authentication",
         {{card_command::kAuthenticate, test::Concat({{kA}, kUid, Coded(kKeyA), {4}})}}},
    };
    EXPECT_EQ(Read(4).status, kNoAuth);
    for (const auto& c : cases) {
        ASSERT_EQ(Auth(kA, kFF, 5), kOk);
        EXPECT_EQ(Read(4).status, kOk) << c.name;
        for (const auto& [code, params] : c.steps) host_.Status(code, params);
        EXPECT_EQ(reader_.StateOf(kUid), CardState::kActive) << c.name;
        EXPECT_EQ(Read(4).status, kNoAuth) << c.name;
        EXPECT_EQ(Read(4).data, Bytes(16, 0)) << c.name;
    }
    // Blocks of another sector are out of reach.
    ASSERT_EQ(Auth(kA, kFF, 5), kOk);
    EXPECT_EQ(Read(8).status, kNoAuth);
    EXPECT_EQ(Write(3, Block{}), kNoAuth);
    EXPECT_EQ(Value(mifare::kDecrement, 4, 1, 8), kNoAuth);
}

// Rights of a data block by condition index: key A and key B masks of read 1, write 2,
// increment 4, decrement/transfer/restore 8.
constexpr int kDataMasks[8][2] = {{0x0F, 0x0F}, {0x09, 0x09}, {0x01, 0x01}, {0x00, 0x03},
                                  {0x01, 0x03}, {0x00, 0x01}, {0x09, 0x0F}, {0x00, 0x00}};

class DataConditionTest : public ClassicTest, public ::testing::WithParamInterface<int> {};

TEST_P(DataConditionTest, EveryOperationWithEitherKey) {
    const int condition = GetParam();
    const Block start = classic::EncodeValueBlock(100, 4);
    const Block written = classic::EncodeValueBlock(7, 4);
    for (int k = 0; k < 2; ++k) {
        const int mask = kDataMasks[condition][k];
        // Block 4 has the condition; key B is not readable in trailer condition 3.
        card_->SetRawBlock(7, Trailer(kKeyA, {condition, 0, 0, 3}, kKeyB));
        ASSERT_EQ(Auth(k == 0 ? kA : kB, k == 0 ? kKeyA : kKeyB, 4), kOk);
        const struct {
            int right;
            std::function<int()> run;
            Block after;
        } ops[] = {
            {0x01, [&] { return Read(4).status; }, start},
            {0x02, [&] { return Write(4, written); }, written},
            {0x04, [&] { return Value(mifare::kIncrement, 4, 5, 4); },
             classic::EncodeValueBlock(105, 4)},
            {0x08, [&] { return Value(mifare::kDecrement, 4, 5, 4); },
             classic::EncodeValueBlock(95, 4)},
            {0x08, [&] { return Value(mifare::kRestore, 4, 0, 4); }, start},
        };
        for (size_t i = 0; i < std::size(ops); ++i) {
            card_->SetRawBlock(4, start);
            const bool allowed = (mask & ops[i].right) != 0;
            EXPECT_EQ(ops[i].run(), allowed ? kOk : kDenied) << "key " << k << " op " << i;
            EXPECT_EQ(card_->RawBlock(4), allowed ? ops[i].after : start)
                << "key " << k << " op " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Conditions, DataConditionTest, ::testing::Range(0, 8));

// Trailer rights by condition index, key A and key B: write key A 0x02, read access bits 0x04,
// write access bits 0x08, read key B 0x10, write key B 0x20.
constexpr int kTrailerMasks[8][2] = {{0x36, 0x00}, {0x3E, 0x00}, {0x14, 0x00}, {0x04, 0x2E},
                                     {0x04, 0x26}, {0x04, 0x0C}, {0x04, 0x04}, {0x04, 0x04}};

class TrailerConditionTest : public ClassicTest, public ::testing::WithParamInterface<int> {};

TEST_P(TrailerConditionTest, EveryFieldWithEitherKey) {
    const int condition = GetParam();
    const Block start = Trailer(kKeyA, {0, 0, 0, condition}, kKeyB);
    const Block update = Trailer(kFF, {0, 0, 0, condition}, kFF, 0x42);
    const bool keyBReadable = (kTrailerMasks[condition][0] & 0x10) != 0;
    for (int k = 0; k < 2; ++k) {
        const int mask = kTrailerMasks[condition][k];
        card_->SetRawBlock(7, start);
        const int auth = Auth(k == 0 ? kA : kB, k == 0 ? kKeyA : kKeyB, 7);
        if (k == 1 && keyBReadable) {
            EXPECT_EQ(auth, kDenied);  // key B is data here, not a key
            continue;
        }
        ASSERT_EQ(auth, kOk);
        Bytes expected(16, 0);  // key A always reads as zeros
        if (mask & 0x04) std::copy(start.begin() + 6, start.begin() + 10, expected.begin() + 6);
        if (mask & 0x10) std::copy(start.begin() + 10, start.end(), expected.begin() + 10);
        EXPECT_EQ(Read(7).data, expected) << "key " << k;

        Block after = start;
        if (mask & 0x02) std::copy(update.begin(), update.begin() + 6, after.begin());
        if (mask & 0x08) after[9] = update[9];
        if (mask & 0x20) std::copy(update.begin() + 10, update.end(), after.begin() + 10);
        EXPECT_EQ(Write(7, update), (mask & 0x2A) ? kOk : kDenied) << "key " << k;
        EXPECT_EQ(card_->RawBlock(7), after) << "key " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Conditions, TrailerConditionTest, ::testing::Range(0, 8));

TEST_F(ClassicTest, ValueOperations) {
    const Block hundred = classic::EncodeValueBlock(100, 4);
    auto corrupt = [&](size_t byte) {
        Block b = hundred;
        b[byte] ^= 0x01;
        return b;
    };
    const struct {
        const char* name;
        Block source;
        uint8_t op;
        int32_t operand;
        uint8_t transfer;
        uint8_t status;
        Block target;  // the transfer block afterwards
    } cases[] = {
        {"increment", hundred, mifare::kIncrement, 5, 4, kOk, classic::EncodeValueBlock(105, 4)},
        {"decrement to block 5", hundred, mifare::kDecrement, 5, 5, kOk,
         classic::EncodeValueBlock(95, 4)},
        {"restore to block 6", hundred, mifare::kRestore, 9, 6, kOk, hundred},
        {"overflow", classic::EncodeValueBlock(INT_MAX, 4), mifare::kIncrement, 1, 5,
         status::kValueRefused, Block{}},
        {"underflow", classic::EncodeValueBlock(INT_MIN, 4), mifare::kDecrement, 1, 5,
         status::kValueRefused, Block{}},
        {"inverted value", corrupt(5), mifare::kIncrement, 1, 5, status::kValueRefused, Block{}},
        {"unknown operation", hundred, 0xC3, 1, 5, status::kBadParameter, Block{}},
        {"transfer to the trailer", hundred, mifare::kIncrement, 1, 7, kDenied, card_->RawBlock(7)},
    };
    for (const auto& c : cases) {
        card_->SetRawBlock(4, c.source);
        for (uint8_t b : {5, 6}) card_->SetRawBlock(b, Block{});
        ASSERT_EQ(Auth(kA, kFF, 4), kOk);
        EXPECT_EQ(Value(c.op, 4, c.operand, c.transfer), c.status) << c.name;
        EXPECT_EQ(card_->RawBlock(c.transfer), c.target) << c.name;
        if (c.transfer != 4) {
            EXPECT_EQ(card_->RawBlock(4), c.source) << c.name;
        }
    }
}

TEST_F(ClassicTest, SixteenBlockSectorsHaveGroupsOfFive) {
    Insert("classic4k");
    card_->SetRawBlock(143, Trailer(kFF, {0, 2, 7, 1}, kFF));  // write, read only, no access
    ASSERT_EQ(Auth(kA, kFF, 140), kOk);
    EXPECT_EQ(card_->AuthenticatedSector(), 32);
    for (uint8_t block = 128; block < 143; ++block) {
        const int group = (block - 128) / 5;
        EXPECT_EQ(Write(block, MakeBlock({block})), group == 0 ? kOk : kDenied) << int(block);
        EXPECT_EQ(Read(block).status, group < 2 ? kOk : kDenied) << int(block);
    }
    EXPECT_EQ(Read(143).data,
              test::Concat({Bytes(6, 0), AccessBytes({0, 2, 7, 1}), {0x69}, Bytes(6, 0xFF)}));
    EXPECT_EQ(Read(127).status, kNoAuth);
    EXPECT_EQ(Read(144).status, kNoAuth);
    ASSERT_EQ(Auth(kA, kFF, 255), kOk);
    EXPECT_EQ(card_->AuthenticatedSector(), 39);
}

TEST_F(ClassicTest, InconsistentAccessBitsBlockTheSector) {
    ASSERT_EQ(Auth(kA, kFF, 4), kOk);
    Block trailer = card_->RawBlock(7);
    trailer[8] ^= 0x01;  // C2 of group 0 no longer the complement of its copy
    ASSERT_EQ(Write(7, trailer), kOk);
    EXPECT_EQ(card_->RawBlock(7), trailer);
    EXPECT_EQ(Read(4).status, kDenied);
    EXPECT_EQ(Write(5, Block{}), kDenied);
    EXPECT_EQ(Read(7).status, kDenied);
}

}  // namespace
}  // namespace kestrel::sim
