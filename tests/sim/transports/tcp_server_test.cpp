// The TCP transport, driven by plain sockets on 127.0.0.1.
#include "kestrel_sim/transports/tcp_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "kestrel_sim/helpers/codes.h"
#include "kestrel_sim/helpers/hex.h"
#include "sim/sim_test_util.h"

namespace kestrel::sim {
namespace {

using Clock = std::chrono::steady_clock;
using test::ReadFor;
using test::ReadFrame;
using test::WriteAllTo;

const Bytes kUid = {0x0A, 0x0B, 0x0C, 0x0D};

Bytes RequestA(uint8_t sequence) {
    return EncodeFrame(sequence, command::kRequest, Bytes{iso14443a::kWupA});
}
Bytes AtqaAnswer(uint8_t sequence) {
    return EncodeFrame(sequence, status::kOk, Bytes{0x04, 0x00});
}

// A connected client socket that closes itself.
class Client {
  public:
    explicit Client(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { Close(); }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool connected() const { return connected_; }
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (Clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class TcpServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(reader_.AddCard(test::TypeACard(kUid)));
        TransportOptions options;
        options.lineQuietMs = 50;
        server_ = std::make_unique<TcpServer>(reader_, options);
        std::string error;
        ASSERT_TRUE(server_->Start("127.0.0.1", 0, &error)) << error;
    }

    VirtualReader reader_;
    std::unique_ptr<TcpServer> server_;
};

TEST_F(TcpServerTest, PicksAPortAndAnswers) {
    EXPECT_NE(server_->Port(), 0);
    EXPECT_EQ(server_->Host(), "127.0.0.1");
    EXPECT_EQ(server_->Address(), "127.0.0.1:" + std::to_string(server_->Port()));
    Client client(server_->Port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(WriteAllTo(client.fd(), RequestA(0)));
    EXPECT_EQ(ToHex(ReadFrame(client.fd(), 2000)), ToHex(AtqaAnswer(0)));
}

TEST_F(TcpServerTest, ServesOneClientAtATime) {
    Client first(server_->Port());
    ASSERT_TRUE(WriteAllTo(first.fd(), RequestA(1)));
    ASSERT_EQ(ReadFrame(first.fd(), 2000), AtqaAnswer(1));

    // The second client gets through the handshake (listen queue) but no answer yet.
    Client second(server_->Port());
    ASSERT_TRUE(second.connected());
    ASSERT_TRUE(WriteAllTo(second.fd(), RequestA(2)));
    EXPECT_TRUE(ReadFor(second.fd(), 1, 200).empty());
    EXPECT_EQ(server_->ClientsAccepted(), 1u);

    first.Close();
    // Its request waited in the socket; now it is answered (the field outlives connections).
    EXPECT_EQ(ToHex(ReadFrame(second.fd(), 3000)), ToHex(AtqaAnswer(2)));
    EXPECT_EQ(server_->ClientsAccepted(), 2u);
}

TEST_F(TcpServerTest, NextClientSeesTheSameField) {
    {
        Client first(server_->Port());
        ASSERT_TRUE(WriteAllTo(first.fd(), EncodeFrame(0, command::kActivateIdle, Bytes{0})));
        ASSERT_EQ(ReadFrame(first.fd(), 2000).at(2), status::kOk);
        ASSERT_TRUE(WriteAllTo(first.fd(), EncodeFrame(1, command::kHalt)));
        ASSERT_EQ(ReadFrame(first.fd(), 2000).at(2), status::kOk);
    }
    Client second(server_->Port());
    ASSERT_TRUE(WriteAllTo(second.fd(), EncodeFrame(0, command::kActivateIdle, Bytes{0})));
    EXPECT_EQ(ReadFrame(second.fd(), 2000), EncodeFrame(0, status::kNoCard));
    ASSERT_TRUE(WriteAllTo(second.fd(), RequestA(1)));
    EXPECT_EQ(ReadFrame(second.fd(), 2000), AtqaAnswer(1));
    EXPECT_TRUE(WaitFor([&] { return server_->ClientsAccepted() == 2; }, 2000));
}

TEST_F(TcpServerTest, PartialFrameIsGivenUpWhenTheLineGoesQuiet) {
    Client client(server_->Port());
    // A stray start byte makes the request look like the data of a long frame.
    ASSERT_TRUE(WriteAllTo(client.fd(), test::Concat({{kStartByte}, RequestA(5)})));
    EXPECT_EQ(ReadFrame(client.fd(), 2000), AtqaAnswer(5));
}

TEST_F(TcpServerTest, StopEndsTheClientConnection) {
    Client client(server_->Port());
    ASSERT_TRUE(WriteAllTo(client.fd(), RequestA(0)));
    ASSERT_EQ(ReadFrame(client.fd(), 2000), AtqaAnswer(0));
    const Clock::time_point start = Clock::now();
    server_->Stop();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(server_->Running());
    uint8_t byte = 0;
    EXPECT_EQ(::recv(client.fd(), &byte, 1, 0), 0);  // end of stream
    server_->Stop();                                 // twice is fine
}

TEST_F(TcpServerTest, StopDuringADelayedAnswer) {
    Client client(server_->Port());
    reader_.DelayNextAnswer(5000);
    ASSERT_TRUE(WriteAllTo(client.fd(), RequestA(0)));
    ASSERT_TRUE(WaitFor([&] { return reader_.RequestsServed() == 1; }, 2000));
    const Clock::time_point start = Clock::now();
    server_->Stop();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

TEST_F(TcpServerTest, StartErrors) {
    std::string error;
    EXPECT_FALSE(server_->Start("127.0.0.1", 0, &error));
    EXPECT_NE(error.find("already"), std::string::npos) << error;

    VirtualReader reader;
    TcpServer samePort(reader);
    error.clear();
    EXPECT_FALSE(samePort.Start("127.0.0.1", server_->Port(), &error));
    EXPECT_FALSE(error.empty());
    TcpServer badHost(reader);
    error.clear();
    EXPECT_FALSE(badHost.Start("300.1.2.3", 0, &error));
    EXPECT_FALSE(error.empty());
}

// Faults seen from a TCP client: when the first byte comes, how many come with it (within
// 40 ms of it), what comes in the end, and whether the server closes the connection.
struct TcpFaultCase {
    const char* name;
    std::function<void(VirtualReader&)> inject;
    int firstByteAfterMs;  // at the earliest
    size_t firstPiece;
    Bytes total;
    bool closed;
};

class TcpFaultTest : public TcpServerTest, public ::testing::WithParamInterface<TcpFaultCase> {};

TEST_P(TcpFaultTest, BytesOnTheWire) {
    const TcpFaultCase& c = GetParam();
    Client client(server_->Port());
    c.inject(reader_);
    const Clock::time_point sent = Clock::now();
    ASSERT_TRUE(WriteAllTo(client.fd(), RequestA(7)));
    Bytes received = ReadFor(client.fd(), 1, c.total.empty() ? 300 : 2000);
    if (!c.total.empty()) {
        ASSERT_EQ(received.size(), 1u);
        EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(c.firstByteAfterMs));
        const Bytes piece = ReadFor(client.fd(), c.total.size() - 1, 40);
        EXPECT_EQ(1 + piece.size(), c.firstPiece);
        const Bytes rest = ReadFor(client.fd(), c.total.size() - 1 - piece.size(), 2000);
        received = test::Concat({received, piece, rest});
    }
    EXPECT_EQ(ToHex(received), ToHex(c.total));
    uint8_t byte = 0;
    if (c.closed) {
        EXPECT_EQ(::recv(client.fd(), &byte, 1, 0), 0);
        // The next client is served.
        Client next(server_->Port());
        ASSERT_TRUE(WriteAllTo(next.fd(), RequestA(8)));
        EXPECT_EQ(ReadFrame(next.fd(), 2000).size(), 9u);
    } else {
        EXPECT_TRUE(ReadFor(client.fd(), 1, 50).empty());
    }
}

const Bytes kAtqa7 = AtqaAnswer(7);

INSTANTIATE_TEST_SUITE_P(
    Faults, TcpFaultTest,
    ::testing::Values(
        TcpFaultCase{"none", [](VirtualReader&) {}, 0, 9, kAtqa7, false},
        TcpFaultCase{"drop", [](VirtualReader& r) { r.DropNextAnswer(); }, 0, 0, {}, false},
        TcpFaultCase{"delay", [](VirtualReader& r) { r.DelayNextAnswer(200); }, 200, 9, kAtqa7,
                     false},
        TcpFaultCase{"split", [](VirtualReader& r) { r.SplitNextAnswer(3, 150); }, 0, 3, kAtqa7,
                     false},
        TcpFaultCase{"break", [](VirtualReader& r) { r.BreakLinkInNextAnswer(4); }, 0, 4,
                     Bytes(kAtqa7.begin(), kAtqa7.begin() + 4), true},
        TcpFaultCase{"wrong_sequence", [](VirtualReader& r) { r.WrongSequenceInNextAnswer(); }, 0,
                     9, AtqaAnswer(8), false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel::sim
