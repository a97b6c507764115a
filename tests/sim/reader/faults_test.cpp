// Fault injection of the virtual reader, seen byte by byte on the in-process link.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "kestrel_sim/helpers/codes.h"
#include "kestrel_sim/helpers/hex.h"
#include "sim/sim_test_util.h"

namespace kestrel::sim {
namespace {

using Clock = std::chrono::steady_clock;
using test::TypeACard;

const Bytes kUid = {0x0A, 0x0B, 0x0C, 0x0D};
const Bytes kRequest = EncodeFrame(0x10, command::kRequest, Bytes{iso14443a::kReqA});
const Bytes kCleanAnswer = EncodeFrame(0x10, status::kOk, Bytes{0x04, 0x00});  // 9 bytes

Bytes CorruptCrc(Bytes frame) {
    frame[frame.size() - 2] ^= 0xFF;
    return frame;
}

Bytes Head(const Bytes& bytes, size_t count) {
    return Bytes(bytes.begin(), bytes.begin() + count);
}

// Reads until nothing more is queued, for at most two seconds. Delays and gaps in these tests
// are long enough that "right after the request" cannot slip into the next piece.
Bytes ReadEverything(InProcessLink& link) {
    Bytes all;
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(2);
    while (link.Pending() > 0 && Clock::now() < limit) {
        uint8_t buffer[64];
        const size_t got = link.Read(buffer, sizeof buffer);
        all.insert(all.end(), buffer, buffer + got);
        if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return all;
}

struct FaultCase {
    const char* name;
    std::function<void(VirtualReader&)> inject;
    Bytes now;    // readable right after the request
    Bytes total;  // everything that comes
    bool linkUp;
};

std::vector<FaultCase> FaultCases() {
    return {
        {"none", [](VirtualReader&) {}, kCleanAnswer, kCleanAnswer, true},
        {"drop", [](VirtualReader& r) { r.DropNextAnswer(); }, {}, {}, true},
        {"corrupt_crc", [](VirtualReader& r) { r.CorruptNextAnswerCrc(); },
         CorruptCrc(kCleanAnswer), CorruptCrc(kCleanAnswer), true},
        // The wrong sequence byte comes with a CRC that fits it.
        {"wrong_sequence", [](VirtualReader& r) { r.WrongSequenceInNextAnswer(); },
         EncodeFrame(0x11, status::kOk, Bytes{0x04, 0x00}),
         EncodeFrame(0x11, status::kOk, Bytes{0x04, 0x00}), true},
        {"delay", [](VirtualReader& r) { r.DelayNextAnswer(300); }, {}, kCleanAnswer, true},
        {"break_after_4", [](VirtualReader& r) { r.BreakLinkInNextAnswer(4); },
         Head(kCleanAnswer, 4), Head(kCleanAnswer, 4), false},
        {"break_default", [](VirtualReader& r) { r.BreakLinkInNextAnswer(); },
         Head(kCleanAnswer, 3), Head(kCleanAnswer, 3), false},
        {"break_never_whole", [](VirtualReader& r) { r.BreakLinkInNextAnswer(1000); },
         Head(kCleanAnswer, 8), Head(kCleanAnswer, 8), false},
        {"split_3", [](VirtualReader& r) { r.SplitNextAnswer(3, 200); }, Head(kCleanAnswer, 3),
         kCleanAnswer, true},
        {"split_and_corrupt",
         [](VirtualReader& r) {
             r.SplitNextAnswer(2, 200);
             r.CorruptNextAnswerCrc();
         },
         Head(kCleanAnswer, 5), CorruptCrc(kCleanAnswer), true},
        {"split_and_break",
         [](VirtualReader& r) {
             r.SplitNextAnswer(2, 200);
             r.BreakLinkInNextAnswer(6);
         },
         Head(kCleanAnswer, 3), Head(kCleanAnswer, 6), false},
        {"cleared",
         [](VirtualReader& r) {
             r.DropNextAnswer();
             r.DelayNextAnswer(500);
             r.ClearFaults();
         },
         kCleanAnswer, kCleanAnswer, true},
    };
}

class FaultTest : public ::testing::TestWithParam<FaultCase> {
  protected:
    FaultTest() : link_(reader_) { EXPECT_TRUE(reader_.AddCard(TypeACard(kUid))); }

    VirtualReader reader_;
    InProcessLink link_;
};

TEST_P(FaultTest, AnswerBytes) {
    const FaultCase& c = GetParam();
    c.inject(reader_);
    ASSERT_EQ(link_.Write(kRequest.data(), kRequest.size()), kRequest.size());
    Bytes now(link_.Available());
    now.resize(link_.Read(now.data(), now.size()));
    EXPECT_EQ(ToHex(now), ToHex(c.now));
    Bytes total = now;
    const Bytes rest = ReadEverything(link_);
    total.insert(total.end(), rest.begin(), rest.end());
    EXPECT_EQ(ToHex(total), ToHex(c.total));
    EXPECT_EQ(link_.Connected(), c.linkUp);
    // The request was executed whatever happened to its answer.
    EXPECT_EQ(reader_.StateOf(kUid), CardState::kReady);
}

TEST_P(FaultTest, AppliesToOneAnswerOnly) {
    GetParam().inject(reader_);
    link_.Write(kRequest.data(), kRequest.size());
    ReadEverything(link_);
    if (!link_.Connected()) {
        EXPECT_EQ(link_.Write(kRequest.data(), kRequest.size()), 0u);
        link_.Reconnect();
    }
    // The card is ready (or idle again after the second request); WUPA answers either way.
    const Bytes wupa = EncodeFrame(0x20, command::kRequest, Bytes{iso14443a::kWupA});
    const Bytes wupa2 = EncodeFrame(0x21, command::kRequest, Bytes{iso14443a::kWupA});
    link_.Write(wupa.data(), wupa.size());
    link_.Write(wupa2.data(), wupa2.size());
    const Bytes answers = ReadEverything(link_);
    const std::vector<Frame> frames = test::DecodeAll(answers);
    ASSERT_EQ(frames.size(), 2u) << ToHex(answers, true);
    EXPECT_EQ(frames[0].sequence, 0x20);
    EXPECT_EQ(frames[1].sequence, 0x21);
    EXPECT_TRUE(frames[0].crcOk && frames[1].crcOk);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::ValuesIn(FaultCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FaultTiming, DeferredFaultsPassOverTheAnswersBeforeThem) {
    VirtualReader reader;
    reader.AddCard(TypeACard(kUid));
    InProcessLink link(reader);
    reader.DropNextAnswer();
    reader.DeferFaults(2);
    for (int i = 0; i < 4; ++i) link.Write(kRequest.data(), kRequest.size());
    EXPECT_EQ(test::DecodeAll(ReadEverything(link)).size(), 3u);
}

TEST(FaultTiming, DelayedAnswerBecomesDueAfterTheDelay) {
    VirtualReader reader;
    InProcessLink link(reader);
    reader.DelayNextAnswer(120);
    const Clock::time_point sent = Clock::now();
    link.Write(kRequest.data(), kRequest.size());
    EXPECT_EQ(link.Available(), 0u);
    EXPECT_EQ(link.Pending(), 9u);  // no card: status and an empty ATQA
    ASSERT_TRUE(link.NextDue());
    EXPECT_GE(*link.NextDue() - sent, std::chrono::milliseconds(120));
    const Bytes answer = ReadEverything(link);
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(120));
    EXPECT_EQ(answer, EncodeFrame(0x10, status::kNoCard, Bytes{0x00, 0x00}));
}

TEST(FaultTiming, SplitPiecesArriveAfterTheirGaps) {
    VirtualReader reader;
    InProcessLink link(reader);
    reader.SplitNextAnswer(3, 200);
    const Clock::time_point sent = Clock::now();
    link.Write(kRequest.data(), kRequest.size());
    EXPECT_EQ(link.Available(), 3u);  // 9 bytes in pieces of 3, 3, 3
    ReadEverything(link);
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(400));
}

TEST(FaultTiming, AnswersKeepTheirOrderBehindADelayedOne) {
    VirtualReader reader;
    InProcessLink link(reader);
    reader.DelayNextAnswer(50);
    const Bytes second = EncodeFrame(0x11, command::kHalt);
    link.Write(kRequest.data(), kRequest.size());
    link.Write(second.data(), second.size());
    EXPECT_EQ(link.Available(), 0u);  // the prompt second answer waits behind the first
    const std::vector<Frame> frames = test::DecodeAll(ReadEverything(link));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].sequence, 0x10);
    EXPECT_EQ(frames[1].sequence, 0x11);
}

TEST(FrameLog, ShowsBothDirectionsNoiseAndFaults) {
    VirtualReader reader;
    ASSERT_TRUE(reader.AddCard(TypeACard(kUid)));
    std::vector<std::string> lines;
    reader.SetFrameLogger([&](const FrameLogEntry& e) { lines.push_back(FormatLogEntry(e)); });
    InProcessLink link(reader);
    const Bytes stream = test::Concat({{0x00, 0x01}, kRequest});
    link.Write(stream.data(), stream.size());
    reader.DropNextAnswer();
    const Bytes halt = EncodeFrame(0x11, command::kHalt);
    link.Write(halt.data(), halt.size());
    const std::vector<std::string> expected = {
        "-> (skipped 2 bytes of noise)",
        "-> A5 10 11 01 00 26 87 E9  Request",
        "<- " + ToHex(kCleanAnswer, true) + "  Request: ok",
        "-> " + ToHex(halt, true) + "  Halt",
        "<- " + ToHex(EncodeFrame(0x11, status::kNoCard), true) + "  Halt: no card (dropped)",
    };
    EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace kestrel::sim
