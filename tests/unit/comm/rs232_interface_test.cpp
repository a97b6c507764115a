#include "comm/rs232_interface.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial_port.h"
#include "support/without_sys_admin.h"

namespace kestrel::comm {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long ElapsedMs(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

TEST(SerialDevicePathTest, MapsPortRangesToTtyFamilies) {
    struct Case {
        int port;
        const char* path;
    };
    const Case cases[] = {
        {-56, ""},
        {0, ""},
        {1, "/dev/ttyS0"},
        {32, "/dev/ttyS31"},
        {33, "/dev/ttyUSB0"},
        {64, "/dev/ttyUSB31"},
        {65, "/dev/ttyACM0"},
        {96, "/dev/ttyACM31"},
        {97, ""},
        {127, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::SerialDevicePath(c.port), c.path) << c.port;
}

TEST(Rs232InterfaceTest, PortWithoutDeviceCannotBeOpened) {
    // Only port numbers without a device path: the machine's real serial ports stay untouched.
    for (int16_t port : {int16_t{100}, int16_t{200}}) {
        Rs232Interface line;
        ASSERT_EQ(line.SetPort(port), 0);
        EXPECT_EQ(line.Open(), KESTREL_ERR_RS232_OPEN) << port;
        EXPECT_EQ(line.Purge(), KESTREL_ERR_RS232_FLUSH);
        EXPECT_EQ(line.BaudRate(), Rs232Interface::kDefaultBaudRate);
    }
}

using kestrel::testsupport::WithoutSysAdmin;

// A pseudo-terminal: the interface opens the slave, the test plays the reader on the master.
class Rs232PtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        const char* name = ptsname(master_);
        ASSERT_NE(name, nullptr);
        slavePath_ = name;
        // Held for the whole test: keeps the slave's settings alive between opens of the
        // interface and lets the test inspect them.
        probe_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(probe_, 0);
        line_.SetDevicePath(slavePath_);
    }
    void TearDown() override {
        line_.Close();
        if (probe_ >= 0) close(probe_);
        if (master_ >= 0) close(master_);
    }

    termios SlaveSettings() const {
        termios t{};
        EXPECT_EQ(tcgetattr(probe_, &t), 0);
        return t;
    }

    // Settings nobody would choose for a reader, to see whether Close puts them back.
    termios SetRecognisableSettings() {
        termios t = SlaveSettings();
        cfsetispeed(&t, B1200);
        cfsetospeed(&t, B1200);
        t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | PARODD | CSTOPB;
        t.c_iflag |= IXON | ICRNL;
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_cc[VMIN] = 4;
        t.c_cc[VTIME] = 7;
        EXPECT_EQ(tcsetattr(probe_, TCSANOW, &t), 0);
        return SlaveSettings();
    }

    void ExpectSettings(const termios& expected) const {
        const termios now = SlaveSettings();
        EXPECT_EQ(cfgetospeed(&now), cfgetospeed(&expected));
        EXPECT_EQ(cfgetispeed(&now), cfgetispeed(&expected));
        EXPECT_EQ(now.c_cflag, expected.c_cflag);
        EXPECT_EQ(now.c_iflag, expected.c_iflag);
        EXPECT_EQ(now.c_oflag, expected.c_oflag);
        EXPECT_EQ(now.c_lflag, expected.c_lflag);
        EXPECT_EQ(0, std::memcmp(now.c_cc, expected.c_cc, sizeof now.c_cc));
    }

    void Feed(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What the reader receives: exactly `count` bytes, or fewer if none come for 5 s.
    std::vector<uint8_t> Drain(size_t count) {
        std::vector<uint8_t> got;
        uint8_t chunk[4096];
        while (got.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) break;
            const ssize_t n = read(master_, chunk, std::min(sizeof chunk, count - got.size()));
            if (n <= 0) break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    // Whether a second open of a tty held with TIOCEXCL fails for this thread.
    bool ExclusiveClaimHonoured() const {
        const int first = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (first < 0 || ioctl(first, TIOCEXCL) != 0) return false;
        const int second = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const bool honoured = second < 0 && errno == EBUSY;
        if (second >= 0) close(second);
        ioctl(first, TIOCNXCL);
        close(first);
        return honoured;
    }

    int master_ = -1;
    int probe_ = -1;
    std::string slavePath_;
    Rs232Interface line_;
};

// Reads `length` bytes into a buffer with guard bytes on both sides.
struct GuardedRead {
    static constexpr size_t kGuard = 16;
    static constexpr uint8_t kFill = 0xEE;
    explicit GuardedRead(uint32_t length) : bytes(length + 2 * kGuard, kFill), length(length) {}
    uint8_t* data() { return bytes.data() + kGuard; }
    std::vector<uint8_t> Got(uint32_t count) const {
        return std::vector<uint8_t>(bytes.begin() + kGuard, bytes.begin() + kGuard + count);
    }
    // Guards and the part of the buffer past `count` still hold the fill byte.
    bool UntouchedFrom(uint32_t count) const {
        for (size_t i = 0; i < bytes.size(); ++i) {
            if ((i < kGuard || i >= kGuard + count) && bytes[i] != kFill) return false;
        }
        return true;
    }
    std::vector<uint8_t> bytes;
    uint32_t length;
};

TEST_F(Rs232PtyTest, OpenWithBaudZeroConfiguresRaw57600EightNOne) {
    SetRecognisableSettings();
    ASSERT_EQ(line_.Open(), 0);
    EXPECT_EQ(line_.BaudRate(), 57600u);
    const termios t = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_EQ(cfgetispeed(&t), B57600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    line_.Close();
    ASSERT_EQ(line_.Open(), 0);
    EXPECT_EQ(line_.BaudRate(), 57600u);
}

TEST_F(Rs232PtyTest, OpenUsesTheBaudRateSetBefore) {
    struct Case {
        uint32_t rate;
        speed_t speed;
    };
    const Case cases[] = {
        {9600, B9600},
        {50, B50},
        {115200, B115200},
#ifdef B4000000
        {4000000, B4000000},
#endif
    };
    for (const Case& c : cases) {
        line_.SetBaudRate(c.rate);
        ASSERT_EQ(line_.Open(), 0) << c.rate;
        const termios t = SlaveSettings();
        EXPECT_EQ(cfgetospeed(&t), c.speed) << c.rate;
        line_.Close();
    }
}

TEST_F(Rs232PtyTest, UnsupportedBaudRateFailsToConfigureAndLeavesTheLineAsItWas) {
    const termios before = SetRecognisableSettings();
    for (uint32_t rate : {12345u, 57601u, 4000001u, UINT32_MAX}) {
        line_.SetBaudRate(rate);
        EXPECT_EQ(line_.Open(), KESTREL_ERR_RS232_CONFIGURE) << rate;
        EXPECT_EQ(line_.Purge(), KESTREL_ERR_RS232_FLUSH) << "left open after failing";
        ExpectSettings(before);
    }
    line_.SetBaudRate(9600);
    EXPECT_EQ(line_.Open(), 0);
}

TEST_F(Rs232PtyTest, PathsThatAreNoSerialLine) {
    char file[] = "/tmp/kestrel_rs232_XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    struct Case {
        std::string path;
        Result result;
    };
    const Case cases[] = {
        {"/dev/kestrel-no-such-tty", KESTREL_ERR_RS232_OPEN},
        {"/dev/null", KESTREL_ERR_RS232_CONFIGURE},
        {file, KESTREL_ERR_RS232_CONFIGURE},
    };
    for (const Case& c : cases) {
        line_.SetDevicePath(c.path);
        EXPECT_EQ(line_.Open(), c.result) << c.path;
        EXPECT_EQ(line_.Purge(), KESTREL_ERR_RS232_FLUSH) << c.path;
    }
    unlink(file);
    line_.SetDevicePath(slavePath_);
    EXPECT_EQ(line_.Open(), 0);
}

TEST_F(Rs232PtyTest, CloseRestoresTheSettingsButDestructionDoesNot) {
    const termios before = SetRecognisableSettings();
    EXPECT_EQ(line_.Close(), 0);  // not open: nothing happens
    ExpectSettings(before);
    ASSERT_EQ(line_.Open(), 0);
    ASSERT_EQ(line_.Open(), 0);  // already open: closed first, so the saved settings survive
    EXPECT_EQ(line_.Close(), 0);
    ExpectSettings(before);
    EXPECT_EQ(line_.Close(), 0);
    ExpectSettings(before);

    {
        Rs232Interface other;
        other.SetDevicePath(slavePath_);
        ASSERT_EQ(other.Open(), 0);
    }
    const termios after = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&after), B57600);
}

TEST_F(Rs232PtyTest, ReopenOpensAClosedInterface) {
    ASSERT_EQ(line_.Reopen(), 0);
    const termios t = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_EQ(line_.Purge(), 0);
    EXPECT_EQ(line_.Reopen(), 0);
}

TEST_F(Rs232PtyTest, SecondOpenOfAHeldLineFails) {
    WithoutSysAdmin asOtherPrograms;
    if (!ExclusiveClaimHonoured()) GTEST_SKIP() << "this system lets a held tty be opened again";
    ASSERT_EQ(line_.Open(), 0);
    ASSERT_EQ(line_.Open(), 0) << "reopening must release the first descriptor";
    Rs232Interface other;
    other.SetDevicePath(slavePath_);
    EXPECT_EQ(other.Open(), KESTREL_ERR_RS232_OPEN);
    EXPECT_EQ(other.Purge(), KESTREL_ERR_RS232_FLUSH);
    line_.Close();
    EXPECT_EQ(other.Open(), 0) << "Close must release the claim";
    {
        Rs232Interface dropped;
        dropped.SetDevicePath(slavePath_);
        other.Close();
        ASSERT_EQ(dropped.Open(), 0);
    }
    EXPECT_EQ(line_.Open(), 0) << "destruction must release the claim";
}

TEST_F(Rs232PtyTest, BytesTravelUnchangedBothWays) {
    // Carriage return, line feed, XON, XOFF, ^C and DEL would be eaten or changed by a line
    // that is not fully raw.
    const std::vector<uint8_t> bytes = {0x00, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0x7F, 0xFF, 0xA5};
    ASSERT_EQ(line_.Open(), 0);
    uint32_t written = 0;
    EXPECT_EQ(line_.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written, 0), 0);
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(Drain(bytes.size()), bytes);

    Feed(bytes);
    GuardedRead buffer(static_cast<uint32_t>(bytes.size()));
    uint32_t count = 0;
    EXPECT_EQ(line_.Read(buffer.data(), buffer.length, &count, 1000), 0);
    ASSERT_EQ(count, bytes.size());
    EXPECT_EQ(buffer.Got(count), bytes);
    EXPECT_TRUE(buffer.UntouchedFrom(count));
}

TEST_F(Rs232PtyTest, LongWriteWaitsWhileTheLineIsFull) {
    std::vector<uint8_t> bytes(200000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    ASSERT_EQ(line_.Open(), 0);
    std::vector<uint8_t> received;
    std::thread reader([&] { received = Drain(bytes.size()); });
    uint32_t written = 0;
    EXPECT_EQ(line_.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written, 0), 0);
    reader.join();
    EXPECT_EQ(written, bytes.size());
    EXPECT_TRUE(received == bytes);
}

// A reader that stops taking bytes holds a write no longer than the time-out plus the time
// the bytes need on the line at the line's speed (ten bits a byte); the write then fails.
TEST_F(Rs232PtyTest, WriteToAStalledReaderEndsWithinTheTimeOutPlusTheLineTime) {
    struct Case {
        uint32_t baudRate;
        uint32_t timeOutMs;
    };
    const std::vector<uint8_t> bytes(32000, 0x5A);
    for (const Case& c : {Case{921600, 200}, Case{460800, 0}}) {
        line_.SetBaudRate(c.baudRate);
        ASSERT_EQ(line_.Open(), 0);
        const long boundMs = static_cast<long>(c.timeOutMs + bytes.size() * 10 * 1000 / c.baudRate);
        // The reader comes back after 4 s: a write still waiting then has overrun its bound.
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        std::thread reader([&] {
            std::unique_lock<std::mutex> lock(mutex);
            if (finished.wait_for(lock, std::chrono::seconds(4), [&] { return done; })) return;
            lock.unlock();
            Drain(bytes.size());
        });
        uint32_t written = 0;
        const auto start = Clock::now();
        const Result result =
            line_.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written, c.timeOutMs);
        const long elapsed = ElapsedMs(start);
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        finished.notify_one();
        reader.join();
        EXPECT_EQ(result, KESTREL_ERR_RS232_WRITE) << c.baudRate;
        EXPECT_LT(written, bytes.size()) << c.baudRate;
        EXPECT_LT(elapsed, boundMs + 1000) << c.baudRate;
        tcflush(master_, TCIFLUSH);
        line_.Close();
    }
}

TEST_F(Rs232PtyTest, ReadWithoutDataTimesOutWithNothing) {
    ASSERT_EQ(line_.Open(), 0);
    GuardedRead buffer(5);
    uint32_t count = 77;
    const auto start = Clock::now();
    EXPECT_EQ(line_.Read(buffer.data(), buffer.length, &count, 200), 0);
    const long elapsed = ElapsedMs(start);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(buffer.UntouchedFrom(0));
    EXPECT_GE(elapsed, 195);
    EXPECT_LT(elapsed, 600);
}

TEST_F(Rs232PtyTest, ShortReadEndsAfterSilence) {
    ASSERT_EQ(line_.Open(), 0);
    Feed({0x41, 0x42});
    GuardedRead buffer(5);
    uint32_t count = 0;
    const auto start = Clock::now();
    EXPECT_EQ(line_.Read(buffer.data(), buffer.length, &count, 200), 0);
    const long elapsed = ElapsedMs(start);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(buffer.Got(count), (std::vector<uint8_t>{0x41, 0x42}));
    EXPECT_TRUE(buffer.UntouchedFrom(2));
    EXPECT_GE(elapsed, 195);
    EXPECT_LT(elapsed, 600);
}

TEST_F(Rs232PtyTest, ReadReturnsAsSoonAsTheCountIsThere) {
    ASSERT_EQ(line_.Open(), 0);
    Feed({1, 2, 3, 4, 5, 6, 7, 8});
    GuardedRead first(5);
    uint32_t count = 0;
    auto start = Clock::now();
    EXPECT_EQ(line_.Read(first.data(), first.length, &count, 5000), 0);
    EXPECT_LT(ElapsedMs(start), 1000);
    ASSERT_EQ(count, 5u);
    EXPECT_EQ(first.Got(5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(first.UntouchedFrom(5));

    // The rest stays queued for the next read; bytes arriving during a read complete it.
    std::thread late([this] {
        std::this_thread::sleep_for(milliseconds(100));
        Feed({9, 10});
    });
    GuardedRead second(5);
    start = Clock::now();
    EXPECT_EQ(line_.Read(second.data(), second.length, &count, 5000), 0);
    const long elapsed = ElapsedMs(start);
    late.join();
    ASSERT_EQ(count, 5u);
    EXPECT_EQ(second.Got(5), (std::vector<uint8_t>{6, 7, 8, 9, 10}));
    EXPECT_LT(elapsed, 2000);
}

TEST_F(Rs232PtyTest, EveryByteRestartsTheSilenceTimeOut) {
    // One byte every 100 ms with a 400 ms time-out: the read runs past one time-out and ends
    // with the full count. (The (length + 1) * time-out cap cannot end such a read first:
    // length gaps shorter than the time-out add up to less than the cap.)
    ASSERT_EQ(line_.Open(), 0);
    constexpr uint32_t kLength = 8;
    std::thread feeder([this] {
        for (uint8_t i = 0; i < kLength; ++i) {
            std::this_thread::sleep_for(milliseconds(100));
            Feed({i});
        }
    });
    GuardedRead buffer(kLength);
    uint32_t count = 0;
    const auto start = Clock::now();
    EXPECT_EQ(line_.Read(buffer.data(), kLength, &count, 400), 0);
    const long elapsed = ElapsedMs(start);
    feeder.join();
    EXPECT_EQ(count, kLength);
    EXPECT_GE(elapsed, 500);
    EXPECT_LT(elapsed, static_cast<long>((kLength + 1) * 400 + 200));
    EXPECT_TRUE(buffer.UntouchedFrom(count));
}

TEST_F(Rs232PtyTest, PurgeDiscardsPendingInput) {
    ASSERT_EQ(line_.Open(), 0);
    Feed({1, 2, 3, 4});
    pollfd p{probe_, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1) << "input never arrived";
    EXPECT_EQ(line_.Purge(), 0);
    uint8_t buffer[4];
    uint32_t count = 77;
    EXPECT_EQ(line_.Read(buffer, sizeof buffer, &count, 100), 0);
    EXPECT_EQ(count, 0u);
}

TEST_F(Rs232PtyTest, VanishingPeerEndsAReadPromptly) {
    ASSERT_EQ(line_.Open(), 0);
    const int master = master_;
    std::thread unplug([master] {
        std::this_thread::sleep_for(milliseconds(100));
        close(master);
    });
    uint8_t buffer[5];
    uint32_t count = 77;
    const auto start = Clock::now();
    const Result result = line_.Read(buffer, sizeof buffer, &count, 5000);
    const long elapsed = ElapsedMs(start);
    unplug.join();
    master_ = -1;
    EXPECT_TRUE(result == KESTREL_ERR_RS232_READ || (result == 0 && count < 5))
        << result << " with " << count << " bytes";
    EXPECT_LT(elapsed, 2500);
    uint32_t written = 77;
    EXPECT_EQ(line_.Write(buffer, 1, &written, 100), KESTREL_ERR_RS232_WRITE);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(line_.Close(), 0);
}

}  // namespace
}  // namespace kestrel::comm
