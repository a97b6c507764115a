// The serial and TCP interfaces' own logic over stand-ins for the line and the socket: what
// each backend outcome becomes, which time-outs reach the backend, what is cleaned up. The
// real backends are proved over pseudo-terminals and sockets elsewhere; these run everywhere.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "comm/rs232_interface.h"
#include "comm/tcp_interface.h"

namespace kestrel::comm {
namespace {

using platform::SerialPort;
using platform::SocketIo;

// A line whose outcomes the test sets and whose calls it reads back.
struct FakeLine final : SerialPort {
    OpenStatus Open(const std::string& path, uint32_t baudRate) override {
        opened.push_back(path + "@" + std::to_string(baudRate));
        open = openStatus == OpenStatus::kOk;
        return openStatus;
    }
    bool IsOpen() const override { return open; }
    void Close() override { open = false; }
    bool Purge() override {
        ++purges;
        return open && purgeOk;
    }
    bool Write(const uint8_t*, uint32_t length, uint32_t* written, uint32_t timeOutMs) override {
        writeTimeOuts.push_back(timeOutMs);
        *written = length < accepted ? length : accepted;
        return open && ioOk;
    }
    bool Read(uint8_t* buffer, uint32_t length, uint32_t* count, uint32_t timeOutMs) override {
        readTimeOuts.push_back(timeOutMs);
        *count = 0;
        while (*count < length && !incoming.empty()) {
            buffer[(*count)++] = incoming.front();
            incoming.pop_front();
        }
        return open && ioOk;
    }

    OpenStatus openStatus = OpenStatus::kOk;
    bool purgeOk = true;
    bool ioOk = true;
    uint32_t accepted = UINT32_MAX;
    std::deque<uint8_t> incoming;
    bool open = false;
    int purges = 0;
    std::vector<std::string> opened;
    std::vector<uint32_t> writeTimeOuts, readTimeOuts;
};

struct SerialFixture {
    SerialFixture() {
        auto fake = std::make_unique<FakeLine>();
        line = fake.get();
        rs232 = std::make_unique<Rs232Interface>(std::move(fake));
        rs232->SetDevicePath("/dev/line");
    }
    FakeLine* line;
    std::unique_ptr<Rs232Interface> rs232;
};

TEST(SerialSeamTest, OpenOutcomes) {
    const struct {
        const char* name;
        SerialPort::OpenStatus status;
        bool purgeOk;
        Result expected;
        bool openAfter;
    } cases[] = {
        {"opened and purged", SerialPort::OpenStatus::kOk, true, KESTREL_OK, true},
        {"cannot open", SerialPort::OpenStatus::kCannotOpen, true, KESTREL_ERR_RS232_OPEN, false},
        {"cannot configure", SerialPort::OpenStatus::kCannotConfigure, true,
         KESTREL_ERR_RS232_CONFIGURE, false},
        {"purge refused: closed again", SerialPort::OpenStatus::kOk, false, KESTREL_ERR_RS232_FLUSH,
         false},
    };
    for (const auto& c : cases) {
        SerialFixture f;
        f.line->openStatus = c.status;
        f.line->purgeOk = c.purgeOk;
        EXPECT_EQ(f.rs232->Open(), c.expected) << c.name;
        EXPECT_EQ(f.line->open, c.openAfter) << c.name;
        // Baud rate 0 opens at 57600.
        EXPECT_EQ(f.line->opened, std::vector<std::string>{"/dev/line@57600"}) << c.name;
    }
}

// A write may take the caller's time-out plus the time its bytes need on the line at the
// rate the line was opened with (ten bit times a byte); a write the line cut short fails and
// drops the rest.
TEST(SerialSeamTest, WriteTimeOutAndShortWrites) {
    SerialFixture f;
    f.rs232->SetBaudRate(9600);
    ASSERT_EQ(f.rs232->Open(), KESTREL_OK);
    f.rs232->SetBaudRate(115200);  // from the next open on
    const uint8_t bytes[96] = {};
    uint32_t written = 0;
    EXPECT_EQ(f.rs232->Write(bytes, 96, &written, 250), KESTREL_OK);
    EXPECT_EQ(written, 96u);
    f.line->accepted = 10;
    EXPECT_EQ(f.rs232->Write(bytes, 96, &written, 0), KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(written, 10u);
    EXPECT_EQ(f.line->writeTimeOuts, (std::vector<uint32_t>{350, 100}));
    EXPECT_EQ(f.line->purges, 2);  // the one after opening, the one after the short write
    f.line->accepted = UINT32_MAX;
    f.line->ioOk = false;
    EXPECT_EQ(f.rs232->Write(bytes, 1, &written, 10), KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(f.rs232->Write(nullptr, 1, &written, 10), KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(f.line->writeTimeOuts.size(), 3u);  // the null buffer never reached the line
}

TEST(SerialSeamTest, ReadsPassTheTimeOutAndCountShortReads) {
    SerialFixture f;
    ASSERT_EQ(f.rs232->Open(), KESTREL_OK);
    f.line->incoming = {1, 2, 3};
    uint8_t buffer[5] = {};
    uint32_t count = 0;
    EXPECT_EQ(f.rs232->Read(buffer, 5, &count, 40), KESTREL_OK);
    EXPECT_EQ(count, 3u);
    f.line->incoming = {9};
    f.line->ioOk = false;
    EXPECT_EQ(f.rs232->Read(buffer, 5, &count, 70), KESTREL_ERR_RS232_READ);
    EXPECT_EQ(count, 1u);  // what arrived before the failure is still counted
    EXPECT_EQ(f.line->readTimeOuts, (std::vector<uint32_t>{40, 70}));
    f.rs232->Close();
    EXPECT_EQ(f.rs232->Purge(), KESTREL_ERR_RS232_FLUSH);
}

// A socket that plays the outcomes the test queued, one per call.
struct FakeSocket final : platform::TcpSocket {
    bool IsOpen() const override { return open; }
    int Create() override {
        open = createError == 0;
        return createError;
    }
    int StartConnect(uint32_t, uint16_t, bool* inProgress) override {
        *inProgress = connectInProgress;
        return connectError;
    }
    int FinishConnect(uint32_t timeOutMs) override {
        finishTimeOuts.push_back(timeOutMs);
        return finishResult;
    }
    SocketIo Send(const uint8_t*, size_t) override { return Next(sends); }
    SocketIo Receive(uint8_t* data, size_t length) override {
        SocketIo io = Next(receives);
        for (long i = 0; i < io.count && static_cast<size_t>(i) < length; ++i) data[i] = 0x5A;
        return io;
    }
    bool WaitWritable(uint32_t) override { return Wait(); }
    bool WaitReadable(uint32_t) override { return Wait(); }
    void Close() override { open = false; }

    static SocketIo Next(std::deque<SocketIo>& queue) {
        if (queue.empty()) return {-1, 0, true};  // nothing more: would block
        SocketIo io = queue.front();
        queue.pop_front();
        return io;
    }
    bool Wait() {
        if (waits.empty()) return false;
        const bool ready = waits.front();
        waits.pop_front();
        return ready;
    }

    int createError = 0, connectError = 0, finishResult = 0;
    bool connectInProgress = false;
    bool open = false;
    std::deque<SocketIo> sends, receives;
    std::deque<bool> waits;
    std::vector<uint32_t> finishTimeOuts;
};

struct TcpFixture {
    explicit TcpFixture(const char* name = "127.0.0.1:4000") {
        auto fake = std::make_unique<FakeSocket>();
        socket = fake.get();
        tcp = std::make_unique<TcpInterface>(std::move(fake));
        tcp->SetAddress(name);
    }
    FakeSocket* socket;
    std::unique_ptr<TcpInterface> tcp;
};

TEST(TcpSeamTest, OpenOutcomes) {
    const int refused = 111;
    const struct {
        const char* name;
        const char* readerName;
        int createError, connectError;
        bool inProgress;
        int finishResult;
        Result expected;
        bool waitedForTheConnect;
    } cases[] = {
        {"connected at once", "127.0.0.1:4000", 0, 0, false, 0, KESTREL_OK, false},
        {"connected after a wait", "127.0.0.1:4000", 0, 0, true, 0, KESTREL_OK, true},
        {"no connection in time", "127.0.0.1:4000", 0, 0, true, -1, -1, true},
        {"refused while waiting", "127.0.0.1:4000", 0, 0, true, refused, refused, true},
        {"refused at once", "127.0.0.1:4000", 0, refused, false, 0, refused, false},
        {"no socket", "127.0.0.1:4000", 24, 0, false, 0, 24, false},
        {"not a dotted address", "localhost:4000", 0, 0, false, 0, platform::InvalidAddressError(),
         false},
    };
    for (const auto& c : cases) {
        TcpFixture f(c.readerName);
        f.socket->createError = c.createError;
        f.socket->connectError = c.connectError;
        f.socket->connectInProgress = c.inProgress;
        f.socket->finishResult = c.finishResult;
        EXPECT_EQ(f.tcp->Open(), c.expected) << c.name;
        // A failed open leaves no socket behind.
        EXPECT_EQ(f.socket->open, c.expected == KESTREL_OK) << c.name;
        EXPECT_EQ(f.socket->finishTimeOuts,
                  c.waitedForTheConnect ? std::vector<uint32_t>{TcpInterface::kConnectTimeOutMs}
                                        : std::vector<uint32_t>{})
            << c.name;
    }
}

TEST(TcpSeamTest, WriteAndReadOutcomes) {
    const int reset = 104;
    const int wouldBlock = platform::TcpSocket::WouldBlockError();
    const struct {
        const char* name;
        bool write;
        std::vector<SocketIo> calls;
        std::vector<bool> waits;
        Result expected;
        uint32_t moved;  // bytes written or read, on success
    } cases[] = {
        {"sent in two parts", true, {{3, 0, false}, {5, 0, false}}, {true}, KESTREL_OK, 8},
        {"sent after a wait", true, {{-1, 0, true}, {8, 0, false}}, {true}, KESTREL_OK, 8},
        {"stalls after a part", true, {{3, 0, false}}, {false}, KESTREL_ERR_SOCKET, 0},
        {"no room at all", true, {{-1, 0, true}}, {false}, wouldBlock, 0},
        {"send error", true, {{-1, reset, false}}, {}, reset, 0},
        {"nothing sent, no error", true, {{0, 0, false}}, {}, KESTREL_ERR_SOCKET, 0},
        {"received in two parts", false, {{3, 0, false}, {5, 0, false}}, {}, KESTREL_OK, 8},
        {"received after a wait", false, {{-1, 0, true}, {8, 0, false}}, {true}, KESTREL_OK, 8},
        {"silent peer", false, {{2, 0, false}}, {false}, wouldBlock, 0},
        {"peer closed", false, {{2, 0, false}, {0, 0, false}}, {}, KESTREL_ERR_SOCKET, 0},
        {"receive error", false, {{-1, reset, false}}, {}, reset, 0},
    };
    for (const auto& c : cases) {
        TcpFixture f;
        ASSERT_EQ(f.tcp->Open(), KESTREL_OK) << c.name;
        (c.write ? f.socket->sends : f.socket->receives).assign(c.calls.begin(), c.calls.end());
        f.socket->waits.assign(c.waits.begin(), c.waits.end());
        uint8_t buffer[8] = {};
        uint32_t moved = 0;
        const Result r =
            c.write ? f.tcp->Write(buffer, 8, &moved, 100) : f.tcp->Read(buffer, 8, &moved, 100);
        EXPECT_EQ(r, c.expected) << c.name;
        EXPECT_EQ(moved, c.moved) << c.name;
        EXPECT_TRUE(f.socket->waits.empty()) << c.name;
    }
}

TEST(TcpSeamTest, ClosedInterfaceRefusesIoAndPurgeDrainsWhatArrived) {
    TcpFixture f;
    uint8_t buffer[4];
    uint32_t moved = 0;
    EXPECT_EQ(f.tcp->Write(buffer, 4, &moved, 10), KESTREL_ERR_SOCKET);
    EXPECT_EQ(f.tcp->Read(buffer, 4, &moved, 10), KESTREL_ERR_SOCKET);
    ASSERT_EQ(f.tcp->Open(), KESTREL_OK);
    f.socket->receives = {{200, 0, false}, {100, 0, false}};
    EXPECT_EQ(f.tcp->Purge(), KESTREL_OK);
    EXPECT_TRUE(f.socket->receives.empty());
}

}  // namespace
}  // namespace kestrel::comm
