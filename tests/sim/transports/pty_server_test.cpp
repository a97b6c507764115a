// The pseudo-terminal transport, driven through its slave path like a serial port.
#include "kestrel_sim/transports/pty_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include "kestrel_sim/helpers/codes.h"
#include "kestrel_sim/helpers/hex.h"
#include "sim/sim_test_util.h"

namespace kestrel::sim {
namespace {

using test::ReadFor;
using test::ReadFrame;
using test::WriteAllTo;

const Bytes kUid = {0x0A, 0x0B, 0x0C, 0x0D};

class PtyServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(reader_.AddCard(test::TypeACard(kUid)));
        TransportOptions options;
        options.lineQuietMs = 50;
        server_ = std::make_unique<PtyServer>(reader_, options);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
    }
    int OpenPort() {
        const int fd = ::open(server_->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(fd, 0) << server_->SlavePath();
        return fd;
    }

    VirtualReader reader_;
    std::unique_ptr<PtyServer> server_;
};

TEST_F(PtyServerTest, ReportsAPtsPathInRawMode) {
    EXPECT_EQ(server_->SlavePath().rfind("/dev/pts/", 0), 0u) << server_->SlavePath();
    const int fd = OpenPort();
    ASSERT_GE(fd, 0);
    termios settings{};
    ASSERT_EQ(::tcgetattr(fd, &settings), 0);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | ICRNL), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    ::close(fd);
}

TEST_F(PtyServerTest, AnswersARequest) {
    const int fd = OpenPort();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAllTo(fd, EncodeFrame(3, command::kActivateIdle, Bytes{0})));
    EXPECT_EQ(
        ToHex(ReadFrame(fd, 2000)),
        ToHex(EncodeFrame(3, status::kOk, Bytes{0x04, 0x00, 0x08, 4, 0x0A, 0x0B, 0x0C, 0x0D})));
    ::close(fd);
}

TEST_F(PtyServerTest, ControlCharactersPassUnchanged) {
    const int fd = OpenPort();
    ASSERT_GE(fd, 0);
    // Carriage return, line feed, XON, XOFF and interrupt would all be changed or eaten by a
    // terminal that is not raw.
    const Bytes value = {0x0D, 0x11, 0x13, 0x03};
    ASSERT_TRUE(WriteAllTo(fd, EncodeFrame(0x0A, command::kSetCardTimeOut, value)));
    EXPECT_EQ(ReadFrame(fd, 2000), EncodeFrame(0x0A, status::kOk));
    EXPECT_EQ(reader_.CardTimeOut(), 0x0313110Du);
    ::close(fd);
}

TEST_F(PtyServerTest, PortCanBeClosedAndOpenedAgain) {
    for (uint8_t round = 0; round < 3; ++round) {
        const int fd = OpenPort();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(WriteAllTo(fd, EncodeFrame(round, command::kRfReset, Bytes{0x19, 0x00})));
        EXPECT_EQ(ReadFrame(fd, 2000), EncodeFrame(round, status::kOk)) << int(round);
        ::close(fd);
    }
}

TEST_F(PtyServerTest, LinkBreakSendsPartOfTheAnswerThenTheLineWorksOn) {
    const int fd = OpenPort();
    ASSERT_GE(fd, 0);
    reader_.BreakLinkInNextAnswer(5);
    ASSERT_TRUE(WriteAllTo(fd, EncodeFrame(1, command::kRfReset, Bytes{0x19, 0x00})));
    EXPECT_EQ(ReadFor(fd, 7, 300), Bytes({0xA5, 0x01, 0x00, 0x00, 0x00}));
    ASSERT_TRUE(WriteAllTo(fd, EncodeFrame(2, command::kRfReset, Bytes{0x19, 0x00})));
    EXPECT_EQ(ReadFrame(fd, 2000), EncodeFrame(2, status::kOk));
    ::close(fd);
}

TEST_F(PtyServerTest, SplitAnswerArrivesInPieces) {
    const int fd = OpenPort();
    ASSERT_GE(fd, 0);
    reader_.SplitNextAnswer(2, 150);
    ASSERT_TRUE(WriteAllTo(fd, EncodeFrame(1, command::kRfReset, Bytes{0x19, 0x00})));
    // The first piece, then nothing for a while (40 ms after its first byte), then the rest.
    const Bytes first = ReadFor(fd, 1, 2000);
    ASSERT_EQ(first.size(), 1u);
    const Bytes piece = ReadFor(fd, 6, 40);
    EXPECT_EQ(piece.size(), 3u);
    const Bytes rest = ReadFor(fd, 6 - piece.size(), 2000);
    EXPECT_EQ(test::Concat({first, piece, rest}), EncodeFrame(1, status::kOk));
    ::close(fd);
}

TEST_F(PtyServerTest, StopsWithoutAClient) {
    server_->Stop();
    EXPECT_FALSE(server_->Running());
    server_->Stop();
}

}  // namespace
}  // namespace kestrel::sim
