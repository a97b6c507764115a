#include "link/block_framing_protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "link/crc16.h"
#include "support/scripted_comm.h"

namespace kestrel::link {
namespace {

using test::Bytes;
using test::Frame;

TEST(Crc16Mcrf4xx, CheckValues) {
    const char* digits = "123456789";
    EXPECT_EQ(Crc16Mcrf4xx(reinterpret_cast<const uint8_t*>(digits), 9), 0x6F91);
    EXPECT_EQ(Crc16Mcrf4xx(nullptr, 0), 0xFFFF);
    // The table-driven CRC agrees with the bit-by-bit definition on every single byte.
    for (int value = 0; value < 256; ++value) {
        const uint8_t byte = static_cast<uint8_t>(value);
        EXPECT_EQ(Crc16Mcrf4xx(&byte, 1), test::FrameCrc(&byte, 1)) << value;
    }
}

class BlockFramingTest : public ::testing::Test {
  protected:
    Result Run(uint8_t code, const Bytes& params = {}, uint32_t timeOut = 2000) {
        command.Clear();
        command.SetCode(code);
        command.PutBytes(params.data(), static_cast<uint32_t>(params.size()));
        return link.Exchange(command, timeOut);
    }
    Bytes Response() const {
        return Bytes(command.ResponseData(), command.ResponseData() + command.ResponseSize());
    }

    test::ScriptedComm comm;
    BlockFramingProtocol link{comm};
    ReaderCommand command;
};

TEST_F(BlockFramingTest, RequestWithoutDataIsSevenBytes) {
    comm.Expect(Frame(0, 0x1D), Frame(0, 0x00));
    EXPECT_EQ(Run(0x1D), KESTREL_OK);
    ASSERT_EQ(comm.requests.size(), 1u);
    const Bytes& sent = comm.requests[0];
    ASSERT_EQ(sent.size(), 7u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 5), (Bytes{0xA5, 0x00, 0x1D, 0x00, 0x00}));
    const uint16_t crc = Crc16Mcrf4xx(sent.data(), 5);
    EXPECT_EQ(sent[5], crc & 0xFF);
    EXPECT_EQ(sent[6], crc >> 8);
    EXPECT_TRUE(comm.Done());
}

TEST_F(BlockFramingTest, RequestAndAnswerDataTravelWhole) {
    comm.Expect(Frame(0, 0x20, {0x19, 0x00}), Frame(0, 0x00, {0x01, 0x02, 0x03}));
    EXPECT_EQ(Run(0x20, {0x19, 0x00}), KESTREL_OK);
    EXPECT_EQ(Response(), (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(command.StatusByte(), 0x00);
    EXPECT_TRUE(comm.Done());
}

TEST_F(BlockFramingTest, LongRequestAndAnswerCrossBufferSteps) {
    Bytes params(2000);
    Bytes answer(3000);
    for (size_t i = 0; i < params.size(); ++i) params[i] = static_cast<uint8_t>(i * 7);
    for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(i * 3);
    comm.Expect(Frame(0, 0x03, params), Frame(0, 0x00, answer));
    EXPECT_EQ(Run(0x03, params), KESTREL_OK);
    EXPECT_EQ(Response(), answer);
    EXPECT_TRUE(comm.Done());
}

TEST_F(BlockFramingTest, EmptyAnswerWithSuccess) {
    comm.Answer(Frame(0, 0x00));
    EXPECT_EQ(Run(0x1D), KESTREL_OK);
    EXPECT_EQ(command.ResponseSize(), 0u);
    EXPECT_EQ(command.StatusByte(), 0x00);
}

// The reader's status byte reaches the command as it came; the exchange itself succeeds.
TEST_F(BlockFramingTest, StatusByteLandsInTheCommand) {
    comm.Answer(Frame(0, 0xFF));
    EXPECT_EQ(Run(0x11, {0x26}), KESTREL_OK);
    EXPECT_EQ(command.StatusByte(), 0xFF);
}

// Broken answers: the exchange fails and the command keeps the request it carried.
TEST_F(BlockFramingTest, BrokenAnswersLeaveTheCommandAlone) {
    Bytes badCrc = Frame(0, 0x00, {0x04, 0x00});
    badCrc.back() ^= 0x01;
    const Bytes good = Frame(0, 0x00, {0x04, 0x00});
    const struct {
        const char* name;
        Bytes answer;
        Result expected;
    } cases[] = {
        {"bad CRC", badCrc, KESTREL_ERR_FRAME_CRC},
        {"other sequence", Frame(1, 0x00, {0x04, 0x00}), KESTREL_ERR_FRAME_CRC},
        {"silent reader", {}, KESTREL_ERR_RS232_READ},
        {"short header", Bytes(good.begin(), good.begin() + 3), KESTREL_ERR_RS232_READ},
        {"short body", Bytes(good.begin(), good.end() - 1), KESTREL_ERR_RS232_READ},
        {"header only", Bytes(good.begin(), good.begin() + 5), KESTREL_ERR_RS232_READ},
    };
    for (const auto& c : cases) {
        test::ScriptedComm script;
        BlockFramingProtocol fresh(script);
        script.Answer(c.answer);
        ReaderCommand cmd;
        cmd.SetCode(0x11);
        cmd.PutByte(0x26);
        cmd.SetStatusByte(0x12);
        EXPECT_EQ(fresh.Exchange(cmd, 100), c.expected) << c.name;
        EXPECT_EQ(cmd.RequestSize(), 1u) << c.name;
        EXPECT_EQ(cmd.RequestData()[0], 0x26) << c.name;
        EXPECT_EQ(cmd.ResponseSize(), 0u) << c.name;
        EXPECT_EQ(cmd.StatusByte(), 0x12) << c.name;
        EXPECT_EQ(fresh.NextSequence(), 1) << c.name;
    }
}

TEST_F(BlockFramingTest, WrongSequenceThenNextRequestUsesNextNumber) {
    comm.Answer(Frame(5, 0x00));
    EXPECT_EQ(Run(0x1D), KESTREL_ERR_FRAME_CRC);
    comm.Expect(Frame(1, 0x1D), Frame(1, 0x00));
    EXPECT_EQ(Run(0x1D), KESTREL_OK);
    EXPECT_TRUE(comm.Done());
}

// After an answer went missing or was refused, whatever is still pending belongs to an earlier
// request: it is discarded before the next request, and only then.
TEST_F(BlockFramingTest, PendingInputIsDiscardedOnlyAfterAFailure) {
    comm.Answer(Frame(0, 0x00));
    EXPECT_EQ(Run(0x1D), KESTREL_OK);
    comm.Answer(Frame(1, 0x00));
    EXPECT_EQ(Run(0x1D), KESTREL_OK);
    EXPECT_EQ(comm.purges, 0);

    // The answer to request 2 is late: request 2 times out, its answer arrives afterwards.
    comm.Answer({});
    EXPECT_EQ(Run(0x1D), KESTREL_ERR_RS232_READ);
    const Bytes late = Frame(2, 0x00);
    comm.incoming.insert(comm.incoming.end(), late.begin(), late.end());
    comm.Expect(Frame(3, 0x1D), Frame(3, 0x00));
    EXPECT_EQ(Run(0x1D), KESTREL_OK);
    EXPECT_EQ(comm.purges, 1);

    // A refused frame (wrong sequence) also leads to one purge before the next request.
    comm.Answer(Frame(9, 0x00));
    EXPECT_EQ(Run(0x1D), KESTREL_ERR_FRAME_CRC);
    comm.Answer(Frame(5, 0x00));
    EXPECT_EQ(Run(0x1D), KESTREL_OK);
    EXPECT_EQ(comm.purges, 2);
    EXPECT_TRUE(comm.Done());
}

TEST_F(BlockFramingTest, FailedWriteReturnsItsCodeAndAdvancesTheSequence) {
    comm.FailWrite(KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(Run(0x1D), KESTREL_ERR_RS232_WRITE);
    EXPECT_TRUE(comm.readTimeOuts.empty());
    comm.Expect(Frame(1, 0x1D), Frame(1, 0x00));
    EXPECT_EQ(Run(0x1D), KESTREL_OK);
    EXPECT_TRUE(comm.Done());
}

TEST_F(BlockFramingTest, SequenceWrapsAt256) {
    for (int i = 0; i < 257; ++i) {
        const uint8_t sequence = static_cast<uint8_t>(i);
        comm.Expect(Frame(sequence, 0x1D), Frame(sequence, 0x00));
        ASSERT_EQ(Run(0x1D), KESTREL_OK) << i;
    }
    EXPECT_EQ(comm.requests[256][1], 0x00);
    EXPECT_TRUE(comm.Done());
}

TEST_F(BlockFramingTest, TheExchangeTimeOutBoundsTheWriteAndEachRead) {
    comm.Answer(Frame(0, 0x00));
    EXPECT_EQ(link.Exchange(command, 750), KESTREL_OK);
    EXPECT_EQ(comm.writeTimeOuts, (std::vector<uint32_t>{750}));
    EXPECT_EQ(comm.readTimeOuts, (std::vector<uint32_t>{750, 750}));
}

TEST_F(BlockFramingTest, RequestTooLongToFrameIsRefusedWithoutTraffic) {
    Bytes params(BlockFramingProtocol::kMaxRequestData + 1);
    EXPECT_EQ(Run(0x03, params), KESTREL_ERR_WRONG_PARAMETER);
    EXPECT_TRUE(comm.requests.empty());
}

struct LogRecord {
    std::vector<std::pair<uintptr_t, Bytes>> sent;
    std::vector<std::pair<uintptr_t, Bytes>> received;
};

void KESTREL_CALL LogSend(uintptr_t context, const uint8_t* frame, int32_t length) {
    reinterpret_cast<LogRecord*>(context)->sent.emplace_back(context, Bytes(frame, frame + length));
}
void KESTREL_CALL LogReceive(uintptr_t context, const uint8_t* frame, int32_t length) {
    reinterpret_cast<LogRecord*>(context)->received.emplace_back(context,
                                                                 Bytes(frame, frame + length));
}

TEST_F(BlockFramingTest, LogsSeeEveryFrameIncludingOneThatFailsItsCrc) {
    LogRecord log;
    const uintptr_t context = reinterpret_cast<uintptr_t>(&log);
    link.SetLogMethods(context, LogSend, LogReceive);
    Bytes bad = Frame(0, 0x00, {0x04, 0x00});
    bad[5] ^= 0xFF;
    comm.Answer(bad);
    EXPECT_EQ(Run(0x11, {0x26}), KESTREL_ERR_FRAME_CRC);
    ASSERT_EQ(log.sent.size(), 1u);
    ASSERT_EQ(log.received.size(), 1u);
    EXPECT_EQ(log.sent[0].first, context);
    EXPECT_EQ(log.sent[0].second, Frame(0, 0x11, {0x26}));
    EXPECT_EQ(log.received[0].second, bad);

    // Only the receive side registered: sending is not logged.
    link.SetLogMethods(context, nullptr, LogReceive);
    comm.Answer(Frame(1, 0x00));
    EXPECT_EQ(Run(0x1D), KESTREL_OK);
    EXPECT_EQ(log.sent.size(), 1u);
    EXPECT_EQ(log.received.size(), 2u);
}

TEST_F(BlockFramingTest, SendLogIsCalledEvenWhenTheWriteFails) {
    LogRecord log;
    link.SetLogMethods(reinterpret_cast<uintptr_t>(&log), LogSend, LogReceive);
    comm.FailWrite(KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(Run(0x1D), KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(log.sent.size(), 1u);
    EXPECT_TRUE(log.received.empty());
}

}  // namespace
}  // namespace kestrel::link
