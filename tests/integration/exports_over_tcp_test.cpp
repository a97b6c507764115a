// The exported functions end to end over TCP, against a scripted reader on the loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "KestrelAPI.h"
#include "support/scripted_peer.h"

namespace kestrel::test {
namespace {

constexpr uint8_t kGuard = 0xCC;

struct FrameLog {
    int sent = 0;
    int received = 0;
    uintptr_t lastContext = 0;
};

void KESTREL_CALL CountSent(uintptr_t context, const uint8_t*, int32_t) {
    auto* log = reinterpret_cast<FrameLog*>(context);
    ++log->sent;
    log->lastContext = context;
}
void KESTREL_CALL CountReceived(uintptr_t context, const uint8_t*, int32_t) {
    ++reinterpret_cast<FrameLog*>(context)->received;
}

class TcpExportsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        peer.ListenTcp();
        session = CreateSession(0);
        ASSERT_NE(session, nullptr);
    }
    void TearDown() override { EXPECT_EQ(ReleaseSession(session, 0), KESTREL_OK); }

    int32_t Connect() {
        return ConnectReaderEx(session, INTERFACE_TCP, peer.TcpName().c_str(), 0, 4800);
    }

    ScriptedPeer peer;
    KestrelSession* session = nullptr;
};

TEST_F(TcpExportsTest, ConnectCommandDisconnectReconnect) {
    ASSERT_EQ(Connect(), KESTREL_OK);  // TCP ignores the baud rate, even one it would refuse
    FrameLog log;
    ASSERT_EQ(
        RegisterLogMethods(session, reinterpret_cast<uintptr_t>(&log), CountSent, CountReceived),
        KESTREL_OK);

    peer.AnswerWith(0x00, {0x44, 0x00, 0x00, 7, 0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    uint8_t uid[12];
    std::fill(std::begin(uid), std::end(uid), kGuard);
    uint8_t length = 10;
    uint16_t atqa = 0;
    uint8_t sak = kGuard;
    ASSERT_EQ(SelectIdleCard(session, uid + 1, &length, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(length, 7);
    EXPECT_EQ(atqa, 0x0044);
    EXPECT_EQ(sak, 0x00);
    EXPECT_EQ(Bytes(uid + 1, uid + 8), (Bytes{0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
    EXPECT_EQ(uid[0], kGuard);
    EXPECT_EQ(uid[8], kGuard);
    EXPECT_EQ(log.sent, 1);
    EXPECT_EQ(log.received, 1);
    EXPECT_EQ(log.lastContext, reinterpret_cast<uintptr_t>(&log));
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests()[0], Frame(0, 0x43, {0x00}));

    EXPECT_EQ(DisconnectReader(session), KESTREL_OK);
    EXPECT_EQ(DisconnectReader(session), KESTREL_ERR_NO_READER);

    // A new connection starts numbering from 0 again and has no log methods.
    ASSERT_EQ(Connect(), KESTREL_OK);
    peer.AnswerWith(0x00);
    EXPECT_EQ(HaltCard(session), KESTREL_OK);
    ASSERT_EQ(peer.Requests().size(), 2u);
    EXPECT_EQ(peer.Requests()[1], Frame(0, 0x1D));
    EXPECT_EQ(log.sent, 1);
    EXPECT_EQ(peer.Connections(), 2);
}

TEST_F(TcpExportsTest, AnswerSplitAcrossWrites) {
    ASSERT_EQ(Connect(), KESTREL_OK);
    Reply reply;
    reply.answer = Frame(0, 0x00, {0x04, 0x00});
    reply.pieceSize = 2;
    peer.Add(reply);
    uint16_t atqa = 0;
    EXPECT_EQ(REQUEST_IDLE_CMD(session, &atqa), KESTREL_OK);
    EXPECT_EQ(atqa, 0x0004);
}

TEST_F(TcpExportsTest, ReaderClosingMidFrameIsAReadFailure) {
    ASSERT_EQ(Connect(), KESTREL_OK);
    Reply reply;
    reply.answer = Bytes{0xA5, 0x00, 0x00};
    reply.closeAfter = true;
    peer.Add(reply);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HaltCard(session), KESTREL_ERR_RS232_READ);
    // The closed connection is noticed at once, not after the read time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    // The connection is gone: later commands fail but nothing crashes.
    EXPECT_NE(HaltCard(session), KESTREL_OK);
}

TEST_F(TcpExportsTest, SilentReaderTimesOut) {
    ASSERT_EQ(Connect(), KESTREL_OK);
    EXPECT_EQ(HaltCard(session), KESTREL_ERR_RS232_READ);
}

TEST_F(TcpExportsTest, CorruptAnswerIsRefusedAndTheNextCommandWorks) {
    ASSERT_EQ(Connect(), KESTREL_OK);
    Bytes bad = Frame(0, 0x00, {0x04, 0x00});
    bad[6] ^= 0x40;
    Reply reply;
    reply.answer = bad;
    peer.Add(reply);
    uint16_t atqa = 0xBEEF;
    EXPECT_EQ(REQUEST_ALL_CMD(session, &atqa), KESTREL_ERR_FRAME_CRC);
    EXPECT_EQ(atqa, 0xBEEF);
    peer.AnswerWith(0x00, {0x04, 0x00});
    EXPECT_EQ(REQUEST_ALL_CMD(session, &atqa), KESTREL_OK);
    EXPECT_EQ(atqa, 0x0004);
}

// A port on the loopback that nobody listens on.
uint16_t ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

TEST_F(TcpExportsTest, RefusedConnectionKeepsTheReaderObjects) {
    const std::string name = "127.0.0.1:" + std::to_string(ClosedPort());
    EXPECT_EQ(ConnectReaderEx(session, INTERFACE_TCP, name.c_str(), 0, 0), ECONNREFUSED);
    // The open failed, but the reader objects exist: commands fail in the interface.
    EXPECT_EQ(HaltCard(session), KESTREL_ERR_SOCKET);
    EXPECT_EQ(DisconnectReader(session), KESTREL_OK);
    EXPECT_EQ(HaltCard(session), KESTREL_ERR_NO_READER);
}

TEST_F(TcpExportsTest, NamesThatCannotBeUsed) {
    const struct {
        const char* name;
        int32_t expected;
    } cases[] = {
        {"127.0.0.1", -1},
        {"", -1},
        {nullptr, KESTREL_ERR_NO_READER_NAME},
        {"localhost:4000", EINVAL},
        {"1.2.3:4000", EINVAL},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConnectReaderEx(session, INTERFACE_TCP, c.name, 0, 0), c.expected)
            << (c.name ? c.name : "(null)");
    }
}

TEST_F(TcpExportsTest, PortIsCutTo16Bits) {
    const std::string name =
        "127.0.0.1:" + std::to_string(65536 + std::stoi(peer.TcpName().substr(10)));
    EXPECT_EQ(ConnectReaderEx(session, INTERFACE_TCP, name.c_str(), 0, 0), KESTREL_OK);
}

// A listener whose accept queue is full drops further connection attempts, so the connect
// never completes: the library gives up after two seconds with -1.
TEST_F(TcpExportsTest, ConnectionNotMadeWithinTwoSecondsGivesMinusOne) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    // Fill the queue with connections nobody accepts.
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    usleep(100000);
    const std::string name = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectReaderEx(session, INTERFACE_TCP, name.c_str(), 0, 0), -1);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(4000));
    for (int fd : fillers) close(fd);
    close(listener);
}

}  // namespace
}  // namespace kestrel::test
