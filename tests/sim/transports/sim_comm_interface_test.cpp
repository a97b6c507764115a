// The test-support CommInterface on the in-process link: serial-line read semantics.
#include "support/sim_comm_interface.h"

#include <gtest/gtest.h>

#include <chrono>

#include "kestrel_sim/helpers/codes.h"
#include "sim/sim_test_util.h"

namespace kestrel::testsupport {
namespace {

using Clock = std::chrono::steady_clock;
using sim::Bytes;
using sim::EncodeFrame;

const Bytes kUid = {0x0A, 0x0B, 0x0C, 0x0D};
const Bytes kRequest = EncodeFrame(0x01, sim::command::kRequest, Bytes{sim::iso14443a::kReqA});
const Bytes kAnswer = EncodeFrame(0x01, sim::status::kOk, Bytes{0x04, 0x00});

class SimCommInterfaceTest : public ::testing::Test {
  protected:
    SimCommInterfaceTest() : link_(reader_), comm_(link_) {
        EXPECT_TRUE(reader_.AddCard(sim::test::TypeACard(kUid)));
    }
    Result Send(const Bytes& bytes) {
        uint32_t written = 0;
        const Result result =
            comm_.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written, 100);
        if (result == KESTREL_OK) {
            EXPECT_EQ(written, bytes.size());
        }
        return result;
    }
    // Reads with guard bytes behind the requested length.
    Bytes Receive(uint32_t length, uint32_t timeOutMs, Result* result) {
        Bytes buffer(length + 8, 0xCC);
        uint32_t got = 0xFFFF;
        *result = comm_.Read(buffer.data(), length, &got, timeOutMs);
        for (size_t i = length; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xCC) << i;
        EXPECT_LE(got, length);
        buffer.resize(std::min<uint32_t>(got, length));
        return buffer;
    }

    sim::VirtualReader reader_;
    sim::InProcessLink link_;
    SimCommInterface comm_;
};

TEST_F(SimCommInterfaceTest, FailsUntilOpened) {
    uint32_t count = 7;
    uint8_t byte = 0;
    EXPECT_EQ(comm_.Write(kRequest.data(), 7, &count, 10), KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(comm_.Read(&byte, 1, &count, 10), KESTREL_ERR_RS232_READ);
    EXPECT_EQ(comm_.Open(), KESTREL_OK);
    EXPECT_EQ(comm_.Close(), KESTREL_OK);
    EXPECT_EQ(comm_.Write(kRequest.data(), 7, &count, 10), KESTREL_ERR_RS232_WRITE);
}

TEST_F(SimCommInterfaceTest, HeaderThenRestAsTheLinkLayerReadsThem) {
    ASSERT_EQ(comm_.Open(), KESTREL_OK);
    ASSERT_EQ(Send(kRequest), KESTREL_OK);
    Result result = -1;
    const Bytes header = Receive(5, 100, &result);
    EXPECT_EQ(result, KESTREL_OK);
    const Bytes rest = Receive(4, 100, &result);
    EXPECT_EQ(result, KESTREL_OK);
    EXPECT_EQ(sim::test::Concat({header, rest}), kAnswer);
}

TEST_F(SimCommInterfaceTest, ShortReadIsSuccessWithTheCount) {
    ASSERT_EQ(comm_.Open(), KESTREL_OK);
    ASSERT_EQ(Send(kRequest), KESTREL_OK);
    Result result = -1;
    const Clock::time_point start = Clock::now();
    const Bytes got = Receive(64, 3000, &result);
    EXPECT_EQ(result, KESTREL_OK);
    EXPECT_EQ(got, kAnswer);
    // Nothing else was on its way, so the read did not sit out its time-out.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_TRUE(Receive(5, 10, &result).empty());
    EXPECT_EQ(result, KESTREL_OK);
}

TEST_F(SimCommInterfaceTest, WaitsForADelayedAnswerWithinTheTimeOut) {
    ASSERT_EQ(comm_.Open(), KESTREL_OK);
    reader_.DelayNextAnswer(80);
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(Send(kRequest), KESTREL_OK);
    Result result = -1;
    EXPECT_EQ(Receive(9, 1000, &result), kAnswer);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(80));
}

TEST_F(SimCommInterfaceTest, AnswerLaterThanTheTimeOutIsNotThere) {
    ASSERT_EQ(comm_.Open(), KESTREL_OK);
    reader_.DelayNextAnswer(1500);
    ASSERT_EQ(Send(kRequest), KESTREL_OK);
    Result result = -1;
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(Receive(5, 50, &result).empty());
    const auto waited = Clock::now() - start;
    EXPECT_EQ(result, KESTREL_OK);
    EXPECT_GE(waited, std::chrono::milliseconds(50));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));
}

TEST_F(SimCommInterfaceTest, CollectsPiecesOfASplitAnswer) {
    ASSERT_EQ(comm_.Open(), KESTREL_OK);
    reader_.SplitNextAnswer(4, 15);
    ASSERT_EQ(Send(kRequest), KESTREL_OK);
    Result result = -1;
    EXPECT_EQ(Receive(9, 1000, &result), kAnswer);
}

TEST_F(SimCommInterfaceTest, LinkBreakThenReopen) {
    ASSERT_EQ(comm_.Open(), KESTREL_OK);
    reader_.BreakLinkInNextAnswer(4);
    ASSERT_EQ(Send(kRequest), KESTREL_OK);
    Result result = -1;
    EXPECT_EQ(Receive(9, 100, &result), Bytes(kAnswer.begin(), kAnswer.begin() + 4));
    EXPECT_EQ(result, KESTREL_OK);
    EXPECT_EQ(Send(kRequest), KESTREL_ERR_RS232_WRITE);
    ASSERT_EQ(comm_.Reopen(), KESTREL_OK);
    const Bytes halt = EncodeFrame(0x02, sim::command::kHalt);
    ASSERT_EQ(Send(halt), KESTREL_OK);
    EXPECT_EQ(Receive(7, 100, &result), EncodeFrame(0x02, sim::status::kNoCard));
}

TEST_F(SimCommInterfaceTest, PurgeDropsArrivedBytes) {
    ASSERT_EQ(comm_.Open(), KESTREL_OK);
    ASSERT_EQ(Send(kRequest), KESTREL_OK);
    EXPECT_EQ(comm_.Purge(), KESTREL_OK);
    Result result = -1;
    EXPECT_TRUE(Receive(9, 10, &result).empty());
}

}  // namespace
}  // namespace kestrel::testsupport
