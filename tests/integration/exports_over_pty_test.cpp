// The exported functions end to end over a serial line: a pseudo-terminal opened by path,
// with a scripted reader on its master side.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "KestrelAPI.h"
#include "support/scripted_peer.h"

namespace kestrel::test {
namespace {

class PtyExportsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        path = ptsname(master);
        // The master side must not translate the bytes it passes on.
        termios raw{};
        tcgetattr(master, &raw);
        cfmakeraw(&raw);
        tcsetattr(master, TCSANOW, &raw);
        peer.ServeFd(master);
        session = CreateSession(0);
        ASSERT_NE(session, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(ReleaseSession(session, 0), KESTREL_OK);
        peer.Stop();
    }

    ScriptedPeer peer;
    std::string path;
    KestrelSession* session = nullptr;
};

TEST_F(PtyExportsTest, FindHaltAndWakeACard) {
    ASSERT_EQ(ConnectReader(session, INTERFACE_RS232, path.c_str(), 0), KESTREL_OK);

    peer.AnswerWith(0x00, {0x04, 0x00, 0x08, 4, 0xDE, 0xAD, 0xBE, 0xEF});
    uint8_t uid[10];
    uint8_t length = sizeof uid;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    ASSERT_EQ(SelectIdleCard(session, uid, &length, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(Bytes(uid, uid + 4), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));

    peer.AnswerWith(0x00);
    EXPECT_EQ(HaltCard(session), KESTREL_OK);
    peer.AnswerWith(0xFF, {0x00, 0x00});
    EXPECT_EQ(REQUEST_IDLE_CMD(session, &atqa), KESTREL_ERR_NO_CARD);
    peer.AnswerWith(0x00, {0x04, 0x00, 0x08});
    EXPECT_EQ(SelectWakeUpCard(session, uid, &length, &atqa, &sak), KESTREL_OK);
    EXPECT_EQ(sak, 0x08);
    peer.AnswerWith(0x00);
    EXPECT_EQ(RfReset(session, 25), KESTREL_OK);

    const auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0], Frame(0, 0x43, {0x00}));
    EXPECT_EQ(requests[1], Frame(1, 0x1D));
    EXPECT_EQ(requests[2], Frame(2, 0x11, {0x26}));
    EXPECT_EQ(requests[3], Frame(3, 0x44, {0x00, 0x04, 0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(requests[4], Frame(4, 0x20, {0x19, 0x00}));
    EXPECT_EQ(DisconnectReader(session), KESTREL_OK);
}

TEST_F(PtyExportsTest, AnswerInPiecesWithinTheTimeOut) {
    ASSERT_EQ(ConnectReaderEx(session, INTERFACE_RS232, path.c_str(), 0, 0), KESTREL_OK);
    Reply reply;
    reply.answer = Frame(0, 0x00, {0x44, 0x03});
    reply.pieceSize = 3;
    peer.Add(reply);
    uint16_t atqa = 0;
    EXPECT_EQ(REQUEST_ALL_CMD(session, &atqa), KESTREL_OK);
    EXPECT_EQ(atqa, 0x0344);
}

// Waits (at most 5 s) until the line behind `fd` runs at `speed`.
bool WaitForSpeed(int fd, speed_t speed) {
    for (int i = 0; i < 5000; ++i) {
        termios t{};
        if (tcgetattr(fd, &t) == 0 && cfgetospeed(&t) == speed) return true;
        usleep(1000);
    }
    return false;
}

// A reader that stalls and answers only once the host, having given up, is opening the line
// again: its late answer must not be taken for the answer to the new connection's first
// request (sequence 0, while the late one echoes 1).
TEST_F(PtyExportsTest, LateAnswerToAnEarlierConnectionIsDropped) {
    // Held open by the test: shows the line's settings while the library reconnects.
    const int probe = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    ASSERT_EQ(ConnectReaderEx(session, INTERFACE_RS232, path.c_str(), 0, 57600), KESTREL_OK);
    uint16_t atqa = 0;
    peer.AnswerWith(0x00, {0x04, 0x00});
    ASSERT_EQ(REQUEST_IDLE_CMD(session, &atqa), KESTREL_OK);

    Reply late;
    late.echo = true;
    late.data = {0x44, 0x00};
    late.before = [&] { WaitForSpeed(probe, B115200); };
    peer.Add(late);
    ASSERT_EQ(Interface_SetTimeOuts(session, 200, nullptr), KESTREL_OK);
    EXPECT_EQ(REQUEST_IDLE_CMD(session, &atqa), KESTREL_ERR_RS232_READ);

    ASSERT_EQ(ConnectReaderEx(session, INTERFACE_RS232, path.c_str(), 0, 115200), KESTREL_OK);
    peer.AnswerWith(0x00, {0x08, 0x00});
    EXPECT_EQ(REQUEST_IDLE_CMD(session, &atqa), KESTREL_OK);
    EXPECT_EQ(atqa, 0x0008);
    close(probe);
}

// Serial names that fail before any device is touched.
TEST_F(PtyExportsTest, PortNamesThatCannotBeUsed) {
    const struct {
        const char* name;
        int32_t expected;
    } cases[] = {
        {"COM0", KESTREL_ERR_RS232_INVALID_PORT},
        {"com3", KESTREL_ERR_RS232_INVALID_PORT},
        {"reader", KESTREL_ERR_RS232_INVALID_PORT},
        {"COM200", KESTREL_ERR_RS232_INVALID_PORT},
        {"COM97", KESTREL_ERR_RS232_OPEN},
        {"/dev/kestrel-no-such-device", KESTREL_ERR_RS232_OPEN},
        {"/dev/null", KESTREL_ERR_RS232_CONFIGURE},
        {nullptr, KESTREL_ERR_NO_READER_NAME},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConnectReaderEx(session, INTERFACE_RS232, c.name, 0, 0), c.expected)
            << (c.name ? c.name : "(null)");
    }
}

}  // namespace
}  // namespace kestrel::test
