// Frame codec of the virtual reader: CRC, encoding, and the decoder's resynchronisation.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "kestrel_sim/helpers/crc.h"
#include "kestrel_sim/reader/frame.h"
#include "sim/sim_test_util.h"

namespace kestrel::sim {
namespace {

using test::Concat;

struct CrcCase {
    const char* name;
    Bytes input;
    uint16_t crc;
};

class CrcTest : public ::testing::TestWithParam<CrcCase> {};

TEST_P(CrcTest, MatchesKnownValue) {
    const CrcCase& c = GetParam();
    EXPECT_EQ(Crc16Mcrf4xx(c.input.data(), c.input.size()), c.crc);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, CrcTest,
    ::testing::Values(CrcCase{"check", {'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0x6F91},
                      CrcCase{"empty", {}, 0xFFFF},
                      CrcCase{"halt_header", {0xA5, 0x00, 0x1D, 0x00, 0x00}, 0x86F2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Crc, ContinuesOverPieces) {
    const Bytes all = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    const uint16_t first = Crc16Mcrf4xx(all.data(), 4);
    EXPECT_EQ(Crc16Mcrf4xx(all.data() + 4, 5, first), 0x6F91);
}

struct EncodeCase {
    const char* name;
    uint8_t sequence;
    uint8_t code;
    Bytes data;
    Bytes frame;
};

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, ProducesExactBytes) {
    const EncodeCase& c = GetParam();
    EXPECT_EQ(EncodeFrame(c.sequence, c.code, c.data), c.frame);
}

// Frames worked out by hand with the CRC sent low byte first.
INSTANTIATE_TEST_SUITE_P(
    Frames, EncodeTest,
    ::testing::Values(
        EncodeCase{"halt", 0x00, 0x1D, {}, {0xA5, 0x00, 0x1D, 0x00, 0x00, 0xF2, 0x86}},
        EncodeCase{"rf_reset_25",
                   0x00,
                   0x20,
                   {0x19, 0x00},
                   {0xA5, 0x00, 0x20, 0x02, 0x00, 0x19, 0x00, 0xDC, 0x7D}},
        EncodeCase{
            "reqa_seq7", 0x07, 0x11, {0x26}, {0xA5, 0x07, 0x11, 0x01, 0x00, 0x26, 0x1B, 0x6D}},
        EncodeCase{"atqa_answer",
                   0x00,
                   0x00,
                   {0x04, 0x00},
                   {0xA5, 0x00, 0x00, 0x02, 0x00, 0x04, 0x00, 0xA4, 0x38}},
        EncodeCase{"bad_frame_answer", 0xFF, 0xEB, {}, {0xA5, 0xFF, 0xEB, 0x00, 0x00, 0xCD, 0x19}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Encode, LengthIsLittleEndian) {
    const Bytes data(300, 0x5A);
    const Bytes frame = EncodeFrame(1, 2, data);
    ASSERT_EQ(frame.size(), 307u);
    EXPECT_EQ(frame[3], 0x2C);
    EXPECT_EQ(frame[4], 0x01);
}

// What the decoder must find in a stream.
struct Expected {
    uint8_t sequence;
    uint8_t code;
    bool crcOk;
};

struct DecodeCase {
    const char* name;
    Bytes stream;
    std::vector<Expected> frames;  // before the line goes quiet
    std::vector<Expected> afterQuiet;
    size_t discarded;  // noise bytes, counted after the quiet
    // The outcome depends on the bytes arriving together: fed one by one, the decoder has to
    // judge the false start before the real frame is complete.
    bool arrivesWhole = false;
};

Bytes WithBadCrc(Bytes frame) {
    frame.back() ^= 0x01;
    return frame;
}

const Bytes kReqA = EncodeFrame(0x07, 0x11, Bytes{0x26});
const Bytes kHalt = EncodeFrame(0x08, 0x1D);

std::vector<DecodeCase> DecodeCases() {
    return {
        {"clean", kReqA, {{0x07, 0x11, true}}, {}, 0},
        {"noise_before", Concat({{0x00, 0x11, 0xFF}, kReqA}), {{0x07, 0x11, true}}, {}, 3},
        {"two_frames", Concat({kReqA, kHalt}), {{0x07, 0x11, true}, {0x08, 0x1D, true}}, {}, 0},
        // A start byte whose length field is beyond the limit is no frame.
        {"oversized_length",
         Concat({{0xA5, 0x00, 0x11, 0xFF, 0xFF}, kReqA}),
         {{0x07, 0x11, true}},
         {},
         5},
        {"bad_crc", WithBadCrc(kReqA), {{0x07, 0x11, false}}, {}, 0},
        {"bad_crc_then_good",
         Concat({WithBadCrc(kReqA), kHalt}),
         {{0x07, 0x11, false}, {0x08, 0x1D, true}},
         {},
         0},
        // A false start of a zero-length frame swallows the real frame's first bytes; the real
        // frame is complete in the buffer and wins.
        {"false_start_over_frame",
         Concat({{0xA5, 0x00, 0x00, 0x00, 0x00}, kReqA}),
         {{0x07, 0x11, true}},
         {},
         5,
         true},
        // A false start whose length reaches past the real frame: nothing until the line goes
        // quiet, then the real frame.
        {"false_start_waits_for_quiet", Concat({{0xA5}, kReqA}), {}, {{0x07, 0x11, true}}, 1},
        {"partial_frame_dropped_when_quiet", Bytes(kReqA.begin(), kReqA.begin() + 4), {}, {}, 4},
    };
}

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

void ExpectFrames(const std::vector<Frame>& got, const std::vector<Expected>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].sequence, want[i].sequence) << "frame " << i;
        EXPECT_EQ(got[i].code, want[i].code) << "frame " << i;
        EXPECT_EQ(got[i].crcOk, want[i].crcOk) << "frame " << i;
        EXPECT_EQ(got[i].raw.size(), got[i].data.size() + kFrameOverhead) << "frame " << i;
    }
}

TEST_P(DecodeTest, AllAtOnce) {
    const DecodeCase& c = GetParam();
    FrameDecoder decoder;
    std::vector<Frame> frames;
    auto sink = [&](const Frame& f) { frames.push_back(f); };
    decoder.Feed(c.stream.data(), c.stream.size(), sink);
    ExpectFrames(frames, c.frames);
    frames.clear();
    decoder.LineQuiet(sink);
    ExpectFrames(frames, c.afterQuiet);
    EXPECT_EQ(decoder.DiscardedBytes(), c.discarded);
    EXPECT_FALSE(decoder.HasPartialFrame());
}

TEST_P(DecodeTest, ByteByByte) {
    const DecodeCase& c = GetParam();
    if (c.arrivesWhole) GTEST_SKIP() << "needs the stream in one piece";
    FrameDecoder decoder;
    std::vector<Frame> frames;
    auto sink = [&](const Frame& f) { frames.push_back(f); };
    for (uint8_t byte : c.stream) decoder.Feed(&byte, 1, sink);
    decoder.LineQuiet(sink);
    std::vector<Expected> all = c.frames;
    all.insert(all.end(), c.afterQuiet.begin(), c.afterQuiet.end());
    ExpectFrames(frames, all);
}

INSTANTIATE_TEST_SUITE_P(Streams, DecodeTest, ::testing::ValuesIn(DecodeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Decode, DataAndRawBytes) {
    FrameDecoder decoder;
    std::vector<Frame> frames;
    const Bytes frame = EncodeFrame(3, 0x44, Bytes{0x00, 0x04, 1, 2, 3, 4});
    decoder.Feed(frame.data(), frame.size(), [&](const Frame& f) { frames.push_back(f); });
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, (Bytes{0x00, 0x04, 1, 2, 3, 4}));
    EXPECT_EQ(frames[0].raw, frame);
}

TEST(Decode, LengthLimitIsInclusive) {
    FrameDecoder decoder(16);
    std::vector<Frame> frames;
    auto sink = [&](const Frame& f) { frames.push_back(f); };
    const Bytes fits = EncodeFrame(1, 0x03, Bytes(16, 0xAA));
    const Bytes tooLong = EncodeFrame(2, 0x03, Bytes(17, 0xAA));
    decoder.Feed(fits.data(), fits.size(), sink);
    decoder.Feed(tooLong.data(), tooLong.size(), sink);
    decoder.LineQuiet(sink);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].sequence, 1);
}

TEST(Decode, BufferStaysBoundedUnderNoise) {
    FrameDecoder decoder(64);
    std::mt19937 random(1234);
    std::uniform_int_distribution<int> byteValue(0, 255);
    Bytes noise(200000);
    // Plenty of start bytes followed by small lengths, so that false starts wait for data.
    for (size_t i = 0; i < noise.size(); ++i) {
        noise[i] = (i % 7 == 0) ? kStartByte : static_cast<uint8_t>(byteValue(random) & 0x3F);
    }
    size_t frames = 0;
    auto sink = [&](const Frame&) { ++frames; };
    for (size_t offset = 0; offset < noise.size(); offset += 997) {
        const size_t piece = std::min<size_t>(997, noise.size() - offset);
        decoder.Feed(noise.data() + offset, piece, sink);
        ASSERT_LE(decoder.BufferedBytes(), decoder.Capacity());
    }
    decoder.LineQuiet(sink);
    EXPECT_FALSE(decoder.HasPartialFrame());
    // The decoder still finds a real frame afterwards.
    std::vector<Frame> found;
    decoder.Feed(kReqA.data(), kReqA.size(), [&](const Frame& f) { found.push_back(f); });
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found[0].crcOk);
}

TEST(Decode, MaximumLengthFieldIsNoise) {
    FrameDecoder decoder;
    std::vector<Frame> frames;
    const Bytes header = {0xA5, 0x00, 0x11, 0xFF, 0xFF};
    decoder.Feed(header.data(), header.size(), [&](const Frame& f) { frames.push_back(f); });
    EXPECT_TRUE(frames.empty());
    EXPECT_LT(decoder.BufferedBytes(), header.size());
}

}  // namespace
}  // namespace kestrel::sim
